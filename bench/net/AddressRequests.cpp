#include "AddressRequests.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace oscprobe_bench {

namespace {

// Requests per datagram: the kernel handles a datagram's requests in one
// send, and their acknowledgements must fit the receive queue.
constexpr size_t kPerDatagram = 64;

struct AddrRequest {
    struct nlmsghdr header;
    struct ifaddrmsg ifa;
    struct rtattr localAttr;
    uint32_t local;
    struct rtattr addressAttr;
    uint32_t address;
};

int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

AddressRequests::AddressRequests()
{
    fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd_ < 0) {
        error_ = std::string("socket: ") + strerror(errno);
        return;
    }
    // Acknowledgements without a copy of the request, and room for a whole
    // datagram's worth of them.
    int one = 1;
    setsockopt(fd_, SOL_NETLINK, NETLINK_CAP_ACK, &one, sizeof one);
    int size = 1 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    struct sockaddr_nl local;
    memset(&local, 0, sizeof local);
    local.nl_family = AF_NETLINK;
    if (bind(fd_, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0)
        error_ = std::string("bind: ") + strerror(errno);
}

AddressRequests::~AddressRequests()
{
    if (fd_ >= 0)
        close(fd_);
}

int64_t AddressRequests::send(const std::vector<Address>& addresses, bool add)
{
    std::vector<AddrRequest> batch;
    batch.reserve(kPerDatagram);
    for (size_t first = 0; first < addresses.size(); first += kPerDatagram) {
        batch.clear();
        for (size_t i = first; i < addresses.size() && i < first + kPerDatagram; ++i) {
            AddrRequest r;
            memset(&r, 0, sizeof r);
            r.header.nlmsg_len = sizeof r;
            r.header.nlmsg_type = add ? RTM_NEWADDR : RTM_DELADDR;
            r.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | (add ? NLM_F_CREATE | NLM_F_EXCL : 0);
            r.header.nlmsg_seq = ++seq_;
            r.ifa.ifa_family = AF_INET;
            r.ifa.ifa_prefixlen = static_cast<unsigned char>(addresses[i].prefix);
            r.ifa.ifa_index = static_cast<unsigned>(addresses[i].ifindex);
            r.localAttr.rta_type = IFA_LOCAL;
            r.localAttr.rta_len = RTA_LENGTH(sizeof r.local);
            r.local = htonl(addresses[i].ipv4);
            r.addressAttr.rta_type = IFA_ADDRESS;
            r.addressAttr.rta_len = RTA_LENGTH(sizeof r.address);
            r.address = r.local;
            batch.push_back(r);
        }
        struct sockaddr_nl kernel;
        memset(&kernel, 0, sizeof kernel);
        kernel.nl_family = AF_NETLINK;
        const size_t bytes = batch.size() * sizeof(AddrRequest);
        if (sendto(fd_, batch.data(), bytes, 0, reinterpret_cast<struct sockaddr*>(&kernel),
                   sizeof kernel) != static_cast<ssize_t>(bytes)) {
            error_ = std::string("send: ") + strerror(errno);
            return -1;
        }
        if (!readAcks(static_cast<int>(batch.size())))
            return -1;
    }
    return steadyNs();
}

bool AddressRequests::readAcks(int count)
{
    alignas(struct nlmsghdr) char buffer[16384];
    while (count > 0) {
        ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            error_ = std::string("recv: ") + strerror(errno);
            return false;
        }
        const size_t length = static_cast<size_t>(got);
        for (size_t offset = 0; offset + sizeof(struct nlmsghdr) <= length;) {
            const struct nlmsghdr* h = reinterpret_cast<const struct nlmsghdr*>(buffer + offset);
            if (h->nlmsg_len < sizeof(struct nlmsghdr) || h->nlmsg_len > length - offset)
                break;
            offset += NLMSG_ALIGN(h->nlmsg_len);
            if (h->nlmsg_type != NLMSG_ERROR)
                continue;
            const struct nlmsgerr* e = static_cast<const struct nlmsgerr*>(NLMSG_DATA(h));
            if (e->error != 0) {
                error_ = std::string("kernel: ") + strerror(-e->error);
                return false;
            }
            --count;
        }
    }
    return true;
}

} // namespace oscprobe_bench
