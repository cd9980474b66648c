// The known-network probe's pure parts by table: ids and targets as typed,
// route and neighbour dumps built byte by byte (hostile and cut ones too),
// the verdict, and which notifications wake a host.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>

#include "internal/NetworkInternal.h"

using namespace oscprobe::internal;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes operator+(Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; }
template <class T> Bytes raw(const T& v) { return Bytes(reinterpret_cast<const uint8_t*>(&v), reinterpret_cast<const uint8_t*>(&v) + sizeof v); }
Bytes pad(Bytes b) { return b.resize(NLMSG_ALIGN(b.size())), b; }
// An attribute whose length field says `len` (default: honest).
Bytes attr(uint16_t type, const Bytes& v, int len = -1) { return pad(raw(rtattr{uint16_t(len < 0 ? 4 + v.size() : len), type}) + v); }
Bytes u32(uint32_t v) { return raw(v); }
Bytes ip(const char* text) { Bytes b(16); return b.resize(inet_pton(AF_INET, text, b.data()) == 1 ? 4 : inet_pton(AF_INET6, text, b.data()) == 1 ? 16 : 0), b; }
Bytes msg(uint16_t type, const Bytes& body) { return pad(raw(nlmsghdr{uint32_t(16 + body.size()), type, 0, 1, 0}) + body); }
Bytes route(const Bytes& attrs, uint8_t dst = 0, uint8_t table = RT_TABLE_MAIN, uint8_t type = RTN_UNICAST, uint16_t kind = RTM_NEWROUTE, uint32_t flags = 0)
{
    return msg(kind, raw(rtmsg{uint8_t(attrs.size() > 1 && attrs[0] == 20 ? AF_INET6 : AF_INET), dst, 0, 0, table, 0, 0, type, flags}) + attrs);
}
// A gateway's attributes; route() takes an IPv6 one first (20 bytes) for an IPv6 route.
Bytes via(const char* gw, uint32_t oif, uint32_t prio = 0, const Bytes& more = {})
{
    return attr(RTA_GATEWAY, ip(gw)) + attr(RTA_OIF, u32(oif)) + (prio ? attr(RTA_PRIORITY, u32(prio)) : Bytes()) + more;
}
Bytes neigh(const char* addr, uint16_t state, const Bytes& mac, int ifindex = 2, uint16_t kind = RTM_NEWNEIGH)
{
    const Bytes a = ip(addr);
    return msg(kind, raw(ndmsg{uint8_t(a.size() == 4 ? AF_INET : AF_INET6), 0, 0, ifindex, state, 0, 0}) + attr(NDA_DST, a) +
                         (mac.empty() ? Bytes() : attr(NDA_LLADDR, mac)));
}
const Bytes kMac1{2, 0, 0, 0, 0, 1}, kMac2{2, 0, 0, 0, 0, 2};
const Bytes kDone = msg(NLMSG_DONE, u32(0));

std::string text(const std::vector<GatewaySeen>& seen)
{
    std::string out;
    for (const GatewaySeen& g : seen)
        out += (out.empty() ? "" : " ") + formatAddress(g.gateway.family, g.gateway.address) + "%" + std::to_string(g.gateway.ifindex) +
               "/" + std::to_string(g.gateway.priority) + (g.known ? "=" + formatMac(g.mac) : "");
    return out;
}
// The gateways of a route dump with what a neighbour dump says of them.
std::vector<GatewaySeen> seen(const Bytes& dump, const Bytes& neighbours, DumpStatus* status = nullptr, int* error = nullptr)
{
    std::vector<Gateway> g;
    std::vector<Neighbour> n;
    DumpStatus s;
    int e = 0;
    *(status ? status : &s) = parseRouteDump(dump.data(), dump.size(), &g, error ? error : &e);
    parseNeighbourDump(neighbours.data(), neighbours.size(), &n, &e);
    orderGateways(&g);
    return identifyGateways(g, n);
}
std::string gateways(const Bytes& dump, const Bytes& neighbours = {}, DumpStatus* status = nullptr)
{
    int error = 0;
    const std::string t = text(seen(dump, neighbours, status, &error));
    return t + (error ? " error " + std::to_string(error) : "");
}

