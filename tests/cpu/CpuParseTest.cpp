// The pure halves of the CPU probe: /proc/stat parsing, the reference
// reading and the usage figure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "internal/OscProbeCPUInternal.h"

using namespace oscprobe::internal;

namespace {

// The first 128 bytes of /proc/stat, as one read hands them over.
const char kCapturedTwoCpus[] = "cpu  4085 0 3035 82150 390 0 56 0 0 0\n"
                                "cpu0 1901 0 1396 41497 33 0 23 0 0 0\n"
                                "cpu1 2184 0 1639 40652 357 0 33 0 0 0\n"
                                "intr 107001 0 0\n";

// Parses exactly `text` from a buffer of its own size, so that reading past
// the end is caught by the address sanitizer.
bool parseExact(const std::string& text, long long* busy, long long* idle)
{
    std::vector<char> bytes(text.begin(), text.end());
    return parseProcStat(bytes.data(), bytes.size(), busy, idle);
}

Sample at(long t)
{
    Sample s(t);
    s.busy = t;
    return s;
}

} // namespace

TEST(CpuParse, SumsUserNiceSystemAsBusyFromTheBytesReadOnly)
{
    const std::string spaces(kProcStatReadSize - 10, ' ');
    const struct {
        std::string text;
        long long busy, idle;
    } rows[] = {
        {std::string(kCapturedTwoCpus, kProcStatReadSize), 4085 + 3035, 82150},
        {"cpu  10132153 290696 3084719 46828483 16683 0 25195 0 175628 0\n",
         10132153LL + 290696 + 3084719, 46828483},
        // Kernels before 2.6 wrote only four columns; a read may end right
        // after the last digit, with no terminator.
        {"cpu 1 2 3 4", 6, 4},
        {"cpu" + spaces + "1 2 3 4", 6, 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        long long busy = -1, idle = -1;
        ASSERT_TRUE(parseExact(row.text, &busy, &idle));
        EXPECT_EQ(busy, row.busy);
        EXPECT_EQ(idle, row.idle);
    }
}

TEST(CpuParse, RejectsTextWithoutCpuAndFourNumbersAndStoresNothing)
{
    // The last row: one read never hands over more than its buffer holds.
    for (const std::string& text :
         {std::string(), std::string("cpu"), std::string("cpu  1 2 3"), std::string("cpu  1 2 3\n"),
          std::string("intr 1 2 3 4"), std::string(" cp 1 2 3 4"), std::string("cpu  a 2 3 4"),
          std::string("CPU 1 2 3 4"), "cpu" + std::string(kProcStatReadSize, ' ') + "1 2 3 4"}) {
        long long busy = -7, idle = -7;
        EXPECT_FALSE(parseExact(text, &busy, &idle)) << '"' << text << '"';
        EXPECT_EQ(busy, -7);
        EXPECT_EQ(idle, -7);
    }
}

TEST(CpuReference, PicksNewestReadingOlderThanHalfAMinute)
{
    Sample ring[kCpuHistorySize];
    ring[0] = at(0);
    ring[1] = at(100);
    ring[2] = at(200);
    EXPECT_EQ(chooseReference(ring, 2, 3, 200), 1);

    // Exactly 30 seconds old is not older than the window.
    ring[0] = at(10);
    ring[1] = at(20);
    ring[2] = at(50);
    EXPECT_EQ(chooseReference(ring, 2, 3, 50), 0);
    ring[1] = at(19);
    EXPECT_EQ(chooseReference(ring, 2, 3, 50), 1);
}

TEST(CpuReference, FallsBackToOldestReadingOfAFullWrappedRing)
{
    // Readings every 2 seconds from 10 to 40; the newest sits in slot 5, so
    // the oldest (10) is in slot 6 and the walk wraps past slot 0.
    Sample ring[kCpuHistorySize];
    const int newest = 5;
    for (int i = 0; i < kCpuHistorySize; ++i)
        ring[(newest - i + kCpuHistorySize) % kCpuHistorySize] = at(40 - 2 * i);
    EXPECT_EQ(chooseReference(ring, newest, kCpuHistorySize, 40), 6);
    // Two readings: the older one, however recent.
    EXPECT_EQ(chooseReference(ring, newest, 2, 40), 4);
    // With time moved on, the newest of the old enough ones.
    EXPECT_EQ(ring[chooseReference(ring, newest, kCpuHistorySize, 55)].timestamp, 24);
}

TEST(CpuUsage, TruncatesTowardZeroAndTreatsAnEmptyWindowAsIdle)
{
    EXPECT_EQ(cpuUsage(50, 50), 50);
    EXPECT_EQ(cpuUsage(1, 2), 33);
    EXPECT_EQ(cpuUsage(2, 1), 66);
    EXPECT_EQ(cpuUsage(10, 0), 100);
    EXPECT_EQ(cpuUsage(0, 0), 0);
    // Counters that ran backwards give a negative figure, not a fault.
    EXPECT_EQ(cpuUsage(-1, 4), -33);
    EXPECT_EQ(cpuUsage(5, -5), 0);
}
