// The local resource probes' decisions as tables, the CPU history over a
// /proc/stat of the test's own, the AC probe over a sysfs of the test's own,
// and free space on a real file system with blocks reserved for root. time()
// and the CPU probe's sleep are defined here; the probes, from the static
// archive, call these.
#include <sys/statvfs.h>
#include <unistd.h>

#include <cmath>
#include <thread>

#include "LocalTest.h"
#include "OscProbeAC.h"
#include "OscProbeCPU.h"
#include "OscProbeDiskSpace.h"
#include "internal/OscProbeACInternal.h"
#include "internal/OscProbeCPUInternal.h"
#include "internal/OscProbeHMInternal.h"

using namespace oscprobe::internal;
using namespace local_test;
using namespace std::string_literals;

extern "C" time_t time(time_t* out) noexcept { return out != nullptr ? (*out = fakeNow) : fakeNow; }
extern "C" int ZUSLEEP_InTeRnAl(long ms, const char* file, int line)
{
    sleeps.push_back(std::to_string(ms) + " ms at " + file + ":" + std::to_string(line));
    fakeNow += ms / 1000;
    if (onSleep)
        onSleep();
    return 0;
}

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
    // Readings oldest first, laid into the ring from slot 10 on so that a full ring wraps.
    const struct { std::vector<long> stamps; long now, reference; } rows[] = {
        {{0, 100, 200}, 200, 100}, {{0, 40, 80}, 80, 40}, {{10, 20, 50}, 50, 10}, {{10, 19, 50}, 50, 19}, {{5, 9}, 9, 5},
        {{10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30, 32, 34, 36, 38, 40}, 40, 10}};
    for (const auto& r : rows) {
        Sample ring[kCpuHistorySize];
        const int count = static_cast<int>(r.stamps.size());
        for (int i = 0; i < count; ++i)
            ring[(10 + i) % kCpuHistorySize] = Sample(r.stamps[i]);
        EXPECT_EQ(ring[chooseReference(ring, (9 + count) % kCpuHistorySize, count, r.now)].timestamp, r.reference) << r.now;
    }
}

TEST(LocalTest, CpuReadsAtMostEveryTwoSecondsAndStartsAfreshWhenTheClockGoesBack)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    oscprobe_test::inChild([] {
        int busy = 0, idle = 0; // what /proc/stat says; each sleep adds 30 and 70 ticks
        auto stat = [&] { put("/proc/stat", "cpu  " + std::to_string(busy) + " 0 0 " + std::to_string(idle)); };
        isolate({"/proc"});
        onSleep = [&] { busy += 30; idle += 70; stat(); };
        OscProbeCPU probe(100);
        // Readings at 1000 and 1002 (after the first sleep), none at 1003,
        // one at 1004; then the clock goes back to 900.
        const struct { int now, busy, idle, usage; } steps[] = {
            {1000, 100, 900, 30}, {1003, 220, 1080, 30}, {1004, 220, 1080, 40}, {900, 1000, 1000, 30}};
        for (const auto& step : steps) {
            fakeNow = step.now, busy = step.busy, idle = step.idle;
            stat(), probe.probe();
            EXPECT_EQ(probe.getLastUsage(), step.usage) << step.now;
        }
        EXPECT_EQ(sleeps.size(), 2u);
    });
}

TEST(LocalTest, AnyAdapterOnLineThenAnyOffLineThenTheSuppliesThenAssumedAc)
{
    const AcMarkers on{true, false}, off{false, true}, both{true, true}, none{};
    const PowerSupplyRecord usbPd{"", "USB\n", "2\n", {}, {}, {}}, mainsOff{"", "Mains\n", "0\n", {}, {}, {}},
        battery{"", "Battery\n", {}, "System\n", "1\n", "Discharging\n"}, mouse{"", "Battery\n", {}, "Device\n", "1\n", "Discharging\n"},
        charging{"", "Battery\n", {}, "System\n", "1\n", "Charging\n"}, mouseCharging{"", "Battery\n", {}, "Device\n", "1\n", "Charging\n"},
        phone = [&] { PowerSupplyRecord r = usbPd; r.sourcing = true; return r; }();
    const struct { std::vector<AcMarkers> adapters; std::vector<PowerSupplyRecord> supplies; bool onAc; AcBasis basis; }
        rows[] = {{{off, on}, {battery}, true, AcBasis::ADAPTER}, {{both, off}, {usbPd}, false, AcBasis::ADAPTER},
                  {{both, none}, {mainsOff, battery}, false, AcBasis::SUPPLY}, {{}, {battery, usbPd}, true, AcBasis::SUPPLY},
                  {{both}, {mainsOff, mouse}, true, AcBasis::ASSUMED}, {{}, {phone, battery}, false, AcBasis::SUPPLY},
                  {{}, {mainsOff, battery, charging}, true, AcBasis::SUPPLY}, {{}, {mouseCharging}, true, AcBasis::ASSUMED}};
    for (const auto& r : rows) {
        const AcVerdict v = decideAcPower(r.adapters, decidePowerSource(r.supplies));
        EXPECT_EQ(std::make_pair(v.onAc, v.basis), std::make_pair(r.onAc, r.basis)) << &r - rows;
    }
}

