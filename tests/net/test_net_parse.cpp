// The parsers behind the subnet probe, on captured kernel text and crafted
// netlink datagrams: /proc/net/if_inet6 lines, tokens, the netlink walk,
// prefix lengths, and interface-record equality.
#include <gtest/gtest.h>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string.h>

#include <climits>
#include <cstdlib>
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

ZUNET_SockAddr v4(unsigned char last)
{
    ZUNET_SockAddr a;
    memset(&a, 0, sizeof a);
    a.raw[0] = 2; // family, little-endian host
    a.raw[4] = 10;
    a.raw[7] = last;
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

} // namespace
