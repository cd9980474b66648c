// OscProbeSubNet's registry of started probes, start() and stop(), and the
// address-change watcher: one detached thread per process on a netlink
// routing socket, which wakes the monitor of every registered probe when an
// address comes up.
//
// Lock order: probe_csec, then at most one host monitor. The watcher holds
// no lock while it waits for the kernel, lists the interfaces or compares.
#include "OscProbeSubNet.h"

#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include <cxxabi.h>

#include "JxCriticalSection.h"
#include "JxCriticalSectionLock.h"
#include "JxException.h"
#include "JxMonitorLock.h"
#include "JxThread.h"
#include "SP.h"
#include "internal/OscProbePowerEvents.h"
#include "internal/OscProbeSubNetInternal.h"

namespace {

// The watcher's errors name the file that has always thrown them.
const char* const kSourceFile = "OscProbeSubNet_linux";
const char* const kWatcherTag = "OscProbeSubNet::thread_func";

// Error sites keep stable line identifiers so hosts' log filters see the
// same numbers release after release.
constexpr int kLineNetlinkSocket = 256;
constexpr int kLineNetlinkBind = 262;
constexpr int kLineNetlinkRecv = 273;

constexpr size_t kNetlinkBufferSize = 4096;
// Well above what a default-sized receive queue holds of one-address datagrams.
constexpr int kMaxDrainedDatagrams = 1024;
// Of the addresses one round's messages name, this many are looked up in
// the last listing before the re-read (each lookup walks every listed
// address), this many recorded in all, and room for more than this many
// given back after the round.
constexpr size_t kEarlyChecks = 4;
constexpr size_t kMaxNamedAddresses = 8192;
constexpr size_t kMaxKeptNamed = 256;

using Iface = OscProbeSubNet::Iface;

std::string errorText(const char* prefix, int err) { return std::string(prefix) + strerror(err); }

// Whether the watcher's socket has a notification (or an overflow) waiting.
// A failed poll counts as yes: the caller then takes the cautious path.
bool notificationPending(int sock)
{
    struct pollfd pfd = {sock, POLLIN, 0};
    return poll(&pfd, 1, 0) != 0;
}

// The registry and its lock are made on first use and never destroyed: the
// detached watcher and the stop() of a probe released during exit may still
// reach them after static destructors have run.
JxCriticalSection& probeCsec()
{
    static JxCriticalSection& probe_csec = *new JxCriticalSection;
    return probe_csec;
}

std::list<SP<OscProbeSubNet>>& probeList()
{
    static std::list<SP<OscProbeSubNet>>& probe_list = *new std::list<SP<OscProbeSubNet>>;
    return probe_list;
}

// Guarded by probe_csec.
bool thread_started = false;
// Set by the watcher when it ends; read by start() without the lock.
std::atomic<bool> thread_failed{false};

} // namespace

bool OscProbeSubNet::start(JxMonitor* newMonitor)
{
    if (thread_failed.load())
        return false;
    monitor.store(newMonitor);

    JxCriticalSectionLock lock(&probeCsec());
    std::list<SP<OscProbeSubNet>>& registry = probeList();
    bool registered = std::any_of(registry.begin(), registry.end(),
                                  [this](const SP<OscProbeSubNet>& p) { return p.get() == this; });
    if (!registered)
        registry.push_back(SP<OscProbeSubNet>(this));
    if (!thread_started) {
        JxThread creator;
        creator.createDetachedThread(&OscProbeSubNet::thread_func, nullptr);
        thread_started = true;
    }
    return true;
}

void OscProbeSubNet::stop()
{
    monitor.store(nullptr);
    // The removed entry outlives the lock: if it holds the last reference,
    // the probe is destroyed when `removed` goes, and its destructor calls
    // stop() again, which must be able to take probe_csec.
    std::list<SP<OscProbeSubNet>> removed;
    {
        JxCriticalSectionLock lock(&probeCsec());
        std::list<SP<OscProbeSubNet>>& registry = probeList();
        for (auto it = registry.begin(); it != registry.end(); ++it) {
            if (it->get() == this) {
                removed.splice(removed.begin(), registry, it);
                break;
            }
        }
    }
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
class Watcher {
public:
    // `wakeAll` runs one broadcast pass over the registry.
    explicit Watcher(std::function<void()> wakeAll) : log(nullptr), wakeAll_(std::move(wakeAll)) {}
    ~Watcher() { closeSocket(); }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // Runs until the socket fails; throws JxException then.
    void run();

    // The end of the thread: no second watcher, and every later start() says
    // false. The last pass lets waiting hosts re-evaluate rather than wait
    // for a wake-up that will not come.
    void fail()
    {
        closeSocket();
        thread_failed.store(true);
        wakeAll_();
    }

    EvDebug log;

private:
    using Clock = std::chrono::steady_clock;

    // The first retry of a failed listing comes this soon; each further
    // failure doubles the wait, up to the longest.
    static constexpr std::chrono::milliseconds kFirstBackoff{500};
    static constexpr std::chrono::milliseconds kLongestBackoff{30000};

    void openSocket();
    bool receive(int flags);
    void drain();
    void check();
    bool reRead(std::list<Iface>* fresh, bool wakeOnFailure);
    void retryListing();
    void reportChange();
    void closeSocket()
    {
        if (sock_ >= 0)
            close(sock_);
        sock_ = -1;
    }

    std::function<void()> wakeAll_;
    int sock_ = -1;
    struct sockaddr_nl address_;
    alignas(struct nlmsghdr) unsigned char buffer_[kNetlinkBufferSize];
    std::list<Iface> snapshot_;
    // The snapshot missed the last listing: it may be out of date.
    bool stale_ = false;
    Clock::time_point retryAt_;
    std::chrono::milliseconds backoff_{kFirstBackoff};
    // This round's datagrams hold a new address or an overflow.
    bool mustCheck_ = false;
    // The addresses that this round's new-address messages name.
    std::vector<ZUNET_SockAddr> named_;
};

void Watcher::run()
{
    // The socket is bound before the first snapshot: an address that comes
    // up in between is then both in the queue and possibly in the snapshot,
    // never in neither.
    openSocket();
    reRead(&snapshot_, false);
    // A host may have probed before the snapshot and missed an address that
    // came up meanwhile; a spurious wake-up costs it one probe().
    wakeAll_();

    for (;;) {
        mustCheck_ = false;
        // A storm's worth of addresses is let go again at once.
        if (named_.capacity() > kMaxKeptNamed)
            std::vector<ZUNET_SockAddr>().swap(named_);
        named_.clear();
        if (stale_) {
            // Wait for the kernel no longer than the next retry.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(retryAt_ - Clock::now());
            struct pollfd pfd = {sock_, POLLIN, 0};
            const int ready = left.count() > 0 ? poll(&pfd, 1, static_cast<int>(left.count())) : 0;
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0) {
                retryListing();
                continue;
            }
        }
        receive(0);
        if (!mustCheck_)
            continue;
        drain();
        check();
    }
}

