// The parsers behind the subnet probe, on captured kernel text and crafted
// netlink datagrams: /proc/net/if_inet6 lines, tokens, the netlink walk and
// the addresses new-address messages name, prefix lengths, interface-record
// equality, and the watcher's list comparisons.
#include <gtest/gtest.h>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <numeric>
#include <vector>

#include "OscProbeSubNet.h"
#include "internal/OscProbeSubNetInternal.h"

using namespace oscprobe::internal;

namespace {

TEST(GetToken, SkipsLeadingSpaceAndStopsBeforeTheDelimiter)
{
    const char* text = " \t eth0  rest";
    const char* cursor = text;
    EXPECT_EQ(getToken(cursor), "eth0");
    EXPECT_EQ(cursor, text + 7);
    EXPECT_EQ(getToken(cursor), "rest");
    EXPECT_EQ(getToken(cursor), "");
    EXPECT_EQ(*cursor, '\0');
    // Bytes above 127 are ordinary characters, not negative values.
    const char high[] = "\xe9" "th\xff" "0 x";
    cursor = high;
    EXPECT_EQ(getToken(cursor), "\xe9" "th\xff" "0");
}

TEST(IfInet6Line, ParsesIntoTheSocketAddressLayoutAndNamesTheBadDigit)
{
    ZUNET_SockAddr addr;
    std::string name;
    ASSERT_EQ(parseIfInet6Line("fe80000000000000021122fffe334455 02 40 20 80     eth0\n", &addr,
                               &name),
              Inet6LineStatus::Ok);
    EXPECT_EQ(name, "eth0");
    const unsigned char want[28] = {10,   0,    0,    0,    0,    0, 0, 0, 0xfe, 0x80,
                                    0,    0,    0,    0,    0,    0, 2, 0x11, 0x22, 0xff,
                                    0xfe, 0x33, 0x44, 0x55};
    EXPECT_EQ(memcmp(addr.raw, want, sizeof want), 0);

    const struct {
        const char* line;
        Inet6LineStatus status;
    } bad[] = {
        {"g0000000000000000000000000000001 01 80 10 80 lo\n", Inet6LineStatus::BadHighDigit},
        {"0000000000000000000000000000000x 01 80 10 80 lo\n", Inet6LineStatus::BadLowDigit},
        {" 0000000000000000000000000000001 01 80 10 80 lo\n", Inet6LineStatus::BadHighDigit},
        {"fe80\n", Inet6LineStatus::BadHighDigit},
        {"fe8", Inet6LineStatus::BadLowDigit},
        {"", Inet6LineStatus::BadHighDigit},
    };
    for (const auto& c : bad)
        EXPECT_EQ(parseIfInet6Line(c.line, &addr, &name), c.status) << '"' << c.line << '"';
}

// Appends one netlink message of `payload` bytes, padded to the alignment.
void appendMessage(std::vector<unsigned char>& buf, uint16_t type, uint32_t payload,
                   uint32_t claimedLength = 0)
{
    struct nlmsghdr h;
    memset(&h, 0, sizeof h);
    h.nlmsg_len = claimedLength ? claimedLength : static_cast<uint32_t>(sizeof h) + payload;
    h.nlmsg_type = type;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&h);
    buf.insert(buf.end(), p, p + sizeof h);
    buf.resize(buf.size() + NLMSG_ALIGN(sizeof h + payload) - sizeof h, 0);
}

long walk(const std::vector<unsigned char>& buf, long trim = 0)
{
    return findFirstNewAddr(buf.data(), static_cast<long>(buf.size()) - trim);
}

