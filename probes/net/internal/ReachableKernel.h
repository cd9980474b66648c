// The reachable probe's side of the system: name lookups on threads of
// their own, the concurrent connection attempts, and the reachable
// probes' source of the wake mechanism (probes/internal/WakeSource.h),
// with its registry and its count of changes. Not exported.
//
// Threading: any host thread. The start and stop calls take the reachable
// registry's lock, which the listener holds while it broadcasts, so never
// call them while holding a registered monitor.
#ifndef OSCPROBE_NET_INTERNAL_REACHABLEKERNEL_H
#define OSCPROBE_NET_INTERNAL_REACHABLEKERNEL_H

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "EvDebug.h"
#include "JxMonitor.h"
#include "internal/ReachableInternal.h"

class OscProbe;

namespace oscprobe::internal {

// One target of a probe: its text, port, and its addresses when the host
// is a literal one (else it is looked up at each check).
struct ReachTarget {
    std::string text;
    std::string host;
    uint16_t port = 0;
    bool literal = false;
    std::vector<SocketAddress> addresses;
};
// Fills `target` from a well-formed HOST:PORT; a literal host's address
// is read without any lookup.
void prepareTarget(const std::string& text, const std::string& host, uint16_t port,
                   ReachTarget* target);

// A name lookup running on its own thread; shared by that thread and
// whoever waits for it, freed by the last.
struct Lookup;

// Connects to every address of every target at once until one accepts or
// `deadline` passes, and says in *out (one per target) what each came to.
// `pending` (one slot per target, the caller's alone while this runs)
// holds each name's lookup still running from an earlier check; it is
// waited for instead of a new one, and one still running at the deadline
// is left there. Every socket is closed before this returns. Throws
// JxException when a socket, descriptor or thread cannot be had.
void checkTargets(const std::vector<ReachTarget>& targets,
                  std::vector<std::shared_ptr<Lookup>>* pending,
                  std::chrono::steady_clock::time_point deadline, std::vector<TargetOutcome>* out);

// Passes of the reachable source (a change of addresses or routes, or a
// resume) so far. A pass counts before it wakes anyone.
unsigned long long reachChanges();

// The seam for the machine's resume from sleep: counts a change and wakes
// every started reachable probe's host, so that the next probe() checks
// again. The bus source calls it on logind's resume notification.
void reachResumed();

// Registers `probe` (holding a reference) to be woken on `monitor`, or
// moves it there, and starts the listener on first use. False, said at
// level 2 on `debug`, once the listener has failed in this process.
// Throws JxException when the thread cannot be created.
bool startReachEvents(OscProbe* probe, JxMonitor* monitor, EvDebug& debug);
// Withdraws the registration; harmless without one.
void stopReachEvents(OscProbe* probe);

} // namespace oscprobe::internal

#endif
