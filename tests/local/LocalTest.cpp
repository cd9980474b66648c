// The local resource probes' decisions as tables, the CPU history over a
// /proc/stat of the test's own, and free space on a real file system with
// blocks reserved for root. time() and the CPU probe's sleep are defined
// here; the probes, from the static archive, call these.
#include <sys/statvfs.h>
#include <time.h>

#include <array>
#include <cmath>

#include "LocalTest.h"
#include "OscProbeCPU.h"
#include "OscProbeDiskSpace.h"
#include "internal/OscProbeACInternal.h"
#include "internal/OscProbeCPUInternal.h"
#include "internal/OscProbeHMInternal.h"

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
    return out != nullptr ? (*out = now) : now;
}

// Reached only after setNow(): the clock moves on by the time slept.
extern "C" int ZUSLEEP_InTeRnAl(long ms, const char* file, int line)
{
    local_test::sleeps.push_back(std::to_string(ms) + " ms at " + file + ":" + std::to_string(line));
    local_test::fakeNow += ms / 1000;
    return local_test::onSleep ? local_test::onSleep(), 0 : 0;
}

namespace {

TEST(LocalTest, CpuParseSumsUserNiceSystemOfTheBytesReadAndRejectsAnythingElse)
{
    const struct { std::string text; long long busy, idle; } rows[] = { // busy -1: rejected
        {"cpu  10 20 30 40 50 60 70\ncpu0 1 2 3 4\n", 60, 40}, {"cpu 1 2 3 4", 6, 4}, {"", -1, -1}, {"cpu 1 2 3", -1, -1},
        {"cpu  a 2 3 4", -1, -1}, {"CPU 1 2 3 4", -1, -1}, {"cpu" + std::string(kProcStatReadSize, ' ') + "1 2 3 4", -1, -1}};
    for (const auto& r : rows) {
        long long busy = -1, idle = -1;
        EXPECT_EQ(parseProcStat(r.text.data(), r.text.size(), &busy, &idle), r.busy >= 0) << r.text;
        EXPECT_EQ(std::make_pair(busy, idle), std::make_pair(r.busy, r.idle)) << r.text;
    }
}

TEST(LocalTest, CpuReferenceIsTheNewestReadingOlderThanHalfAMinuteElseTheOldest)
{
    const struct { std::vector<long> stamps; long now, reference; } rows[] = { // stamps oldest first
        {{0, 100, 200}, 200, 100}, {{0, 40, 80}, 80, 40}, {{10, 20, 50}, 50, 10}, {{10, 19, 50}, 50, 19}, {{5, 9}, 9, 5},
        {{10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30, 32, 34, 36, 38, 40}, 40, 10}};
    for (const auto& r : rows) {
        Sample ring[kCpuHistorySize]; // laid in from slot 10 on, so that a full ring wraps
        const int count = static_cast<int>(r.stamps.size()), newest = (10 + count - 1) % kCpuHistorySize;
        for (int i = 0; i < count; ++i)
            ring[(10 + i) % kCpuHistorySize] = Sample(r.stamps[i]);
        EXPECT_EQ(ring[chooseReference(ring, newest, count, r.now)].timestamp, r.reference) << r.now;
    }
}

TEST(LocalTest, CpuReadsAtMostEveryTwoSecondsAndStartsAfreshWhenTheClockGoesBack)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    oscprobe_test::inChild([] {
        using namespace local_test;
        auto stat = [](int busy, int idle) { put("/proc/stat", "cpu  " + std::to_string(busy) + " 0 0 " + std::to_string(idle)); };
        isolate({"/proc"}), onSleep = [&] { stat(150, 950); };
        OscProbeCPU probe(100);
        // {second, busy, idle, usage}: readings at 1000 and 1002 (after the first
        // sleep), none at 1003, one at 1004; then the clock goes back to 900.
        for (auto [now, busy, idle, usage] : std::vector<std::array<int, 4>>{
                 {1000, 100, 900, 50}, {1003, 250, 950, 50}, {1004, 250, 950, 75}, {900, 1000, 1000, 30}}) {
            setNow(now), stat(busy, idle);
            if (now == 900)
                onSleep = [&] { stat(1030, 1070); };
            probe.probe();
            EXPECT_EQ(probe.getLastUsage(), usage) << now;
        }
        EXPECT_EQ(sleeps.size(), 2u);
    });
}

TEST(LocalTest, AnyAdapterOnLineThenAnyOffLineThenTheSuppliesThenAssumedAc)
{
    const AcMarkers on{true, false}, off{false, true}, both{true, true}, none{};
    const PowerSupplyRecord usbPd{"", "USB\n", "2\n", {}, {}, {}}, mainsOff{"", "Mains\n", "0\n", {}, {}, {}},
        battery{"", "Battery\n", {}, "System\n", "1\n", "Discharging\n"}, mouse{"", "Battery\n", {}, "Device\n", "1\n", "Discharging\n"};
    const struct { std::vector<AcMarkers> adapters; std::vector<PowerSupplyRecord> supplies; bool onAc; AcBasis basis; }
        rows[] = {{{off, on}, {battery}, true, AcBasis::ADAPTER}, {{both, off}, {usbPd}, false, AcBasis::ADAPTER},
                  {{both, none}, {mainsOff, battery}, false, AcBasis::SUPPLY}, {{}, {battery, usbPd}, true, AcBasis::SUPPLY},
                  {{both}, {mainsOff, mouse}, true, AcBasis::ASSUMED}};
    for (const auto& r : rows) {
        const AcVerdict v = decideAcPower(r.adapters, decidePowerSource(r.supplies));
        EXPECT_EQ(std::make_pair(v.onAc, v.basis), std::make_pair(r.onAc, r.basis)) << &r - rows;
    }
}

TEST(LocalTest, HubmasterSettingIsAnyNonZeroNumber)
{
    for (const char* text : {"1", "-1", " 2x", "4294967296", "-99999999999999999999"})
        EXPECT_TRUE(hmSettingIsNonZero(text)) << text;
    for (const char* text : {"0", "", "online", "- 1", "0x10"})
        EXPECT_FALSE(hmSettingIsNonZero(text)) << text;
}

TEST(LocalTest, FreeSpaceLeavesOutBlocksReservedForRoot)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    if (oscprobe_test::sh("command -v mkfs.ext4") != 0 || access("/dev/loop-control", F_OK) != 0)
        GTEST_SKIP() << "needs mkfs.ext4 (e2fsprogs) and loop devices";
    oscprobe_test::inChild([] {
        local_test::isolate({"/mnt"});
        ASSERT_EQ(oscprobe_test::sh("truncate -s 8M /mnt/img && mkfs.ext4 -q -m 10 /mnt/img && mkdir /mnt/fs && "
                                    "mount -o loop /mnt/img /mnt/fs"), 0);
        struct statvfs st;
        ASSERT_EQ(statvfs("/mnt/fs", &st), 0);
        const double avail = st.f_bavail * 100.0 / st.f_blocks, free = st.f_bfree * 100.0 / st.f_blocks;
        ASSERT_GT(free - avail, 5);
        EXPECT_TRUE(OscProbeDiskSpace({"/mnt/fs"}, (avail + free) / 2).probe());
        EXPECT_FALSE(OscProbeDiskSpace({"/mnt/fs"}, avail).probe()); // equal is not below
        EXPECT_TRUE(OscProbeDiskSpace({"/mnt/fs"}, std::nextafter(avail, 100)).probe());
    }, 60);
}

} // namespace