TEST(NetlinkWalk, FindsTheFirstNewAddressAndStopsAtMalformedMessages)
{
    std::vector<unsigned char> buf;
    appendMessage(buf, RTM_DELADDR, 37); // 53 bytes, padded to 56
    appendMessage(buf, NLMSG_DONE, 4);
    appendMessage(buf, RTM_NEWADDR, 40);
    appendMessage(buf, RTM_NEWADDR, 40);
    EXPECT_EQ(walk(buf), 56 + 20);
    // The last new-address message arrived cut: it claims more than remains.
    buf.resize(56 + 20);
    appendMessage(buf, RTM_NEWADDR, 40);
    EXPECT_EQ(walk(buf, 1), -1);
    EXPECT_EQ(findFirstNewAddr(buf.data(), 0), -1);
    EXPECT_EQ(findFirstNewAddr(buf.data(), -1), -1);

    std::vector<unsigned char> tooShort;
    appendMessage(tooShort, RTM_DELADDR, 0, 15); // shorter than its own header
    appendMessage(tooShort, RTM_NEWADDR, 0);
    EXPECT_EQ(walk(tooShort), -1);
    // A remainder shorter than a header ends the walk.
    std::vector<unsigned char> tail;
    appendMessage(tail, RTM_DELADDR, 0);
    tail.resize(tail.size() + 8, 0);
    EXPECT_EQ(walk(tail), -1);
}

TEST(PrefixLength, ReadsLikeAtoiAndNeverWrapsBeyondInt)
{
    for (const char* text : {"8", " 8", "\t+24", "16x", "-3", "", "abc", "007", "2147483647",
                             "-2147483648", "128/1", "1 2"})
        EXPECT_EQ(parsePrefixLength(text), atoi(text)) << '"' << text << '"';
    const long long above = static_cast<long long>(INT_MAX) + 1;
    const long long below = static_cast<long long>(INT_MIN) - 1;
    // 4294967304 is 2^32 + 8, which a 32-bit int would wrap to 8.
    for (const char* text : {"2147483648", "4294967304", "99999999999999999999999999999"})
        EXPECT_EQ(parsePrefixLength(text), above) << text;
    for (const char* text : {"-2147483649", "-99999999999999999999999999999"})
        EXPECT_EQ(parsePrefixLength(text), below) << text;
}

// 10.0.x.y, numbered from 0 to 65535.
ZUNET_SockAddr v4(unsigned number)
{
    ZUNET_SockAddr a;
    memset(&a, 0, sizeof a);
    a.raw[0] = 2; // family, little-endian host
    a.raw[4] = 10;
    a.raw[6] = static_cast<unsigned char>(number >> 8);
    a.raw[7] = static_cast<unsigned char>(number);
    return a;
}

TEST(IfaceEquality, ComparesNameKindAndAddressesInAnyOrder)
{
    using I = OscProbeSubNet::Iface;
    const OscProbeSubNet::IFTYPE w = OscProbeSubNet::WIRED;
    EXPECT_TRUE((I{"eth0", w, {v4(1), v4(2), v4(3)}} == I{"eth0", w, {v4(3), v4(1), v4(2)}}));
    EXPECT_FALSE((I{"eth0", w, {v4(1), v4(2)}} == I{"eth0", w, {v4(1), v4(2), v4(2)}}));
    EXPECT_FALSE((I{"eth0", w, {v4(1)}} == I{"eth1", w, {v4(1)}}));
    EXPECT_FALSE((I{"eth0", w, {v4(1)}} == I{"eth0", OscProbeSubNet::UNKNOWN, {v4(1)}}));
    EXPECT_FALSE((I{"eth0", w, {v4(1), v4(2)}} == I{"eth0", w, {v4(1), v4(4)}}));
    // Each address only has to occur in the other list, so duplicates can
    // stand in for one another when the counts agree.
    EXPECT_TRUE((I{"eth0", w, {v4(1), v4(1), v4(2)}} == I{"eth0", w, {v4(1), v4(2), v4(2)}}));
}

// Two new-address datagrams read from the kernel in a namespace: 10.9.0.1/24
// on interface 3 (IFA_ADDRESS, IFA_LOCAL, label, flags, cache info) and
// fd00::9/64 (IFA_ADDRESS, cache info, flags); and the removal of the first.
const std::vector<unsigned char> kNewV4 = {
    0x4c, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x9f, 0xd2, 0x15, 0x6b, 0x42, 0x23, 0x00,
    0x00, 0x02, 0x18, 0x80, 0x00, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 0x01, 0x00, 0x0a, 0x09,
    0x00, 0x01, 0x08, 0x00, 0x02, 0x00, 0x0a, 0x09, 0x00, 0x01, 0x07, 0x00, 0x03, 0x00, 0x76,
    0x30, 0x00, 0x00, 0x08, 0x00, 0x08, 0x00, 0x80, 0x00, 0x00, 0x00, 0x14, 0x00, 0x06, 0x00,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x37, 0xc0, 0x05, 0x00, 0x37, 0xc0, 0x05,
    0x00};
