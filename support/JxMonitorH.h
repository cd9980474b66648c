// JxMonitorH: the lock and condition behind a host's JxMonitor.
//
// Threading: any thread may enter(); the thread that entered calls wait(),
// broadcast() and leave(). broadcast() wakes every thread waiting at that
// moment. The lock is not recursive.
#ifndef OSCPROBE_JXMONITORH_H
#define OSCPROBE_JXMONITORH_H

#include <condition_variable>
#include <mutex>

#include "JxExport.h"

class JX_EXPORT JxMonitorH {
public:
    JxMonitorH();
    ~JxMonitorH();
    JxMonitorH(const JxMonitorH&) = delete;
    JxMonitorH& operator=(const JxMonitorH&) = delete;

    // Blocks until the calling thread owns the monitor.
    void enter();
    void leave();

    // Wakes every thread waiting in wait(). Call with the monitor entered.
    void broadcast();

    // Call with the monitor entered. Releases it while waiting and owns it
    // again on return. Returns true after a broadcast, false when the time is
    // up; a negative time waits without limit.
    bool wait(long milliseconds);

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    // Counts broadcasts, guarded by mutex_: a waiter returns true once it
    // has moved, so wake-ups that are not broadcasts are absorbed.
    unsigned long generation_ = 0;
};

#endif
