// Walks arbitrary datagrams the way the address-change watcher does. A
// reported message must lie wholly inside the data and be a new-address
// message.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string.h>

#include <cstddef>
#include <cstdint>
#include <vector>

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
    return 0;
}
