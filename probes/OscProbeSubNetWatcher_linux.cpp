// OscProbeSubNet's registry of started probes, start() and stop(), and the
// address-change watcher: the routing source of the wake mechanism
// (internal/WakeSource.h), one detached thread per process on a netlink
// routing socket, which wakes the monitor of every registered probe when an
// address comes up.
//
// Lock order: probe_csec, then at most one host monitor. The watcher holds
// no lock while it waits for the kernel, lists the interfaces or compares.
#include "OscProbeSubNet.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "JxCriticalSection.h"
#include "JxException.h"
#include "internal/OscProbeSubNetInternal.h"
#include "internal/WakeSource.h"

namespace {

using oscprobe::internal::NetlinkListener;
using oscprobe::internal::WakeRegistry;

const char* const kWatcherTag = "OscProbeSubNet::thread_func";

// The watcher's errors name the file that has always thrown them, and keep
// stable line identifiers so hosts' log filters see the same numbers
// release after release.
const NetlinkListener::Spec kRoutingSpec = {
    SOCK_RAW, NETLINK_ROUTE, RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR, 4096, kWatcherTag,
    "OscProbeSubNet_linux",
    "Couldn't create netlink routing socket: ", 256,
    "Couldn't bind netlink routing socket: ", 262,
    "Failed to receive next routing message from netlink: ", 273,
    "Lost routing messages from netlink: "};

// Of the addresses one round's messages name, this many are looked up in
// the last listing before the re-read (each lookup walks every listed
// address), this many recorded in all, and room for more than this many
// given back after the round.
constexpr size_t kEarlyChecks = 4;
constexpr size_t kMaxNamedAddresses = 8192;
constexpr size_t kMaxKeptNamed = 256;

using Iface = OscProbeSubNet::Iface;

// The registry and its lock, made on first use and never destroyed. The
// registry's started and failed flags are the watcher's thread_started
// (under probe_csec) and thread_failed (atomic, read by start() without
// the lock).
WakeRegistry& probeRegistry()
{
    static JxCriticalSection& probe_csec = *new JxCriticalSection;
    static WakeRegistry& probe_list = *new WakeRegistry(probe_csec);
    return probe_list;
}

} // namespace

bool OscProbeSubNet::start(JxMonitor* newMonitor)
{
    WakeRegistry& registry = probeRegistry();
    if (registry.failed())
        return false;
    monitor.store(newMonitor);
    return registry.start(this, this, &monitor, newMonitor, &OscProbeSubNet::thread_func);
}

void OscProbeSubNet::stop()
{
    monitor.store(nullptr);
    probeRegistry().stop(this);
}


namespace {

// The address-change watcher: one per process, on its own detached thread,
// which owns every member. Each round receives a datagram, drains what else
// is queued, wakes the hosts at once when a named address is new, re-reads
// the interfaces and wakes them (again) when the list changed in a way the
// early wake-up did not cover.
//
// A failed listing (no descriptor or memory to spare for a moment) does not
// end the watcher: the hosts are woken to look for themselves, the snapshot
// is kept, and the listing is tried again at the next notification or after
// a back-off. Only a failing netlink socket ends the thread.
class Watcher : public NetlinkListener {
public:
    Watcher() : NetlinkListener(probeRegistry(), kRoutingSpec) {}

private:
    using Clock = std::chrono::steady_clock;

    // The first retry of a failed listing comes this soon; each further
    // failure doubles the wait, up to the longest.
    static constexpr std::chrono::milliseconds kFirstBackoff{500};
    static constexpr std::chrono::milliseconds kLongestBackoff{30000};

    void opened() override;
    bool interesting(const unsigned char* data, size_t length) override;
    void batch() override;
    int waitLimitMs() override;
    void timedOut() override { retryListing(); }

    void check();
    bool reRead(std::list<Iface>* fresh, bool wakeOnFailure);
    void retryListing();
    void reportChange();