// What each typed text gives: its parsed form, or the reason (one that starts
// with a blank follows the quoted text).
TEST(NetworkParse, IdsAndTargetsAsTyped)
{
    const std::string notMac = " is neither a MAC address (aa:bb:cc:dd:ee:ff) nor ssid:NAME", noName = " needs a Wi-Fi name of 1 to 32 bytes (no NUL) after ssid:",
                      x32(32, 'x'), h253(253, 'h'), bad = " is not HOST:PORT or [IPv6]:PORT: ", port = bad + "the port must be 1 to 65535";
    const auto reason = [](const std::string& in, const std::string& want) { return want[0] == ' ' ? "'" + in + "'" + want : want; };
    for (const auto& [in, want] : std::vector<std::pair<std::string, std::string>>{
             {"AA:bb:0C:dd:ee:FF", "aa:bb:0c:dd:ee:ff"}, {"02-00-00-00-00-01", "02:00:00:00:00:01"}, {"ssid:Caf\xc3\xa9: 2nd", "ssid Caf\xc3\xa9: 2nd"},
             {"ssid:" + x32, "ssid " + x32}, {"aa:bb-cc:dd:ee:ff", notMac}, {"aa.bb.cc.dd.ee.ff", notMac}, {"a:bb:cc:dd:ee:ff:0", notMac},
             {"aa:bb:cc:dd:ee:fg", notMac}, {"aa:bb:cc:dd:ee:ff ", notMac}, {"ssid:", noName}, {"ssid:x" + x32, noName},
             {std::string("ssid:a\0b\n", 9), "'ssid:a\\x00b\\x0a'" + noName}}) {
        NetworkId id;
        std::string why;
        EXPECT_EQ(parseNetworkId(in, &id, &why) ? (id.isSsid ? "ssid " + id.ssid : formatMac(id.mac)) : why, reason(in, want)) << in;
    }
    for (const auto& [in, want] : std::vector<std::pair<std::string, std::string>>{
             {"backup.example.org:873", "backup.example.org 873"}, {"10.0.0.5:1", "10.0.0.5 1"}, {"[2001:db8::1]:65535", "2001:db8::1 65535"},
             {h253 + ":22", h253 + " 22"}, {"example.org", bad + "no port"}, {"h:0", port}, {"h:65536", port}, {"h:+22", port}, {"h:", port},
             {":22", bad + "no host"}, {"::1:22", bad + "an IPv6 address goes in brackets"}, {"[::1]22", bad + "no ]:PORT after the address"},
             {"[host]:22", bad + "no IPv6 address in the brackets"}, {"a b:22", bad + "a blank or control byte in the host"},
             {"a\tb:22", "'a\\x09b:22'" + bad + "a blank or control byte in the host"}, {h253 + "h:22", bad + "the host is longer than 253 bytes"}}) {
        Target t;
        std::string why;
        EXPECT_EQ(parseTarget(in, &t, &why) ? t.host + " " + std::to_string(t.port) : why, reason(in, want)) << in;
    }
}

