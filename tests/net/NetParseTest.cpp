// The subnet probe's pure parts by table: subnet definitions and matching,
// /proc/net/if_inet6 lines, netlink datagrams captured from the kernel, and
// the watcher's wake decision.
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>

#include "NetTestSupport.h"
#include "internal/OscProbeSubNetInternal.h"

using namespace oscprobe::internal;
using Bytes = std::vector<unsigned char>;
using List = std::list<OscProbeSubNet::Iface>;

static ZUNET_SockAddr ip(const std::string& text)
{
    ZUNET_SockAddr a{};
    return ZUNET_str2ip(text.c_str(), &a) == 0 ? a : ZUNET_SockAddr{{0xff}}; // none there
}
static ZUNET_SockAddr a(int n) { return ip("10.0.0." + std::to_string(n)); }
static bool is(const ZUNET_SockAddr& x, const char* t) { return !memcmp(x.raw, ip(t).raw, 28); }

TEST(NetParse, SubnetHoldsTheAddressesOfItsFamilyThatShareItsPrefix)
{
    for (const auto& [net, bits, addr, in] :
         std::vector<std::tuple<const char*, int, const char*, bool>>{
             {"10.1.47.9", 20, "10.1.32.0", 1}, {"10.1.47.9", 20, "10.1.40.1", 1},
             {"10.1.47.9", 20, "10.1.48.1", 0}, {"10.1.2.3", 32, "10.1.2.3", 1},
             {"10.1.2.3", 32, "10.1.2.4", 0}, {"200.0.0.0", 1, "255.1.1.1", 1},
             {"2001:db8::", 32, "2001:db8:1::5", 1}, {"2001:db8::", 32, "2001:db9::", 0},
             {"fe80::1", 10, "febf::1", 1}, {"fe80::1", 10, "fec0::1", 0},
             {"::ffff:10.0.0.0", 104, "10.0.0.1", 0}, {"10.0.0.0", 8, "::a00:1", 0}})
        EXPECT_EQ(subnetContains(makeSubnet(ip(net), bits), ip(addr)), in) << net << " " << addr;
    for (const char* bad : {"10.1.2.3", "abc/8", "10.1.2.3/0", "10.1.2.3/33", "10.0.0.0/4294967304",
                            "2001:db8::/129", "::/0"})
        EXPECT_THROW(OscProbeSubNet(std::list<std::string>{"10.0.0.0/8", bad}), JxException) << bad;
    EXPECT_NO_THROW(OscProbeSubNet(std::list<std::string>{"10.0.0.0/1", "::/1", "2001:db8::/128"}));
}

// New-address datagrams captured from the kernel, for 10.9.0.1/24 (its
// IFA_ADDRESS at byte 24, its IFA_LOCAL at 32) or fd00::9/64, bytes changed.
static Bytes bytes(bool v4, std::vector<std::pair<int, int>> edits = {})
{
    const std::string hex =
        v4 ? "4c000000140000009fd2156b422300000218800003000000080001000a090001080002000a09000107"
             "000300763000000800080080000000140006" "00ffffffffffffffff37c0050037c00500"
           : "480000001400000000000000000000000a4082000300000014000100fd000000000000000000000000"
             "00000914000600ffffffffffffffff00c1050000c105000800080082000000";
    Bytes out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    for (const auto& [at, value] : edits)
        out.at(static_cast<size_t>(at)) = static_cast<unsigned char>(value);
    return out;
}

