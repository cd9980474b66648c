// The CPU probe: parsing /proc/stat and choosing the reference reading as
// tables, and the shared history over a /proc/stat of the test's own, with
// the clock and the sleep defined here (the probe, from the static archive,
// calls these).
#include <time.h>

#include "LocalTest.h"
#include "OscProbeCPU.h"
#include "internal/OscProbeCPUInternal.h"

using namespace oscprobe::internal;

namespace local_test {
std::vector<std::string> sleeps;
std::function<void()> onSleep;
long fakeNow = -1;
void setNow(long second) { fakeNow = second; }
} // namespace local_test

extern "C" time_t time(time_t* out) noexcept
{
    struct timespec real;
    clock_gettime(CLOCK_REALTIME, &real);
    const time_t now = local_test::fakeNow >= 0 ? local_test::fakeNow : real.tv_sec;
    if (out != nullptr)
        *out = now;
    return now;
}

// Only ever reached after setNow(): the clock moves by the time slept.
extern "C" int ZUSLEEP_InTeRnAl(long ms, const char* file, int line)
{
    local_test::sleeps.push_back(std::to_string(ms) + " ms at " + file + ":" + std::to_string(line));
    local_test::fakeNow += ms / 1000;
    if (local_test::onSleep)
        local_test::onSleep();
    return 0;
}

namespace {

TEST(CpuTest, ParseSumsUserNiceSystemOfTheBytesReadAndRejectsAnythingElse)
{
    const std::string farOff = "cpu" + std::string(kProcStatReadSize, ' ') + "1 2 3 4";
    const struct {
        std::string text;
        long long busy, idle; // -1: rejected
    } rows[] = {{"cpu  10 20 30 40 50 60 70\ncpu0 1 2 3 4\n", 60, 40}, {"cpu 1 2 3 4", 6, 4},
                {"", -1, -1}, {"cpu 1 2 3", -1, -1}, {"cpu  a 2 3 4", -1, -1},
                {"CPU 1 2 3 4", -1, -1}, {"intr 1 2 3 4", -1, -1}, {farOff, -1, -1}};
    for (const auto& row : rows) {
        long long busy = -1, idle = -1;
        EXPECT_EQ(parseProcStat(row.text.data(), row.text.size(), &busy, &idle), row.busy >= 0);
        EXPECT_EQ(busy, row.busy) << row.text;
        EXPECT_EQ(idle, row.idle) << row.text;
    }
}

TEST(CpuTest, ReferenceIsTheNewestReadingOlderThanHalfAMinuteElseTheOldest)
{
    const struct {
        std::vector<long> stamps; // oldest first, laid into the ring from slot 10 on
        long now, reference;
    } rows[] = {{{0, 100, 200}, 200, 100}, {{0, 40, 80}, 80, 40}, {{10, 20, 50}, 50, 10},
                {{10, 19, 50}, 50, 19}, {{5, 9}, 9, 5},
                {{10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30, 32, 34, 36, 38, 40}, 40, 10}};
    for (const auto& row : rows) {
        Sample ring[kCpuHistorySize];
        const int count = static_cast<int>(row.stamps.size());
        for (int i = 0; i < count; ++i)
            ring[(10 + i) % kCpuHistorySize] = Sample(row.stamps[i]);
        const int newest = (10 + count - 1) % kCpuHistorySize;
        EXPECT_EQ(ring[chooseReference(ring, newest, count, row.now)].timestamp, row.reference)
            << "now " << row.now;
    }
}

TEST(CpuTest, ReadsAtMostEveryTwoSecondsAndStartsAfreshWhenTheClockGoesBack)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    oscprobe_test::inChild([] {
        using namespace local_test;
        auto stat = [](int busy, int idle) { put("/proc/stat", "cpu  " + std::to_string(busy) + " 0 0 " + std::to_string(idle) + "\n"); };
        isolate({"/proc"});
        setNow(1000);
        stat(100, 900);
        onSleep = [&] { stat(150, 950); };
        OscProbeCPU probe(100);
        probe.probe();
        EXPECT_EQ(probe.getLastUsage(), 50);
        stat(250, 950);
        setNow(1003); // one second after the newest reading (1002): none taken
        probe.probe();
        EXPECT_EQ(probe.getLastUsage(), 50);
        setNow(1004); // measured from the reading at 1000
        probe.probe();
        EXPECT_EQ(probe.getLastUsage(), 75);
        setNow(900);
        stat(1000, 1000);
        onSleep = [&] { stat(1030, 1070); };
        probe.probe();
        EXPECT_EQ(probe.getLastUsage(), 30);
        EXPECT_EQ(sleeps.size(), 2u);
    });
}

} // namespace