TEST(LocalTest, TypeCRoleIsTheBracketedWordAndPortsGivePowerOutWhenOneSourcesAndNoneSinks)
{
    using R = PowerRole;
    for (auto [text, role] : std::vector<std::pair<const char*, R>>{{"[source] sink\n", R::SOURCE}, {"source [sink]\n", R::SINK}, {"[sink]", R::SINK},
             {"source sink\n", R::UNKNOWN}, {"[Source] sink", R::UNKNOWN}, {"[source] [sink]", R::UNKNOWN}, {"]source[", R::UNKNOWN}})
        EXPECT_EQ(parsePowerRole(text), role) << text;
    for (auto [ports, out] : std::vector<std::pair<std::vector<R>, bool>>{{{R::SOURCE}, true}, {{R::UNKNOWN, R::SOURCE}, true}, {{R::SOURCE, R::SINK}, false}, {{}, false}})
        EXPECT_EQ(sourcesPower(ports), out) << ports.size();
}

// A laptop on battery charging a phone: its USB-C supply says online, and the port of the same device is the source.
// Then threads share one probe: probe() keeps nothing in it, so each gets a whole answer.
TEST(LocalTest, ASupplyWhosePortGivesPowerOutIsNoChargerAndThreadsSharingAnAcProbeGetWholeAnswers)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    oscprobe_test::inChild([] {
        isolate({"/proc", "/sys"});
        for (const auto& [file, text] : {std::pair{"power_supply/ucsi/type", "USB"}, {"power_supply/ucsi/online", "1"}, {"power_supply/BAT0/type", "Battery"},
                 {"power_supply/BAT0/status", "Discharging"}, {"typec/port0/power_role", ""}, {"typec/port1/power_role", "source [sink]"}})
            put("/sys/class/"s + file, text + "\n"s);
        for (const auto& [link, dev] : {std::pair{"power_supply/ucsi", "pd0"}, {"typec/port0", "pd0"}, {"typec/port1", "pd1"}}) { // port1 sinks, for another
            put("/sys/devices/"s + dev + "/uevent", "");
            ASSERT_EQ(symlink(("/sys/devices/"s + dev).c_str(), ("/sys/class/"s + link + "/device").c_str()), 0);
        }
        OscProbeAC probe;
        OscProbeAC::Finding f;
        for (const auto& [role, go, text] : {std::tuple{"[source] sink", false, "battery BAT0 is discharging"},
                 {"source [sink]", true, "power supply ucsi is online"}, {"", true, "power supply ucsi is online"}}) { // "": as without Type-C
            put("/sys/class/typec/port0/power_role", role + "\n"s);
            const bool got = probe.probe(&f);
            EXPECT_EQ(std::make_pair(got, f.text), std::make_pair(go, std::string(text))) << role;
        }
        auto work = [&probe, want = f.text, f]() mutable { for (int i = 0; i < 300; ++i) EXPECT_TRUE(probe.probe(&f) && probe.probe() && f.text == want) << f.text; };
        std::thread one(work), two(work);
        work(), one.join(), two.join();
    });
}

TEST(LocalTest, HubmasterSettingIsAnyNonZeroNumber)
{
    for (auto [text, nonZero] : std::vector<std::pair<const char*, bool>>{{"1", true}, {"-1", true}, {" 2x", true},
             {"4294967296", true}, {"-99999999999999999999", true}, {"0", false}, {"", false}, {"- 1", false}, {"0x10", false}})
        EXPECT_EQ(hmSettingIsNonZero(text), nonZero) << text;
}

TEST(LocalTest, FreeSpaceLeavesOutBlocksReservedForRoot)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    if (oscprobe_test::sh("command -v mkfs.ext4") != 0 || access("/dev/loop-control", F_OK) != 0)
        GTEST_SKIP() << "needs mkfs.ext4 (e2fsprogs) and loop devices";
    oscprobe_test::inChild([] {
        isolate({"/mnt"});
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