const std::vector<unsigned char> kNewV6 = {
    0x48, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x0a, 0x40, 0x82, 0x00, 0x03, 0x00, 0x00, 0x00, 0x14, 0x00, 0x01, 0x00, 0xfd, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x14,
    0x00, 0x06, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00, 0xc1, 0x05, 0x00,
    0x00, 0xc1, 0x05, 0x00, 0x08, 0x00, 0x08, 0x00, 0x82, 0x00, 0x00, 0x00};

ZUNET_SockAddr text(const char* ip)
{
    ZUNET_SockAddr a;
    EXPECT_EQ(ZUNET_str2ip(ip, &a), 0) << ip;
    return a;
}

bool same(const ZUNET_SockAddr& a, const ZUNET_SockAddr& b)
{
    return memcmp(a.raw, b.raw, sizeof a.raw) == 0;
}

TEST(NewAddressMessage, NamesTheLocalAddressInTheListingsLayout)
{
    ZUNET_SockAddr a;
    ASSERT_TRUE(parseNewAddress(kNewV4.data(), static_cast<long>(kNewV4.size()), &a));
    EXPECT_TRUE(same(a, text("10.9.0.1")));
    ASSERT_TRUE(parseNewAddress(kNewV6.data(), static_cast<long>(kNewV6.size()), &a));
    EXPECT_TRUE(same(a, text("fd00::9")));

    // On a point-to-point link IFA_ADDRESS is the peer: IFA_LOCAL counts.
    std::vector<unsigned char> peer = kNewV4;
    peer[31] = 2; // IFA_ADDRESS 10.9.0.2, IFA_LOCAL still 10.9.0.1
    ASSERT_TRUE(parseNewAddress(peer.data(), static_cast<long>(peer.size()), &a));
    EXPECT_TRUE(same(a, text("10.9.0.1")));
    // Without IFA_LOCAL (its type changed to an unknown one), IFA_ADDRESS.
    peer[34] = 0x7f;
    ASSERT_TRUE(parseNewAddress(peer.data(), static_cast<long>(peer.size()), &a));
    EXPECT_TRUE(same(a, text("10.9.0.2")));

    std::vector<unsigned char> removal = kNewV4;
    removal[4] = RTM_DELADDR;
    EXPECT_FALSE(parseNewAddress(removal.data(), static_cast<long>(removal.size()), &a));
    std::vector<unsigned char> otherFamily = kNewV4;
    otherFamily[16] = 17;
    EXPECT_FALSE(parseNewAddress(otherFamily.data(), static_cast<long>(otherFamily.size()), &a));
    // An address attribute of the other family's size is no address.
    std::vector<unsigned char> wrongSize = kNewV6;
    wrongSize[16] = 2;
    EXPECT_FALSE(parseNewAddress(wrongSize.data(), static_cast<long>(wrongSize.size()), &a));
    // The message claims more than the datagram holds.
    EXPECT_FALSE(parseNewAddress(kNewV4.data(), static_cast<long>(kNewV4.size()) - 1, &a));
    // An attribute running past the message ends the attributes: here the
    // first, so neither address is seen.
    std::vector<unsigned char> longAttr = kNewV4;
    longAttr[24] = 0x50;
    EXPECT_FALSE(parseNewAddress(longAttr.data(), static_cast<long>(longAttr.size()), &a));
}