    std::list<Iface> snapshot_;
    // The snapshot missed the last listing: it may be out of date.
    bool stale_ = false;
    Clock::time_point retryAt_;
    std::chrono::milliseconds backoff_{kFirstBackoff};
    // The addresses that this round's new-address messages name.
    std::vector<ZUNET_SockAddr> named_;
};

// The socket is bound before the first snapshot: an address that comes up
// in between is then both in the queue and possibly in the snapshot, never
// in neither.
void Watcher::opened()
{
    reRead(&snapshot_, false);
    // A host may have probed before the snapshot and missed an address that
    // came up meanwhile; a spurious wake-up costs it one probe().
    pass();
}

bool Watcher::interesting(const unsigned char* data, size_t length)
{
    return oscprobe::internal::collectNewAddresses(data, static_cast<long>(length), &named_,
                                                   kMaxNamedAddresses);
}

void Watcher::batch()
{
    check();
    // A storm's worth of addresses is let go again at once.
    if (named_.capacity() > kMaxKeptNamed)
        std::vector<ZUNET_SockAddr>().swap(named_);
    named_.clear();
}

// While the snapshot is stale, the kernel is waited for no longer than the
// next retry of the listing.
int Watcher::waitLimitMs()
{
    if (!stale_)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(retryAt_ - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void Watcher::check()
{
    // An address that no interface had at the last listing changes the list
    // (unless it has gone again meanwhile), so the hosts are woken before
    // the re-read rather than a listing later: they list the interfaces
    // themselves once woken, and see it. The re-read then only has to find
    // what that wake-up did not cover. A snapshot that missed a listing
    // proves nothing, so a wake-up against it covers nothing.
    const bool wokeEarly = oscprobe::internal::namesUnlistedAddress(snapshot_, named_, kEarlyChecks);
    if (wokeEarly)
        reportChange();
    const bool covering = wokeEarly && !stale_;
    std::list<Iface> fresh;
    if (!reRead(&fresh, true))
        return;
    // Anything queued may tell of a change since the early wake-up (a named
    // address that went and came back while the hosts listed, say).
    const bool pending = covering && queued();
    std::sort(named_.begin(), named_.end(), oscprobe::internal::addressBefore);
    switch (oscprobe::internal::decideWake(snapshot_, fresh, named_, covering, pending)) {
    case oscprobe::internal::WakeDecision::NOTHING_CHANGED:
        return;
    case oscprobe::internal::WakeDecision::ALREADY_WOKEN:
        snapshot_.swap(fresh);
        return;
    case oscprobe::internal::WakeDecision::WAKE:
        snapshot_.swap(fresh);
        reportChange();
        return;
    }
}

// Lists the interfaces into *fresh. On success a stale snapshot is current
// again. On failure the snapshot stays, a retry is planned, and with
// `wakeOnFailure` (a notification asked for the listing) the hosts are
// woken, since the watcher cannot tell them whether the list changed.
bool Watcher::reRead(std::list<Iface>* fresh, bool wakeOnFailure)
{
    try {
        *fresh = OscProbeSubNet::getIFList();
    } catch (JxException& e) {
        if (!stale_)
            log.Error(e.getFuncName(), "%s", e.getMessage());
        else
            backoff_ = std::min(backoff_ * 2, kLongestBackoff);
        stale_ = true;
        retryAt_ = Clock::now() + backoff_;
        if (wakeOnFailure)
            pass();
        return false;
    }
    stale_ = false;
    backoff_ = kFirstBackoff;
    return true;
}

// A retry after a failed listing, with no notification behind it: the
// hosts were woken when the listing failed, so only a list that turns out
// changed wakes them again.
void Watcher::retryListing()
{
    std::list<Iface> fresh;
    if (!reRead(&fresh, false) || !oscprobe::internal::interfacesChanged(snapshot_, fresh))
        return;
    snapshot_.swap(fresh);
    reportChange();
}

void Watcher::reportChange()
{
    log.Debug(kWatcherTag, "New IP address just came up.");
    pass();
}

} // namespace

void* OscProbeSubNet::thread_func(void* /*arg*/)
{
    Watcher().run();
    return nullptr;
}