TEST(NetworkParse, RouteDumpGivesTheMainTablesDefaultGatewaysByMetric)
{
    const Bytes v4 = route(via("10.0.0.1", 2, 200)), hops = attr(RTA_MULTIPATH, raw(rtnexthop{16, 0, 0, 3}) + attr(RTA_GATEWAY, ip("10.1.0.1")) +
                                                                                   raw(rtnexthop{8, 0, 0, 4}) + raw(rtnexthop{16, 0, 0, 5}) + attr(RTA_GATEWAY, ip("10.5.0.1")));
    DumpStatus status = DumpStatus::MORE;
    for (const auto& [dump, want] : std::vector<std::pair<Bytes, std::string>>{
             {v4 + route(via("fe80::1", 2)) + route(via("10.0.0.9", 3, 100)) + kDone, "fe80::1%2/0 10.0.0.9%3/100 10.0.0.1%2/200"},
             {route(attr(RTA_PRIORITY, u32(50)) + hops) + kDone, "10.1.0.1%3/50 10.5.0.1%5/50"},
             // RTA_TABLE overrides rtm_table either way.
             {route(via("10.0.0.2", 2, 0, attr(RTA_TABLE, u32(100)))) + route(via("10.0.0.3", 2, 0, attr(RTA_TABLE, u32(RT_TABLE_MAIN))), 0, 100) + kDone, "10.0.0.3%2/0"},
             // Not a default route, another table, not unicast, a cached clone, no interface, no gateway, wrong-sized attributes.
             {route(via("10.0.0.4", 2), 24) + route(via("10.0.0.4", 2), 0, RT_TABLE_LOCAL) + route(via("10.0.0.4", 2), 0, RT_TABLE_MAIN, RTN_BLACKHOLE) +
                  route(via("10.0.0.4", 2), 0, RT_TABLE_MAIN, RTN_UNICAST, RTM_NEWROUTE, RTM_F_CLONED) + route(attr(RTA_GATEWAY, ip("10.0.0.4"))) +
                  route(attr(RTA_OIF, u32(2))) + route(attr(RTA_GATEWAY, ip("10.0.0.4")) + attr(RTA_OIF, Bytes{2, 0, 0})) +
                  route(attr(RTA_GATEWAY, Bytes(5, 1)) + attr(RTA_OIF, u32(2))) + route(via("10.0.0.4", 2), 0, RT_TABLE_MAIN, RTN_UNICAST, RTM_DELROUTE) + kDone, ""},
             // Lengths that lie: an attribute longer than its message, one shorter than its header, a message longer than the datagram.
             {v4 + route(via("10.0.0.5", 2) + attr(RTA_PRIORITY, u32(1), 200)) + route(attr(RTA_OIF, u32(2), 2) + via("10.0.0.6", 2)), "10.0.0.5%2/0 10.0.0.1%2/200"},
             {v4 + raw(nlmsghdr{255, RTM_NEWROUTE, 0, 0, 0}) + Bytes(8), "10.0.0.1%2/200"},
             {v4 + msg(NLMSG_ERROR, u32(-EPERM)) + route(via("10.0.0.7", 2)), "10.0.0.1%2/200 error 1"}})
        EXPECT_EQ(gateways(dump), want);
    // Cut anywhere, a dump gives what it holds whole and never reads past its end.
    const Bytes v6 = route(via("fe80::1", 2, 7)), whole = v4 + v6 + kDone;
    for (size_t n = 0; n < whole.size(); ++n)
        EXPECT_EQ(gateways(Bytes(whole.begin(), whole.begin() + n), {}, &status),
                  n < v4.size() ? "" : n < v4.size() + v6.size() ? "10.0.0.1%2/200" : "fe80::1%2/7 10.0.0.1%2/200") << n;
    EXPECT_EQ(status, DumpStatus::MORE);
    gateways(whole, {}, &status);
    EXPECT_EQ(status, DumpStatus::DONE);
}

TEST(NetworkParse, GatewayIsKnownByAHardwareAddressTheKernelStillHolds)
{
    const Bytes routes = route(via("10.0.0.1", 2)) + route(via("fe80::1", 2, 5));
    for (const auto& [neighbours, want] : std::vector<std::pair<Bytes, std::string>>{
             {neigh("10.0.0.1", NUD_REACHABLE, kMac1) + neigh("fe80::1", NUD_STALE, kMac2), "10.0.0.1%2/0=02:00:00:00:00:01 fe80::1%2/5=02:00:00:00:00:02"},
             {neigh("10.0.0.1", NUD_DELAY, kMac1) + neigh("fe80::1", NUD_PERMANENT, kMac2), "10.0.0.1%2/0=02:00:00:00:00:01 fe80::1%2/5=02:00:00:00:00:02"},
             {neigh("10.0.0.1", NUD_PROBE, kMac1) + neigh("fe80::1", NUD_NOARP, kMac2), "10.0.0.1%2/0=02:00:00:00:00:01 fe80::1%2/5=02:00:00:00:00:02"},
             {neigh("10.0.0.1", NUD_INCOMPLETE, kMac1) + neigh("fe80::1", NUD_FAILED, kMac2), "10.0.0.1%2/0 fe80::1%2/5"},
             {neigh("10.0.0.1", NUD_NOARP, {}) + neigh("fe80::1", NUD_REACHABLE, Bytes(20, 1)), "10.0.0.1%2/0 fe80::1%2/5"},
             // Another interface's entry, another address, a bridge's forwarding entry.
             {neigh("10.0.0.1", NUD_REACHABLE, kMac1, 3) + neigh("10.0.0.2", NUD_REACHABLE, kMac1) +
                  msg(RTM_NEWNEIGH, raw(ndmsg{AF_BRIDGE, 0, 0, 2, NUD_REACHABLE, 0, 0}) + attr(NDA_DST, ip("10.0.0.1")) + attr(NDA_LLADDR, kMac1)),
              "10.0.0.1%2/0 fe80::1%2/5"}})
        EXPECT_EQ(gateways(routes, neighbours), want);
}