TEST(NewAddressMessage, CollectsEveryNewAddressOfADatagramUpToTheLimit)
{
    std::vector<unsigned char> datagram;
    appendMessage(datagram, RTM_DELADDR, 20);
    datagram.insert(datagram.end(), kNewV4.begin(), kNewV4.end());
    appendMessage(datagram, NLMSG_DONE, 4);
    datagram.insert(datagram.end(), kNewV6.begin(), kNewV6.end());
    std::vector<ZUNET_SockAddr> named;
    EXPECT_TRUE(collectNewAddresses(datagram.data(), static_cast<long>(datagram.size()), &named,
                                    8));
    ASSERT_EQ(named.size(), 2u);
    EXPECT_TRUE(same(named[0], text("10.9.0.1")));
    EXPECT_TRUE(same(named[1], text("fd00::9")));

    named.clear();
    EXPECT_TRUE(collectNewAddresses(datagram.data(), static_cast<long>(datagram.size()), &named,
                                    1));
    EXPECT_EQ(named.size(), 1u);
    // Removals alone name nothing and are no new-address datagram.
    named.clear();
    std::vector<unsigned char> removals;
    appendMessage(removals, RTM_DELADDR, 20);
    EXPECT_FALSE(collectNewAddresses(removals.data(), static_cast<long>(removals.size()), &named,
                                     8));
    EXPECT_TRUE(named.empty());
}

using IfaceList = std::list<OscProbeSubNet::Iface>;

std::vector<ZUNET_SockAddr> sorted(std::vector<ZUNET_SockAddr> v)
{
    std::sort(v.begin(), v.end(), addressBefore);
    return v;
}

TEST(WatcherComparison, FindsAddressesNoInterfaceCarries)
{
    const OscProbeSubNet::IFTYPE w = OscProbeSubNet::WIRED;
    const IfaceList listed = {{"eth0", w, {v4(1), v4(2)}}, {"eth1", w, {v4(3)}}};
    // Known under any name, the address is not new.
    EXPECT_FALSE(namesUnlistedAddress(listed, {v4(3), v4(1)}, 16));
    EXPECT_TRUE(namesUnlistedAddress(listed, {v4(3), v4(9)}, 16));
    // Only the last `limit` are looked up.
    EXPECT_FALSE(namesUnlistedAddress(listed, {v4(9), v4(3)}, 1));
    EXPECT_FALSE(namesUnlistedAddress(listed, {}, 16));
    EXPECT_TRUE(namesUnlistedAddress({}, {v4(1)}, 16));
}