void Watcher::openSocket()
{
    sock_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (sock_ < 0)
        throw JxException(kWatcherTag, errorText("Couldn't create netlink routing socket: ", errno),
                          kSourceFile, kLineNetlinkSocket, -1);
    memset(&address_, 0, sizeof address_);
    address_.nl_family = AF_NETLINK;
    address_.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (bind(sock_, reinterpret_cast<struct sockaddr*>(&address_), sizeof address_) < 0)
        throw JxException(kWatcherTag, errorText("Couldn't bind netlink routing socket: ", errno),
                          kSourceFile, kLineNetlinkBind, -1);
}

// One datagram into the buffer; false when a non-blocking receive found the
// queue empty. A datagram that holds a new address, or an overflow (a
// dropped notification may have been one), sets mustCheck_.
bool Watcher::receive(int flags)
{
    for (;;) {
        struct iovec iov;
        iov.iov_base = buffer_;
        iov.iov_len = sizeof buffer_;
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_name = &address_;
        msg.msg_namelen = sizeof address_;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;

        const int32_t length = static_cast<int32_t>(recvmsg(sock_, &msg, flags));
        if (length >= 0) {
            if (oscprobe::internal::collectNewAddresses(buffer_, length, &named_,
                                                        kMaxNamedAddresses))
                mustCheck_ = true;
            return true;
        }
        const int err = errno;
        if (err == EINTR)
            continue;
        if (err == EAGAIN || err == EWOULDBLOCK)
            return false;
        if (err == ENOBUFS) {
            // The queue overflowed during an address storm and the kernel
            // dropped notifications; the socket itself is fine, and the
            // re-read that follows covers whatever was lost.
            log.DebugLvl(kWatcherTag, 2, "Lost routing messages from netlink: %s", strerror(err));
            mustCheck_ = true;
            return true;
        }
        throw JxException(kWatcherTag,
                          errorText("Failed to receive next routing message from netlink: ", err),
                          kSourceFile, kLineNetlinkRecv, -1);
    }
}

// A burst of addresses arrives as one datagram per address, far faster than
// the interfaces can be listed. Whatever is already queued is covered by the
// one re-read that follows, so take it off the queue first: a burst then
// costs one re-read, not one per address. The bound keeps a sender that
// never pauses from delaying the wake-up for ever.
void Watcher::drain()
{
    for (int drained = 0; drained < kMaxDrainedDatagrams; ++drained)
        if (!receive(MSG_DONTWAIT))
            break;
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
    const bool pending = covering && notificationPending(sock_);
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
            wakeAll_();
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
    wakeAll_();
}

} // namespace

void* OscProbeSubNet::thread_func(void* /*arg*/)
{
    // Wakes every registered monitor once; consecutive entries that share a
    // monitor get one broadcast. Holds probe_csec for the whole pass and
    // each monitor only around its own broadcast.
    Watcher watcher([] {
        JxCriticalSectionLock lock(&probeCsec());
        oscprobe::internal::countWakePass();
        JxMonitor* last = nullptr;
        for (const SP<OscProbeSubNet>& entry : probeList()) {
            JxMonitor* target = static_cast<OscProbeSubNet*>(entry)->monitor.load();
            if (target == nullptr || target == last)
                continue;
            last = target;
            JxMonitorLock monitorLock(target);
            target->broadcast();
        }
    });

    try {
        watcher.run();
    } catch (JxException& e) {
        watcher.log.Error(e.getFuncName(), "%s", e.getMessage());
        watcher.fail();
    } catch (abi::__forced_unwind&) {
        // Thread cancellation unwinds through here and must go on.
        throw;
    } catch (std::exception& e) {
        watcher.log.Error(kWatcherTag, "%s", e.what());
        watcher.fail();
    } catch (...) {
        watcher.log.Error(kWatcherTag, "Unknown exception");
        watcher.fail();
    }
    return nullptr;
}
