// JxMonitor: a monitor owned by the host and handed to OscProbe::start().
//
// The host creates it, waits on it, and destroys it after every probe that
// was started with it has been stopped. The library uses nothing of it but
// its handle: the address-change watcher enters it, broadcasts and leaves.
//
// Threading: as JxMonitorH. Lock order for hosts: never call
// OscProbeSubNet::start() or stop() while holding a monitor that a started
// probe uses; the watcher takes the probe registry before any monitor.
#ifndef OSCPROBE_JXMONITOR_H
#define OSCPROBE_JXMONITOR_H

#include "JxMonitorH.h"

class JxMonitor {
public:
    // Throws std::bad_alloc when the handle cannot be made.
    JxMonitor() : handle(new JxMonitorH()) {}
    ~JxMonitor() { delete handle; }
    JxMonitor(const JxMonitor&) = delete;
    JxMonitor& operator=(const JxMonitor&) = delete;

    void enter() { handle->enter(); }
    void leave() { handle->leave(); }
    void broadcast() { handle->broadcast(); }

    // With the monitor entered: true after a broadcast, false on timeout
    // (negative: no timeout). Hosts re-check their condition either way.
    bool wait(long milliseconds) { return handle->wait(milliseconds); }

private:
    JxMonitorH* handle;
};

#endif