TEST(WatcherComparison, ExcusesNamedAdditionsAndAnyLossAndDecidesTheWake)
{
    const OscProbeSubNet::IFTYPE w = OscProbeSubNet::WIRED;
    const OscProbeSubNet::IFTYPE u = OscProbeSubNet::UNKNOWN;
    const IfaceList before = {{"eth0", w, {v4(1), v4(2)}}, {"eth2", u, {v4(5)}}};
    const struct {
        const char* what;
        IfaceList after;
        std::vector<ZUNET_SockAddr> named;
        bool covered;
    } cases[] = {
        {"a named address on a known interface",
         {{"eth0", w, {v4(1), v4(2), v4(7)}}, {"eth2", u, {v4(5)}}}, {v4(7)}, true},
        {"named addresses making an interface of their own",
         {{"eth0", w, {v4(1), v4(2)}}, {"eth1", w, {v4(7), v4(8)}}, {"eth2", u, {v4(5)}}},
         {v4(8), v4(7)}, true},
        {"an interface listed last, made by a named address",
         {{"eth0", w, {v4(1), v4(2)}}, {"eth2", u, {v4(5)}}, {"eth3", u, {v4(7)}}}, {v4(7)},
         true},
        {"an address nobody named",
         {{"eth0", w, {v4(1), v4(2), v4(7), v4(9)}}, {"eth2", u, {v4(5)}}}, {v4(7)}, false},
        {"an address gone", {{"eth0", w, {v4(1), v4(7)}}, {"eth2", u, {v4(5)}}}, {v4(7)}, true},
        {"a first interface gone", {{"eth2", u, {v4(5), v4(7)}}}, {v4(7)}, true},
        {"a last interface gone", {{"eth0", w, {v4(1), v4(2), v4(7)}}}, {v4(7)}, true},
        {"a kind changed", {{"eth0", u, {v4(1), v4(2), v4(7)}}, {"eth2", u, {v4(5)}}},
         {v4(7)}, false},
        {"a known address moved to another interface unnamed",
         {{"eth0", w, {v4(2)}}, {"eth2", u, {v4(5), v4(1)}}}, {v4(7)}, false},
        {"a named address moved to another interface",
         {{"eth0", w, {v4(2)}}, {"eth2", u, {v4(5), v4(1)}}}, {v4(1)}, true},
        {"an interface renamed", {{"eth0", w, {v4(1), v4(2)}}, {"eth9", u, {v4(5)}}}, {}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(onlyNamedAdditions(before, c.after, sorted(c.named)), c.covered) << c.what;
    EXPECT_TRUE(onlyNamedAdditions(before, before, {}));

    // After the re-read: a change the early wake-up covered wakes nobody
    // again, unless that wake-up was not given or something is queued.
    using D = WakeDecision;
    EXPECT_EQ(decideWake(before, before, {v4(7)}, true, true), D::NOTHING_CHANGED);
    for (const auto& c : cases) {
        const std::vector<ZUNET_SockAddr> named = sorted(c.named);
        EXPECT_EQ(decideWake(before, c.after, named, true, false),
                  c.covered ? D::ALREADY_WOKEN : D::WAKE)
            << c.what;
        EXPECT_EQ(decideWake(before, c.after, named, true, true), D::WAKE) << c.what;
        EXPECT_EQ(decideWake(before, c.after, named, false, false), D::WAKE) << c.what;
    }
}

// An interface with hundreds of addresses, and what happens to its list.
TEST(WatcherComparison, LongListsOutOfStep)
{
    using V = std::vector<unsigned>;
    V base(300);
    std::iota(base.begin(), base.end(), 1u);
    auto edited = [&base](void (*edit)(V&)) {
        V v = base;
        edit(v);
        return v;
    };
    auto iface = [](const V& numbers) {
        OscProbeSubNet::Iface i{"eth0", OscProbeSubNet::WIRED, {}};
        for (unsigned n : numbers)
            i.addrs.push_back(v4(n));
        return i;
    };
    const V shifted = edited([](V& v) {
        v.erase(v.begin() + 150);
        v.push_back(999);
    });
    const V reversedPlusOne = edited([](V& v) {
        std::reverse(v.begin(), v.end());
        v.push_back(999);
    });
    const struct {
        const char* what;
        V a, b;
        bool equal;
    } pairs[] = {
        {"one gone from the middle, one new at the end", base, shifted, false},
        {"reversed", base, edited([](V& v) { std::reverse(v.begin(), v.end()); }), true},
        {"rotated by one", base,
         edited([](V& v) { std::rotate(v.begin(), v.begin() + 1, v.end()); }), true},
        {"reversed, one replaced", base, edited([](V& v) {
             std::reverse(v.begin(), v.end());
             v[150] = 999;
         }),
         false},
        // The same addresses, repeated differently: equal, as for short lists.
        {"repeats", edited([](V& v) { v.back() = 299; }), edited([](V& v) {
             v.back() = 1;
             std::reverse(v.begin(), v.end());
         }),
         true},
        {"one fewer", base, edited([](V& v) { v.pop_back(); }), false},
    };
    for (const auto& c : pairs) {
        EXPECT_EQ(iface(c.a) == iface(c.b), c.equal) << c.what;
        EXPECT_EQ(iface(c.b) == iface(c.a), c.equal) << c.what;
    }

    const IfaceList before = {iface(base)};
    const struct {
        const char* what;
        V after;
        std::vector<ZUNET_SockAddr> named;
        bool covered;
    } additions[] = {
        {"one gone, a named one new", shifted, {v4(999)}, true},
        {"one gone, an unnamed one new", shifted, {v4(150)}, false},
        {"reversed, a named one new", reversedPlusOne, {v4(999)}, true},
        {"reversed, an unnamed one new", reversedPlusOne, {v4(998)}, false},
    };
    for (const auto& c : additions)
        EXPECT_EQ(onlyNamedAdditions(before, {iface(c.after)}, c.named), c.covered) << c.what;
}

} // namespace
