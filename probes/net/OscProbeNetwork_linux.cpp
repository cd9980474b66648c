// The network probes' kernel side: routing and neighbour table dumps over
// NETLINK_ROUTE, and the network source of the wake mechanism, one
// detached listener per process on the route and neighbour groups.
//
// Lock order: the network registry's lock, then at most one host monitor,
// as for liboscprobe's sources. The listener holds no lock while it waits
// or reads the tables.
#include "internal/NetworkKernel.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "JxCriticalSection.h"
#include "JxException.h"
#include "OscProbe.h"
#include "internal/WakeSource.h"

namespace oscprobe::internal {

namespace {

constexpr const char* kReadTag = "OscProbeNetwork::probe";
constexpr const char* kListenerTag = "OscProbeNetwork::listener";
constexpr const char* kFile = "OscProbeNetwork_linux";

// The kernel fills a dump datagram up to the largest buffer a reader has
// offered, at most 32 KiB; this buffer always takes a whole one. A table
// longer than kMaxDatagrams of them is not read to its end.
constexpr size_t kDumpBuffer = 32768;
constexpr int kMaxDatagrams = 65536;
constexpr int kReplySeconds = 2;

[[noreturn]] void fail(const std::string& what, int line)
{
    throw JxException(kReadTag, what, kFile, line, -1);
}

class RouteSocket {
public:
    RouteSocket() : fd_(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE))
    {
        if (fd_ < 0)
            fail(std::string("Couldn't create netlink routing socket: ") + strerror(errno), 1);
        // Never hang a host: a kernel that does not answer is an error.
        struct timeval limit = {kReplySeconds, 0};
        if (setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) < 0)
            fail(std::string("Couldn't set the routing socket's timeout: ") + strerror(errno), 2);
    }
    ~RouteSocket() { close(fd_); }
    RouteSocket(const RouteSocket&) = delete;
    RouteSocket& operator=(const RouteSocket&) = delete;

    // Asks for a dump of `type` (any family) and hands each datagram of
    // the reply to `parse` until it says DONE.
    template <class Header, class Parse> void dump(uint16_t type, Parse&& parse)
    {
        struct {
            nlmsghdr h;
            Header body;
        } request;
        memset(&request, 0, sizeof request);
        request.h.nlmsg_len = NLMSG_LENGTH(sizeof(Header));
        request.h.nlmsg_type = type;
        request.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        request.h.nlmsg_seq = ++seq_;
        struct sockaddr_nl kernel;
        memset(&kernel, 0, sizeof kernel);
        kernel.nl_family = AF_NETLINK;
        if (sendto(fd_, &request, request.h.nlmsg_len, 0,
                   reinterpret_cast<struct sockaddr*>(&kernel), sizeof kernel) < 0)
            fail(std::string("Couldn't ask the kernel for its tables: ") + strerror(errno), 3);
        if (!buffer_)
            buffer_.reset(new unsigned char[kDumpBuffer]);
        for (int i = 0; i < kMaxDatagrams; ++i) {
            const ssize_t got = recv(fd_, buffer_.get(), kDumpBuffer, MSG_TRUNC);
            if (got < 0 && errno == EINTR) {
                --i;
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                fail("No answer from the kernel's routing tables", 4);
            if (got < 0)
                fail(std::string("Couldn't read the kernel's tables: ") + strerror(errno), 5);
            if (static_cast<size_t>(got) > kDumpBuffer)
                fail("A routing table datagram did not fit", 6);
            int error = 0;
            const DumpStatus status = parse(buffer_.get(), static_cast<size_t>(got), &error);
            if (status == DumpStatus::DONE)
                return;
            if (status == DumpStatus::FAILED)
                fail(std::string("The kernel refused to list its tables: ") + strerror(error), 7);
        }
        fail("The kernel's tables did not end", 8);
    }

private:
    int fd_;
    uint32_t seq_ = 0;
    std::unique_ptr<unsigned char[]> buffer_;
};

// The route and neighbour groups. A route change names the route; a
// neighbour change the entry, each in one small datagram. A link taken
// down or unplugged takes its IPv4 routes without a word on the route
// group, but the kernel drops the link's learnt neighbours then, and says
// so: the gateway's address going away is what wakes the hosts.
constexpr NetlinkListener::Spec kNetworkSpec = {
    SOCK_RAW, NETLINK_ROUTE, RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE | RTMGRP_NEIGH, 8192,
    kListenerTag, kFile,
    "Couldn't create netlink routing socket: ", 11,
    "Couldn't bind netlink routing socket: ", 12,
    "Failed to receive routing messages from netlink: ", 13,
    "Lost routing messages from netlink: "};

WakeRegistry& networkRegistry()
{
    static JxCriticalSection& network_csec = *new JxCriticalSection;
    static WakeRegistry& network_list = *new WakeRegistry(network_csec);
    return network_list;
}

void* listenerThread(void* /*arg*/)
{
    NetlinkListener listener(networkRegistry(), kNetworkSpec);
    // The gateways and hardware addresses the last read found, updated by
    // each neighbour message for them; the listener's thread alone uses it.
    std::vector<GatewaySeen> watched;
    // A failed read keeps the last set: route changes still wake the
    // hosts, and the next batch reads again.
    const auto refresh = [&] {
        try {
            watched = readGateways();
        } catch (const JxException& e) {
            listener.log.DebugLvl(kListenerTag, 2, "Couldn't read the default gateways: %s",
                                  e.getMessage());
        }
    };
    NetlinkListener::Source source;
    // start() returned once the socket was bound, so a host may have looked
    // before this first read; a change queued since then is in the read
    // already and would compare equal, so it wakes the hosts here.
    source.opened = [&] {
        refresh();
        if (listener.queued())
            listener.pass();
    };
    source.interesting = [&watched](const unsigned char* data, size_t length) {
        return routeEventMatters(data, length, &watched);
    };
    // After a route change (or lost messages) the gateways themselves may
    // be others; read them before the hosts look.
    source.batch = [&] {
        refresh();
        listener.log.DebugLvl(kListenerTag, 2, "Default gateway changed.");
        listener.pass();
    };
    listener.run(source);
    return nullptr;
}

} // namespace

std::vector<GatewaySeen> readGateways()
{
    RouteSocket sock;
    std::vector<Gateway> gateways;
    sock.dump<rtmsg>(RTM_GETROUTE, [&gateways](const unsigned char* d, size_t n, int* error) {
        return parseRouteDump(d, n, &gateways, error);
    });
    orderGateways(&gateways);
    std::vector<Neighbour> neighbours;
    if (!gateways.empty())
        sock.dump<ndmsg>(RTM_GETNEIGH, [&neighbours](const unsigned char* d, size_t n, int* error) {
            return parseNeighbourDump(d, n, &neighbours, error);
        });
    return identifyGateways(gateways, neighbours);
}

bool startNetworkEvents(OscProbe* probe, JxMonitor* monitor, EvDebug& debug)
{
    if (networkRegistry().start(probe, probe, nullptr, monitor, &listenerThread))
        return true;
    debug.DebugLvl(kListenerTag, 2, "Network events failed in this process; the host must poll.");
    return false;
}

void stopNetworkEvents(OscProbe* probe) { networkRegistry().stop(probe); }

} // namespace oscprobe::internal