TEST(NetParse, KernelTextAndDatagramsGiveAddressesInTheListingsLayout)
{
    using S = Inet6LineStatus;
    for (const auto& [line, status, addr] : std::vector<std::tuple<const char*, S, const char*>>{
             {"20010db80000000000000000000000ef 05 40 00 80 v0\n", S::Ok, "2001:db8::ef"},
             {"FE800000000000000000000000000001 02 40 20 80  v0", S::Ok, "fe80::1"},
             {"g0000000000000000000000000000001 01 80 10 80 v0\n", S::BadHighDigit, ""},
             {" 0000000000000000000000000000001 01 80 10 80 v0\n", S::BadHighDigit, ""},
             {"0000000000000000000000000000000x 01 80 10 80 v0\n", S::BadLowDigit, ""},
             {"fe8", S::BadLowDigit, ""}}) {
        ZUNET_SockAddr got;
        std::string name;
        EXPECT_EQ(parseIfInet6Line(line, &got, &name), status) << line;
        EXPECT_TRUE(status != S::Ok || (is(got, addr) && name == "v0")) << line;
    }
    for (const auto& [message, addr] : std::vector<std::pair<Bytes, const char*>>{
             {bytes(true), "10.9.0.1"}, {bytes(false), "fd00::9"},
             {bytes(true, {{31, 2}}), "10.9.0.1"},             // IFA_ADDRESS is a peer
             {bytes(true, {{31, 2}, {34, 0x7f}}), "10.9.0.2"}, // no IFA_LOCAL
             {bytes(true, {{4, RTM_DELADDR}}), nullptr},
             {bytes(false, {{16, AF_INET}}), nullptr}}) { // IPv4 with 16-byte addresses
        ZUNET_SockAddr got;
        const bool named = parseNewAddress(message.data(), long(message.size()), &got);
        EXPECT_TRUE(named == (addr != nullptr) && (!named || is(got, addr))) << addr;
    }
    Bytes datagram = bytes(true, {{4, RTM_DELADDR}}), v6 = bytes(false);
    datagram.insert(datagram.end(), v6.begin(), v6.end()); // a removal, then a new address
    std::vector<ZUNET_SockAddr> named;
    EXPECT_EQ(findFirstNewAddr(datagram.data(), long(datagram.size())), 76);
    EXPECT_TRUE(collectNewAddresses(datagram.data(), long(datagram.size()), &named, 8));
    EXPECT_TRUE(named.size() == 1 && is(named[0], "fd00::9"));
}

TEST(NetParse, WatcherWakesHostsForWhatItsEarlyWakeUpDidNotCover)
{
    const auto W = OscProbeSubNet::WIRED, U = OscProbeSubNet::UNKNOWN;
    const OscProbeSubNet::Iface eth0{"eth0", W, {a(1), a(2)}}, eth2{"eth2", U, {a(5)}};
    const List before = {eth0, eth2}, gained = {{"eth0", W, {a(1), a(2), a(7)}}, eth2};
    using D = WakeDecision;
    // The list after, the addresses named, whether an early wake-up was
    // given and a notice queued since, and what is decided.
    for (auto [after, named, early, queued, want] :
         std::vector<std::tuple<List, std::vector<ZUNET_SockAddr>, bool, bool, D>>{
             {before, {a(7)}, 1, 1, D::NOTHING_CHANGED},
             {{{"eth0", W, {a(2), a(1)}}, eth2}, {}, 0, 0, D::NOTHING_CHANGED},
             {gained, {a(7)}, 1, 0, D::ALREADY_WOKEN}, {gained, {a(7)}, 1, 1, D::WAKE},
             {gained, {a(7)}, 0, 0, D::WAKE}, {gained, {a(6)}, 1, 0, D::WAKE},
             {{{"eth0", W, {a(7)}}}, {a(7)}, 1, 0, D::ALREADY_WOKEN}, // what went, went before
             {{eth0, {"eth1", U, {a(8), a(7)}}, eth2}, {a(8), a(7)}, 1, 0, D::ALREADY_WOKEN},
             {{{"eth0", U, {a(1), a(2)}}, eth2}, {}, 1, 0, D::WAKE},
             {{{"eth0", W, {a(2)}}, {"eth2", U, {a(5), a(1)}}}, {}, 1, 0, D::WAKE}}) {
        std::sort(named.begin(), named.end(), addressBefore);
        EXPECT_EQ(decideWake(before, after, named, early, queued), want) << after.front().name;
    }
    // An early wake-up is for an address that no interface carries yet.
    EXPECT_FALSE(namesUnlistedAddress(before, {a(5), a(1)}, 4));
    EXPECT_TRUE(namesUnlistedAddress(before, {a(5), a(9)}, 4));
    EXPECT_FALSE(namesUnlistedAddress(before, {a(9), a(5)}, 1)); // only the newest ones
}
