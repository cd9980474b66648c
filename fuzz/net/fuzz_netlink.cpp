// Walks arbitrary datagrams the way the address-change watcher does. A
// reported message must lie wholly inside the data and be a new-address
// message; the addresses collected from the datagram must agree with the
// walk and be laid out as the interface listing lays out its own.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include <sys/socket.h>

#include "internal/OscProbeSubNetInternal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size copy, so that any read past the end is caught.
    std::vector<uint8_t> copy(data, data + size);
    const long length = static_cast<long>(size);
    const long found = oscprobe::internal::findFirstNewAddr(copy.data(), length);
    if (found >= 0) {
        struct nlmsghdr h;
        if (found + static_cast<long>(sizeof h) > length)
            __builtin_trap();
        memcpy(&h, copy.data() + found, sizeof h);
        if (h.nlmsg_type != RTM_NEWADDR || h.nlmsg_len < sizeof h ||
            found + static_cast<long>(h.nlmsg_len) > length)
            __builtin_trap();
    }
    std::vector<ZUNET_SockAddr> named;
    const bool any = oscprobe::internal::collectNewAddresses(copy.data(), length, &named, 64);
    if (any != (found >= 0) || named.size() > 64)
        __builtin_trap();
    for (const ZUNET_SockAddr& a : named) {
        uint16_t family;
        memcpy(&family, a.raw, sizeof family);
        if (family != AF_INET && family != AF_INET6)
            __builtin_trap();
        // IPv4 bytes at 4-7, IPv6 bytes at 8-23; every other byte zero.
        const size_t first = family == AF_INET ? 4 : 8;
        const size_t end = first + (family == AF_INET ? 4 : 16);
        for (size_t i = sizeof family; i < sizeof a.raw; ++i)
            if ((i < first || i >= end) && a.raw[i] != 0)
                __builtin_trap();
    }
    return 0;
}
