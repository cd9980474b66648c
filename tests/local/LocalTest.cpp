// The AC, Hubmaster and disk space probes: their decisions as tables, and
// free space on a real file system with blocks reserved for root.
#include <stdio.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cmath>

#include "LocalTest.h"
#include "OscProbeDiskSpace.h"
#include "internal/OscProbeACInternal.h"
#include "internal/OscProbeHMInternal.h"

using namespace oscprobe::internal;

namespace {

TEST(LocalTest, StateFileMarkersAreCaseSensitiveAndWholeWithinAPiece)
{
    const struct {
        std::string text;
        bool online, offline;
    } rows[] = {{"state:    on-line\n", true, false}, {"state:    off-line\n", false, true},
                {"xxon-linexx\noff-line", true, true}, {"state: ON-LINE\n", false, false},
                {std::string(251, 'x') + "on-line\n", false, false}};
    for (const auto& row : rows) {
        FILE* f = fmemopen(const_cast<char*>(row.text.data()), row.text.size(), "r");
        const AcMarkers m = scanAcStateStream(f);
        fclose(f);
        EXPECT_EQ(m.online, row.online) << row.text;
        EXPECT_EQ(m.offline, row.offline) << row.text;
    }
}

TEST(LocalTest, AnyAdapterOnLineThenAnyOffLineThenTheSuppliesThenAssumedAc)
{
    const AcMarkers on{true, false}, off{false, true}, both{true, true}, none{};
    const PowerSupplyRecord usbPd{"", "USB\n", "2\n", {}, {}, {}},
        mainsOff{"", "Mains\n", "0\n", {}, {}, {}},
        battery{"", "Battery\n", {}, "System\n", "1\n", "Discharging\n"},
        mouse{"", "Battery\n", {}, "Device\n", "1\n", "Discharging\n"};
    const struct {
        std::vector<AcMarkers> adapters;
        std::vector<PowerSupplyRecord> supplies;
        bool onAc;
        AcBasis basis;
    } rows[] = {{{off, on}, {battery}, true, AcBasis::ADAPTER},
                {{both, off}, {usbPd}, false, AcBasis::ADAPTER},
                {{both, none}, {mainsOff, battery}, false, AcBasis::SUPPLY},
                {{}, {battery, usbPd}, true, AcBasis::SUPPLY},
                {{both}, {mainsOff, mouse}, true, AcBasis::ASSUMED}};
    for (size_t i = 0; i < std::size(rows); ++i) {
        const AcVerdict v = decideAcPower(rows[i].adapters, decidePowerSource(rows[i].supplies));
        EXPECT_EQ(v.onAc, rows[i].onAc) << "row " << i;
        EXPECT_EQ(v.basis, rows[i].basis) << "row " << i;
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
        ASSERT_EQ(oscprobe_test::sh("truncate -s 8M /mnt/img && mkfs.ext4 -q -m 10 /mnt/img && "
                                    "mkdir /mnt/fs && mount -o loop /mnt/img /mnt/fs"), 0);
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
