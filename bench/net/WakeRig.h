// WakeRig: a host and its reference, both waiting for a new address.
//
// The host: a started OscProbeSubNet in subnet mode (ten subnets that match
// nothing here) and a thread waiting on the probe's JxMonitor, which stamps
// every wake-up. The reference: a bare thread blocked in recv on a
// NETLINK_ROUTE socket bound to the groups the watcher binds (IPv4 and IPv6
// address notifications), which stamps every datagram holding a new-address
// message. Stamps are steady-clock nanoseconds.
//
// Also finds the watcher thread (the first rig of the process starts it) so
// that its CPU time can be read.
//
// Threading: the benchmark thread owns the rig; the stamps and counts are
// atomics written by the rig's two threads.
#ifndef OSCPROBE_BENCH_WAKERIG_H
#define OSCPROBE_BENCH_WAKERIG_H

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "JxMonitor.h"
#include "OscProbeSubNet.h"
#include "SP.h"

namespace oscprobe_bench {

class WakeRig {
public:
    WakeRig();
    ~WakeRig();
    WakeRig(const WakeRig&) = delete;
    WakeRig& operator=(const WakeRig&) = delete;

    // Empty when both waiters are in place, else why not.
    const std::string& error() const { return error_; }

    // Returns once the host thread waits on its monitor.
    void untilHostWaits();

    uint64_t hostWakes() const { return hostWakes_.load(); }
    int64_t lastHostWake() const { return lastHostWake_.load(); }
    uint64_t bareWakes() const { return bareWakes_.load(); }
    int64_t lastBareWake() const { return lastBareWake_.load(); }

    // The watcher's CPU time so far in nanoseconds, -1 if unknown.
    static int64_t watcherCpuNs();
    // Returns once the watcher has used no CPU for `quietMs` (at most
    // `boundMs`); false if it never went quiet.
    static bool untilWatcherIdle(int quietMs = 300, int boundMs = 120000);
    // Returns once the watcher sleeps in its receive, i.e. has finished
    // whatever the last notification made it do (at most `boundMs`); false
    // if it never got there.
    static bool untilWatcherReceives(int boundMs = 10000);

private:
    void host();
    void bare();

    std::string error_;
    SP<OscProbeSubNet> probe_;
    JxMonitor monitor_;
    int bareSocket_ = -1;
    std::atomic<bool> quit_{false}, hostStarted_{false};
    std::atomic<uint64_t> hostWakes_{0}, bareWakes_{0};
    std::atomic<int64_t> lastHostWake_{0}, lastBareWake_{0};
    std::thread hostThread_, bareThread_;
};

} // namespace oscprobe_bench

#endif
