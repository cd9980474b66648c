// The reachable probe's system side: lookups on threads of their own,
// non-blocking connections polled together, and the reachable source of
// the wake mechanism, one detached listener per process on the address and
// route groups of NETLINK_ROUTE.
//
// Lock order: the reachable registry's lock, then at most one host
// monitor, as for the other sources. A lookup's mutex is taken alone.
#include "internal/ReachableKernel.h"

#include <linux/rtnetlink.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <system_error>
#include <thread>

#include "JxCriticalSection.h"
#include "JxException.h"
#include "OscProbe.h"
#include "internal/NetworkInternal.h"
#include "internal/WakeSource.h"

namespace oscprobe::internal {

struct Lookup {
    explicit Lookup(const std::string& name) : host(name) {}
    ~Lookup()
    {
        if (fd >= 0)
            close(fd);
    }
    Lookup(const Lookup&) = delete;
    Lookup& operator=(const Lookup&) = delete;

    const std::string host;
    // An eventfd, readable once the lookup is done; closed with the Lookup,
    // so the lookup's thread may write it whoever else has let go.
    int fd = -1;
    std::mutex mutex;
    bool done = false;                    // guarded by mutex
    int error = 0;                        // guarded by mutex
    std::vector<SocketAddress> addresses; // guarded by mutex
};

namespace {

constexpr const char* kProbeTag = "OscProbeReachable::probe";
constexpr const char* kListenerTag = "OscProbeReachable::listener";
constexpr const char* kFile = "OscProbeReachable_linux";

[[noreturn]] void fail(const char* what, int err, int line)
{
    throw JxException(kProbeTag, std::string(what) + strerror(err), kFile, line, -1);
}

void resolve(Lookup& lookup)
{
    // Signals are for the host's threads.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    int error = EAI_MEMORY;
    std::vector<SocketAddress> addresses;
    try {
        addrinfo hints;
        memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        addrinfo* list = nullptr;
        error = getaddrinfo(lookup.host.c_str(), nullptr, &hints, &list);
        if (error == 0) {
            addresses = pickAddresses(list, kMaxAddressesPerTarget);
            freeaddrinfo(list);
        }
    } catch (const std::bad_alloc&) {
        error = EAI_MEMORY;
    }
    {
        std::lock_guard<std::mutex> lock(lookup.mutex);
        lookup.done = true;
        lookup.error = error;
        lookup.addresses.swap(addresses);
    }
    const uint64_t one = 1;
    while (write(lookup.fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

std::shared_ptr<Lookup> startLookup(const std::string& host)
{
    auto lookup = std::make_shared<Lookup>(host);
    lookup->fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (lookup->fd < 0)
        fail("Couldn't make a descriptor for a name lookup: ", errno, 1);
    try {
        std::thread([lookup] { resolve(*lookup); }).detach();
    } catch (const std::system_error& e) {
        fail("Couldn't start a name lookup: ", e.code().value(), 2);
    }
    return lookup;
}

// Whether a lookup has ended, and its result then.
bool takeLookup(Lookup& lookup, int* error, std::vector<SocketAddress>* addresses)
{
    std::lock_guard<std::mutex> lock(lookup.mutex);
    if (!lookup.done)
        return false;
    *error = lookup.error;
    *addresses = lookup.addresses;
    return true;
}

// The check's sockets, each closed when it fails or when the check ends,
// however it ends.
class Sockets {
public:
    explicit Sockets(size_t most) { fds_.reserve(most); }
    ~Sockets()
    {
        for (int fd : fds_)
            if (fd >= 0)
                close(fd);
    }
    Sockets(const Sockets&) = delete;
    Sockets& operator=(const Sockets&) = delete;
    // Within the reserve, so it never allocates and never throws.
    size_t add(int fd)
    {
        fds_.push_back(fd);
        return fds_.size() - 1;
    }
    int operator[](size_t i) const { return fds_[i]; }
    void drop(size_t i)
    {
        close(fds_[i]);
        fds_[i] = -1;
    }

private:
    std::vector<int> fds_;
};

// A connection under way: its socket, its target and its place among the
// target's errors.
struct Attempt {
    size_t socket;
    size_t target;
    size_t error;
    SocketAddress address;
};

std::atomic<unsigned long long> reach_changes{0};

} // namespace

void prepareTarget(const std::string& text, const std::string& host, uint16_t port,
                   ReachTarget* target)
{
    target->text = text;
    target->host = host;
    target->port = port;
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* list = nullptr;
    // With AI_NUMERICHOST nothing is looked up: the text is an address or not.
    target->literal = getaddrinfo(host.c_str(), nullptr, &hints, &list) == 0;
    if (target->literal) {
        target->addresses = pickAddresses(list, kMaxAddressesPerTarget);
        freeaddrinfo(list);
    }
}

void checkTargets(const std::vector<ReachTarget>& targets,
                  std::vector<std::shared_ptr<Lookup>>* pending,
                  std::chrono::steady_clock::time_point deadline, std::vector<TargetOutcome>* out)
{
    const size_t count = targets.size();
    out->assign(count, TargetOutcome());
    pending->resize(count);
    Sockets sockets(count * kMaxAddressesPerTarget);
    std::vector<Attempt> attempts;
    attempts.reserve(count * kMaxAddressesPerTarget);
    bool reached = false;

    // Starts a connection to each address of target `i`; true when one is
    // made at once.
    const auto connectAll = [&](size_t i, std::vector<SocketAddress> addresses) {
        TargetOutcome& o = (*out)[i];
        for (SocketAddress& a : addresses) {
            setPort(&a, targets[i].port);
            const int fd = socket(a.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
            if (fd < 0 && (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)) {
                o.errors.push_back(EAFNOSUPPORT);
                continue;
            }
            if (fd < 0)
                fail("Couldn't create a socket: ", errno, 3);
            const size_t s = sockets.add(fd);
            if (connect(fd, reinterpret_cast<const sockaddr*>(&a.storage), a.length) == 0) {
                o.answered = formatSocketAddress(a);
                return true;
            }
            if (errno == EINPROGRESS) {
                attempts.push_back({s, i, o.errors.size(), a});
                o.errors.push_back(0);
            } else {
                o.errors.push_back(errno);
                sockets.drop(s);
            }
        }
        return false;
    };

    for (size_t i = 0; i < count; ++i)
        (*out)[i].text = targets[i].text;
    for (size_t i = 0; i < count && !reached; ++i) {
        TargetOutcome& o = (*out)[i];
        if (targets[i].literal) {
            reached = connectAll(i, targets[i].addresses);
            continue;
        }
        o.lookup = TargetOutcome::LATE;
        std::shared_ptr<Lookup>& lookup = (*pending)[i];
        int error = 0;
        std::vector<SocketAddress> unused;
        // A lookup that ended since the last check is not reused: its
        // answer may be old.
        if (!lookup || takeLookup(*lookup, &error, &unused))
            lookup = startLookup(targets[i].host);
    }

    std::vector<pollfd> fds;
    // Per pollfd: an attempt's index, or lookupMark plus a target's.
    std::vector<size_t> owners;
    const size_t lookupMark = count * kMaxAddressesPerTarget;
    while (!reached) {
        fds.clear();
        owners.clear();
        for (size_t k = 0; k < attempts.size(); ++k) {
            if (sockets[attempts[k].socket] >= 0) {
                fds.push_back({sockets[attempts[k].socket], POLLOUT, 0});
                owners.push_back(k);
            }
        }
        for (size_t i = 0; i < count; ++i) {
            if ((*out)[i].lookup == TargetOutcome::LATE) {
                fds.push_back({(*pending)[i]->fd, POLLIN, 0});
                owners.push_back(lookupMark + i);
            }
        }
        const auto left = deadline - std::chrono::steady_clock::now();
        if (fds.empty() || left <= std::chrono::steady_clock::duration::zero())
            break;
        // Rounded up, so that the wait never ends just short of the deadline.
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        const int ready = poll(fds.data(), fds.size(), static_cast<int>(ms));
        if (ready < 0 && errno != EINTR)
            fail("Couldn't wait for the connections: ", errno, 4);
        for (size_t f = 0; f < fds.size() && ready > 0 && !reached; ++f) {
            if (fds[f].revents == 0)
                continue;
            if (owners[f] >= lookupMark) {
                const size_t i = owners[f] - lookupMark;
                int error = 0;
                std::vector<SocketAddress> addresses;
                if (!takeLookup(*(*pending)[i], &error, &addresses))
                    continue;
                (*pending)[i].reset();
                (*out)[i].lookup = error == 0 ? TargetOutcome::RESOLVED : TargetOutcome::FAILED;
                (*out)[i].lookupError = error;
                reached = connectAll(i, std::move(addresses));
                continue;
            }
            const Attempt& a = attempts[owners[f]];
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(sockets[a.socket], SOL_SOCKET, SO_ERROR, &error, &length) < 0)
                error = errno;
            if (error == 0) {
                (*out)[a.target].answered = formatSocketAddress(a.address);
                reached = true;
            } else {
                (*out)[a.target].errors[a.error] = error;
                sockets.drop(a.socket);
            }
        }
    }
}

namespace {

// The address and route groups. Each notification names one address or
// route in one small datagram.
constexpr NetlinkListener::Spec kReachSpec = {
    SOCK_RAW, NETLINK_ROUTE,
    RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE, 8192,
    kListenerTag, kFile,
    "Couldn't create netlink routing socket: ", 11,
    "Couldn't bind netlink routing socket: ", 12,
    "Failed to receive routing messages from netlink: ", 13,
    "Lost routing messages from netlink: "};

WakeRegistry& reachRegistry()
{
    static JxCriticalSection& reach_csec = *new JxCriticalSection;
    static WakeRegistry& reach_list = *new WakeRegistry(reach_csec);
    return reach_list;
}

// Counted first, so that a probe() after the wake-up checks again.
void changed()
{
    reach_changes.fetch_add(1);
    reachRegistry().pass();
}

void* listenerThread(void* /*arg*/)
{
    NetlinkListener listener(reachRegistry(), kReachSpec);
    // The addresses seen and their flags; the listener's thread alone uses it.
    std::vector<AddressSeen> seen;
    NetlinkListener::Source source;
    source.interesting = [&seen](const unsigned char* data, size_t length) {
        return reachEventMatters(data, length, &seen);
    };
    source.batch = [&listener] {
        listener.log.DebugLvl(kListenerTag, 2, "Addresses or routes changed.");
        changed();
    };
    listener.run(source);
    return nullptr;
}

} // namespace

unsigned long long reachChanges() { return reach_changes.load(); }

void reachResumed() { changed(); }

bool startReachEvents(OscProbe* probe, JxMonitor* monitor, EvDebug& debug)
{
    if (reachRegistry().start(probe, probe, nullptr, monitor, &listenerThread))
        return true;
    debug.DebugLvl(kListenerTag, 2, "Reachability events failed in this process; the host must poll.");
    return false;
}

void stopReachEvents(OscProbe* probe) { reachRegistry().stop(probe); }

} // namespace oscprobe::internal
