// JxCriticalSection: an owned critical-section handle, compiled inline into
// each user.
//
// Thread-safety: enter/leave may be called from any thread; construction and
// destruction must not race with use.
#ifndef OSCPROBE_JXCRITICALSECTION_H
#define OSCPROBE_JXCRITICALSECTION_H

#include <new>

#include "JxCriticalSectionH.h"

class JxCriticalSection {
public:
    // Throws the C string "Not enough memory to initialize JxCriticalSection"
    // when the handle cannot be allocated; if the handle's constructor throws,
    // its storage is freed and the exception propagates.
    JxCriticalSection() : handle(new (std::nothrow) JxCriticalSectionH())
    {
        if (handle == nullptr)
            throw "Not enough memory to initialize JxCriticalSection";
    }

    ~JxCriticalSection()
    {
        if (handle != nullptr) {
            delete handle;
            handle = nullptr;
        }
    }

    JxCriticalSection(const JxCriticalSection&) = delete;
    JxCriticalSection& operator=(const JxCriticalSection&) = delete;

    // Blocks until the calling thread owns the section (wait true).
    bool enter(bool wait) { return handle->enter(wait); }
    void leave() { handle->leave(); }

private:
    JxCriticalSectionH* handle;
};

#endif
