// JxMonitorLock: holds a JxMonitor for its own lifetime; null does nothing.
#ifndef OSCPROBE_JXMONITORLOCK_H
#define OSCPROBE_JXMONITORLOCK_H

#include "JxMonitor.h"

class JxMonitorLock {
public:
    explicit JxMonitorLock(JxMonitor* m) : monitor(m)
    {
        if (monitor != nullptr)
            monitor->enter();
    }

    ~JxMonitorLock()
    {
        if (monitor != nullptr)
            monitor->leave();
    }

    JxMonitorLock(const JxMonitorLock&) = delete;
    JxMonitorLock& operator=(const JxMonitorLock&) = delete;

private:
    JxMonitor* monitor;
};

#endif
