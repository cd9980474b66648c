// Walks arbitrary datagrams as route and neighbour dumps and as the
// network and reachable listeners' notifications. Every gateway found must
// have a family and an interface, a verdict must come with its words, and
// the addresses remembered must stay within their bound.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "internal/NetworkInternal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace oscprobe::internal;
    std::vector<Gateway> gateways;
    std::vector<Neighbour> neighbours;
    int error = 0;
    parseRouteDump(data, size, &gateways, &error);
    parseNeighbourDump(data, size, &neighbours, &error);
    orderGateways(&gateways);
    std::vector<GatewaySeen> seen = identifyGateways(gateways, neighbours);
    for (const GatewaySeen& g : seen)
        if ((g.gateway.family != AF_INET && g.gateway.family != AF_INET6) || g.gateway.ifindex <= 0)
            __builtin_trap();
    std::string finding;
    NetworkId id;
    decideNetwork({id}, seen, nullptr, &finding);
    routeEventMatters(data, size, &seen);
    std::vector<AddressSeen> addresses;
    reachEventMatters(data, size, &addresses);
    reachEventMatters(data, size, &addresses);
    if (addresses.size() > kMaxAddressesSeen)
        __builtin_trap();
    if (finding.empty())
        __builtin_trap();
    return 0;
}