TEST(NetworkParse, AnyIdMatchingIsGoAndAnUnknownGatewayIsNotYet)
{
    // 10.0.0.1 is known, fe80::1 is known, 10.0.0.1 on another link is not.
    const std::vector<GatewaySeen> g = seen(route(via("10.0.0.1", 2)) + route(via("fe80::1", 2, 5)) + route(via("10.0.0.1", 3, 9)),
                                            neigh("10.0.0.1", NUD_REACHABLE, kMac1) + neigh("fe80::1", NUD_REACHABLE, kMac2));
    const GatewaySeen one = g.at(0), two = g.at(1), blind = g.at(2);
    const std::string wifi = "home", mac1 = "02:00:00:00:00:01", mac2 = "02:00:00:00:00:02", noNm = "; the Wi-Fi name is not known without NetworkManager";
    using V = NetworkVerdict;
    struct Row { std::vector<std::string> ids; std::vector<GatewaySeen> now; const std::string* ssid; V verdict; std::string finding; };
    for (const Row& r : std::vector<Row>{
             {{mac2, mac1}, {one}, nullptr, V::KNOWN, "on a known network: gateway 10.0.0.1 is " + mac1},
             {{mac2}, {one, two}, nullptr, V::KNOWN, "on a known network: gateway fe80::1 is " + mac2},
             {{mac2}, {two, blind}, nullptr, V::KNOWN, "on a known network: gateway fe80::1 is " + mac2},
             {{mac2}, {one}, nullptr, V::OTHER, "gateway 10.0.0.1 is " + mac1 + ", not a known network"},
             {{mac1}, {blind, two}, nullptr, V::NOT_YET, "gateway 10.0.0.1 not recognised yet (the kernel does not know its hardware address)"},
             {{mac1}, {}, nullptr, V::OTHER, "no default gateway"},
             {{"ssid:home"}, {one}, nullptr, V::OTHER, "gateway 10.0.0.1 is " + mac1 + ", not a known network" + noNm},
             {{"ssid:home", mac2}, {}, nullptr, V::OTHER, "no default gateway" + noNm},
             {{"ssid:home"}, {blind}, &wifi, V::KNOWN, "on a known network: Wi-Fi network 'home'"},
             {{"ssid:work"}, {two}, &wifi, V::OTHER, "Wi-Fi network 'home', gateway fe80::1 is " + mac2 + ", not a known network"}}) {
        std::vector<NetworkId> ids(r.ids.size());
        std::string finding;
        for (size_t i = 0; i < ids.size(); ++i)
            ASSERT_TRUE(parseNetworkId(r.ids[i], &ids[i], &finding));
        EXPECT_EQ(decideNetwork(ids, r.now, r.ssid, &finding), r.verdict) << r.finding;
        EXPECT_EQ(finding, r.finding);
    }
}

