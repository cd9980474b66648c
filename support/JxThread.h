// JxThread: starts detached threads.
//
// Destroying the JxThread object neither stops nor waits for a thread it
// started.
#ifndef OSCPROBE_JXTHREAD_H
#define OSCPROBE_JXTHREAD_H

#include "JxExport.h"

class JX_EXPORT JxThread {
public:
    JxThread();
    ~JxThread();
    JxThread(const JxThread&) = delete;
    JxThread& operator=(const JxThread&) = delete;

    // When this returns, a new detached thread runs entry(arg). Returns 0.
    // Throws JxException when the thread cannot be created.
    int createDetachedThread(void* (*entry)(void*), void* arg);
};

#endif
