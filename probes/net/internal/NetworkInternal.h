// The pure part of the network probes: what the user's ids, targets and the
// kernel's rtnetlink dumps and notifications mean, with no system call.
// Readers in *_linux.cpp hand these the bytes and strings; tests and
// fuzzers hand them made-up ones.
//
// Threading: free functions on their arguments only; any thread.
#ifndef OSCPROBE_NET_INTERNAL_NETWORKINTERNAL_H
#define OSCPROBE_NET_INTERNAL_NETWORKINTERNAL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace oscprobe::internal {

using Mac = std::array<uint8_t, 6>;

// "aa:bb:cc:dd:ee:ff", any case, ':' or '-' between exactly six two-digit
// octets (one separator throughout). False on anything else.
bool parseMac(const std::string& text, Mac* mac);
// Lower case, ':' between octets.
std::string formatMac(const Mac& mac);

// A known network: its default gateway's hardware address, or its Wi-Fi
// name ("ssid:NAME", 1 to 32 bytes, any byte but NUL, ':' included).
struct NetworkId {
    bool isSsid = false;
    Mac mac{};
    std::string ssid;
};
// False with *why set to the one-line reason when `text` is neither.
bool parseNetworkId(const std::string& text, NetworkId* id, std::string* why);

// "HOST:PORT" (a name or IPv4 address) or "[IPv6]:PORT"; the port 1 to
// 65535 in decimal; the host 1 to 253 bytes without blanks or control
// bytes. False with *why set when malformed.
struct Target {
    std::string host; // without the brackets
    uint16_t port = 0;
};
bool parseTarget(const std::string& text, Target* target, std::string* why);

// A default route's next hop: family AF_INET or AF_INET6, the address in
// network order (4 or 16 bytes used), the outgoing interface, the metric.
struct Gateway {
    uint8_t family = 0;
    std::array<uint8_t, 16> address{};
    int ifindex = 0;
    uint32_t priority = 0;
    bool operator==(const Gateway& o) const
    {
        return family == o.family && address == o.address && ifindex == o.ifindex;
    }
};
std::string formatAddress(uint8_t family, const std::array<uint8_t, 16>& address);

struct Neighbour {
    uint8_t family = 0;
    int ifindex = 0;
    std::array<uint8_t, 16> address{};
    std::vector<uint8_t> lladdr;
    uint16_t state = 0; // NUD_*
};

// Where one datagram of a dump left the walk.
enum class DumpStatus { MORE, DONE, FAILED };

// One datagram of a RTM_GETROUTE dump: appends the default gateways of the
// main table (unicast, with a gateway and an interface; each next hop of a
// multipath route). FAILED with *error (a positive errno) on NLMSG_ERROR.
DumpStatus parseRouteDump(const unsigned char* data, size_t length, std::vector<Gateway>* out,
                          int* error);
// Lowest metric first; equal metrics keep the kernel's order.
void orderGateways(std::vector<Gateway>* gateways);

// One datagram of a RTM_GETNEIGH dump: appends the IPv4 and IPv6 entries.
DumpStatus parseNeighbourDump(const unsigned char* data, size_t length, std::vector<Neighbour>* out,
                              int* error);

// A gateway as the network is identified by it: its hardware address when
// the kernel knows it.
struct GatewaySeen {
    Gateway gateway;
    bool known = false;
    Mac mac{};
};
// The neighbour entry's hardware address, when it names the host behind the
// address: a 6-byte one in any state but INCOMPLETE or FAILED. STALE counts:
// unconfirmed lately, the address is still the router's.
bool knownMac(const Neighbour& entry, Mac* mac);
std::vector<GatewaySeen> identifyGateways(const std::vector<Gateway>& gateways,
                                          const std::vector<Neighbour>& neighbours);

enum class NetworkVerdict { KNOWN, OTHER, NOT_YET };
// Whether the network now is one of `wanted`: any id matching is KNOWN;
// else NOT_YET while a gateway's hardware address is unknown; else OTHER.
// `ssid` is the Wi-Fi name when known (null: unknown). *finding says why.
NetworkVerdict decideNetwork(const std::vector<NetworkId>& wanted,
                             const std::vector<GatewaySeen>& now, const std::string* ssid,
                             std::string* finding);

// One notification datagram for a listener that watches `watched`: true
// when it may change a verdict (a default route of the main table added
// or removed, or a watched gateway's hardware address appearing, changing
// or going). Records the new address in *watched; a neighbour's state
// alone (REACHABLE, STALE, DELAY...) is never interesting.
bool routeEventMatters(const unsigned char* data, size_t length,
                       std::vector<GatewaySeen>* watched);

// An address as the reachable probes' listener last saw it.
struct AddressSeen {
    uint8_t family = 0;
    uint8_t prefixLength = 0;
    int ifindex = 0;
    std::array<uint8_t, 16> address{};
    uint32_t flags = 0; // IFA_F_*
};
// At most this many are remembered; past it the record starts again.
constexpr size_t kMaxAddressesSeen = 4096;
// One notification datagram for the reachable probes' listener: true when
// an address is added, removed or changes flags (a repeat of what *seen
// holds is not a change, so IPv6 lifetimes refreshed by a router
// advertisement wake nobody), or when a route of any table but the local
// one is added or removed (unicast, blackhole, unreachable, prohibit or
// throw; not a cached clone). Records each address in *seen.
bool reachEventMatters(const unsigned char* data, size_t length, std::vector<AddressSeen>* seen);

} // namespace oscprobe::internal

#endif
