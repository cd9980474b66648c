// CRC-32 register arithmetic and the 28-byte address values.
#include <gtest/gtest.h>

#include <string.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ZuNetwork.h"
#include "ZuUtils.h"

namespace {

TEST(Crc32Test, StandardVectorGivesCheckValueInOneCallOrChained)
{
    const char data[] = "123456789";
    for (size_t split = 0; split <= 9; ++split) {
        SCOPED_TRACE(split);
        unsigned int reg = 0xFFFFFFFFU;
        jx_crc32(data, split, &reg);
        const unsigned int returned = jx_crc32(data + split, 9 - split, &reg);
        EXPECT_EQ(~reg, 0xCBF43926U); // a raw register: no inversion inside
        EXPECT_EQ(returned, reg);
    }
    unsigned int reg = 0xDEADBEEFU;
    jx_crc32(nullptr, 0, &reg);
    EXPECT_EQ(reg, 0xDEADBEEFU);
}

std::string toText(const ZUNET_SockAddr& a)
{
    char buf[128];
    EXPECT_EQ(ZUNET_ip2str(&a, buf, sizeof buf), 0);
    return buf;
}

TEST(ZunetAddressTest, TextRoundTripsWithExactByteLayout)
{
    struct Row {
        const char* text;
        uint16_t family;               // host byte order at bytes 0-1
        size_t offset;                 // where the address bytes start
        std::vector<unsigned char> bytes;
    };
    const Row rows[] = {
        {"192.168.1.20", 2, 4, {192, 168, 1, 20}},
        {"255.255.255.255", 2, 4, {255, 255, 255, 255}},
        {"fe80::1:2", 10, 8, {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2}},
        {"::ffff:10.1.2.3", 10, 8, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 1, 2, 3}},
        {"2001:db8:1:2:3:4:5:6", 10, 8,
         {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        ZUNET_SockAddr a;
        memset(&a, 0xAA, sizeof a); // stale bytes must be cleared
        ASSERT_EQ(ZUNET_str2ip(row.text, &a), 0);
        uint16_t family;
        memcpy(&family, a.raw, sizeof family);
        EXPECT_EQ(family, row.family);
        ZUNET_SockAddr expected = {};
        memcpy(expected.raw, &family, sizeof family);
        memcpy(expected.raw + row.offset, row.bytes.data(), row.bytes.size());
        EXPECT_EQ(memcmp(a.raw, expected.raw, sizeof a.raw), 0);
        EXPECT_EQ(toText(a), row.text);
    }
}

TEST(ZunetAddressTest, TextThatIsNoAddressIsRejectedAndLeavesZeroes)
{
    for (const char* text : {"", "1.2.3", "256.1.1.1", "1.2.3.4/8", " 1.2.3.4", "host.example",
                             "fe80::1::2", "fe80::g", "10.0.0.1%lo"}) {
        SCOPED_TRACE(text);
        ZUNET_SockAddr a;
        memset(&a, 0xAA, sizeof a);
        EXPECT_NE(ZUNET_str2ip(text, &a), 0);
        const ZUNET_SockAddr zero = {};
        EXPECT_EQ(memcmp(&a, &zero, sizeof a), 0);
    }
}

TEST(ZunetAddressTest, TooSmallBufferFailsButStaysTerminatedWithinItsSize)
{
    ZUNET_SockAddr a;
    ASSERT_EQ(ZUNET_str2ip("192.168.1.20", &a), 0); // 12 characters
    char buf[32];
    memset(buf, '#', sizeof buf);
    EXPECT_NE(ZUNET_ip2str(&a, buf, 12), 0);
    EXPECT_STREQ(buf, "192.168.1.2");
    EXPECT_EQ(buf[12], '#') << "wrote past the size";
    EXPECT_NE(ZUNET_ip2str(&a, buf + 20, 0), 0);
    EXPECT_EQ(buf[20], '#');
}

} // namespace
