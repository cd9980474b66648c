// JxCriticalSectionLock: holds a JxCriticalSection for its own lifetime.
//
// A null section gives a lock that does nothing. Used on one thread only.
#ifndef OSCPROBE_JXCRITICALSECTIONLOCK_H
#define OSCPROBE_JXCRITICALSECTIONLOCK_H

#include "JxCriticalSection.h"

class JxCriticalSectionLock {
public:
    // Blocks until the section is owned.
    explicit JxCriticalSectionLock(JxCriticalSection* cs) : section(cs)
    {
        if (section != nullptr)
            section->enter(true);
    }

    ~JxCriticalSectionLock()
    {
        if (section != nullptr)
            section->leave();
    }

    JxCriticalSectionLock(const JxCriticalSectionLock&) = delete;
    JxCriticalSectionLock& operator=(const JxCriticalSectionLock&) = delete;

private:
    JxCriticalSection* section;
};

#endif
