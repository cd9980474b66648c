#include "BridgeSet.h"

#include <net/if.h>
#include <stdio.h>

namespace oscprobe_bench {

namespace {
int made = 0;
}

std::string BridgeSet::growTo(int target)
{
    if (target <= made)
        return std::string();
    FILE* ip = popen("ip -batch - >/dev/null", "w");
    if (ip == nullptr)
        return "cannot run ip";
    for (int k = made; k < target; ++k) {
        fprintf(ip,
                "link add br%d type bridge\n"
                "link set br%d addrgenmode none\n"
                "link set br%d up\n"
                "addr add 10.%d.%d.1/24 dev br%d\n"
                "addr add fe80::%x/64 dev br%d nodad\n",
                k, k, k, k / 256, k % 256, k, k + 1, k);
    }
    if (pclose(ip) != 0)
        return "ip -batch failed while making bridges";
    made = target;
    return std::string();
}

int BridgeSet::count() { return made; }

int BridgeSet::ifindex(int k) { return static_cast<int>(if_nametoindex(("br" + std::to_string(k)).c_str())); }

} // namespace oscprobe_bench
