// JxCriticalSectionH: the mutual-exclusion object behind JxCriticalSection.
//
// A plain, non-recursive mutex: entering a section that the calling thread
// already holds deadlocks, so callers never do it. Made and destroyed only
// by JxCriticalSection. Any thread may call enter/leave; leave must come
// from the owning thread.
#ifndef OSCPROBE_JXCRITICALSECTIONH_H
#define OSCPROBE_JXCRITICALSECTIONH_H

#include <mutex>

#include "JxExport.h"

class JX_EXPORT JxCriticalSectionH {
public:
    JxCriticalSectionH();
    ~JxCriticalSectionH();
    JxCriticalSectionH(const JxCriticalSectionH&) = delete;
    JxCriticalSectionH& operator=(const JxCriticalSectionH&) = delete;

    // wait true: blocks until the calling thread owns the section, returns
    // true. wait false: takes the section only if it is free at once and
    // says whether it did.
    bool enter(bool wait);

    // Releases ownership. Only the owning thread may call it.
    void leave();

private:
    std::mutex mutex_;
};

#endif