TEST(NetworkParse, OnlyDefaultRoutesAndGatewayAddressChangesWakeAHost)
{
    std::vector<GatewaySeen> watched = seen(route(via("10.0.0.1", 2)), neigh("10.0.0.1", NUD_REACHABLE, kMac1));
    // In order, each against what the ones before left.
    for (const auto& [event, wakes, after] : std::vector<std::tuple<Bytes, bool, std::string>>{
             {neigh("10.0.0.1", NUD_STALE, kMac1) + neigh("10.0.0.1", NUD_DELAY, kMac1) + neigh("10.0.0.1", NUD_PROBE, kMac1), false, "=02:00:00:00:00:01"},
             {neigh("10.0.0.2", NUD_REACHABLE, kMac2) + neigh("10.0.0.1", NUD_REACHABLE, kMac1, 3), false, "=02:00:00:00:00:01"},
             {neigh("10.0.0.1", NUD_REACHABLE, kMac2), true, "=02:00:00:00:00:02"},
             {neigh("10.0.0.1", NUD_FAILED, kMac2), true, ""},
             {neigh("10.0.0.1", NUD_INCOMPLETE, {}), false, ""},
             {neigh("10.0.0.1", NUD_STALE, kMac1), true, "=02:00:00:00:00:01"},
             {neigh("10.0.0.1", NUD_STALE, kMac1, 2, RTM_DELNEIGH), true, ""},
             {route(via("10.0.0.9", 2), 24) + route(via("10.0.0.9", 2), 0, 100) + route(via("10.0.0.9", 2), 0, RT_TABLE_MAIN, RTN_UNICAST, RTM_NEWROUTE, RTM_F_CLONED), false, ""},
             {route(via("10.0.0.9", 2), 0, RT_TABLE_MAIN, RTN_UNICAST, RTM_DELROUTE), true, ""},
             {route(via("fe80::9", 2)), true, ""}}) {
        EXPECT_EQ(routeEventMatters(event.data(), event.size(), &watched), wakes) << after;
        EXPECT_EQ(text(watched), "10.0.0.1%2/0" + after);
    }
}

TEST(NetworkParse, AddressesComingGoingOrChangingFlagsAndRoutesOutsideTheLocalTableWakeTheReachableProbes)
{
    const auto addr = [](const char* a, uint32_t flags, uint16_t kind = RTM_NEWADDR, int ifindex = 2, uint16_t attribute = IFA_LOCAL) {
        const Bytes b = ip(a);
        return msg(kind, raw(ifaddrmsg{uint8_t(b.size() == 4 ? AF_INET : AF_INET6), 64, 0, 0, uint32_t(ifindex)}) + attr(attribute, b) + attr(IFA_FLAGS, u32(flags)));
    };
    std::vector<AddressSeen> seen;
    // In order, each against what the ones before left.
    for (const auto& [event, wakes, count] : std::vector<std::tuple<Bytes, bool, size_t>>{
             {addr("fd00::2", IFA_F_TENTATIVE), true, 1}, {addr("fd00::2", IFA_F_TENTATIVE), false, 1}, {addr("fd00::2", 0), true, 1},
             {addr("fd00::2", 0) + addr("fd00::2", 0), false, 1}, {addr("fd00::2", 0, RTM_NEWADDR, 3), true, 2},
             {addr("10.0.0.2", 0, RTM_NEWADDR, 2, IFA_ADDRESS), true, 3}, {addr("fd00::2", 0, RTM_DELADDR), true, 2},
             {addr("fd00::9", 0, RTM_DELADDR), true, 2}, {addr("fd00::2", 0, RTM_NEWADDR, 3) + addr("fd00::2", 0, RTM_NEWADDR, 3, 200), false, 2},
             {route(via("10.0.0.9", 2), 24, RT_TABLE_LOCAL) + route(via("10.0.0.9", 2), 0, RT_TABLE_MAIN, RTN_LOCAL) +
                  route(via("10.0.0.9", 2), 0, RT_TABLE_MAIN, RTN_UNICAST, RTM_NEWROUTE, RTM_F_CLONED) + route(via("10.0.0.9", 2, 0, attr(RTA_TABLE, u32(RT_TABLE_LOCAL)))), false, 2},
             {route(via("10.0.0.9", 2), 24, RT_TABLE_MAIN, RTN_UNICAST, RTM_DELROUTE), true, 2}, {route(via("fe80::9", 2, 0, attr(RTA_TABLE, u32(51820))), 0, RT_TABLE_COMPAT), true, 2},
             {route({}, 24, RT_TABLE_MAIN, RTN_BLACKHOLE), true, 2}}) {
        EXPECT_EQ(reachEventMatters(event.data(), event.size(), &seen), wakes) << seen.size();
        EXPECT_EQ(seen.size(), count);
    }
}

} // namespace
