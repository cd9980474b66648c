// Power events and the battery level: the uevent filter and the charge sum
// by table; then AC and battery probes started on one monitor, in a child
// with a tmpfs over /sys/class/power_supply, woken by a uevent that the test
// multicasts itself (root may, in its own network namespace).
#include <linux/netlink.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "JxMonitorLock.h"
#include "OscProbeAC.h"
#include "OscProbeBattery.h"
#include "SP.h"
#include "TestSupport.h"
#include "internal/OscProbeACInternal.h"

using namespace oscprobe::internal;
using std::string;

namespace {

string fields(std::initializer_list<string> list)
{
    string out;
    for (const string& f : list)
        out += f + '\0';
    return out;
}

TEST(PowerEvents, OnlyAPowerSupplyFieldMakesAnEventWholeFieldsOnly)
{
    const string kernel = fields({"change@/devices/LNXPWRBN/power_supply/AC", "ACTION=change",
                                  "SUBSYSTEM=power_supply", "POWER_SUPPLY_ONLINE=1"});
    const struct {
        string data;
        bool power;
    } cases[] = {
        {kernel, true},
        {fields({"add@/devices/net/eth0", "ACTION=add", "SUBSYSTEM=net"}), false},
        {fields({"x", "SUBSYSTEM=power_supply_extra"}), false},
        {fields({"x", "MY_SUBSYSTEM=power_supply"}), false},
        {string("x\0SUBSYSTEM=power_supply", 24), true}, // no NUL after the last field
        {kernel.substr(0, kernel.find("SUBSYSTEM") + 15), false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.power, isPowerSupplyUevent(c.data.data(), c.data.size())) << c.data;
    // Only the bytes given count: the same field cut short is no event.
    EXPECT_FALSE(isPowerSupplyUevent(kernel.data(), kernel.find("SUBSYSTEM") + 20));
}

PowerSupplyRecord battery(const char* capacity, const char* energy = nullptr,
                          const char* charge = nullptr, const char* scope = "System\n")
{
    PowerSupplyRecord r;
    r.type = "Battery\n";
    r.scope = scope;
    if (capacity)
        r.capacity = capacity;
    if (energy) {
        const string e = energy;
        r.energyNow = e.substr(0, e.find('/'));
        r.energyFull = e.substr(e.find('/') + 1);
    }
    if (charge) {
        const string c = charge;
        r.chargeNow = c.substr(0, c.find('/'));
        r.chargeFull = c.substr(c.find('/') + 1);
    }
    return r;
}

TEST(BatteryCharge, SumsLikeUnitsAveragesOthersAndCountsOnlySystemBatteries)
{
    PowerSupplyRecord absent = battery("90\n");
    absent.present = "0\n";
    const struct {
        std::vector<PowerSupplyRecord> supplies;
        int batteries, measured;
        double percent;
    } cases[] = {
        {{battery("50\n")}, 1, 1, 50},
        // Energy beats capacity; two packs hold what their sums say.
        {{battery("99\n", "9000/10000"), battery(nullptr, "3000/30000")}, 2, 2, 30},
        {{battery(nullptr, nullptr, "1000/4000"), battery(nullptr, nullptr, "3000/4000")}, 2, 2, 50},
        // Units that do not add up are averaged.
        {{battery(nullptr, "9000/10000"), battery("50\n")}, 2, 2, 70},
        // Above full, above 100 and unreadable pairs are held in range.
        {{battery("100\n", "12000/10000")}, 1, 1, 100},
        {{battery("150\n", "1/0")}, 1, 1, 100},
        {{battery(nullptr, "x/10"), battery(nullptr)}, 2, 0, 0},
        // A mouse's battery and an empty slot are not the machine's.
        {{battery("10\n", nullptr, nullptr, "Device\n"), absent, battery("80\n")}, 1, 1, 80},
        {{}, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const BatteryCharge got = batteryCharge(c.supplies);
        EXPECT_EQ(c.batteries, got.batteries);
        EXPECT_EQ(c.measured, got.measured);
        EXPECT_NEAR(c.percent, c.measured > 0 ? got.percent : 0, 1e-9);
    }
}

// A power-supply tree of a laptop on battery at 30 %, its charger out.
void layOutLaptop()
{
    ASSERT_EQ(0, mount("tmpfs", "/sys/class/power_supply", "tmpfs", 0, "size=64k"));
    ASSERT_EQ(0, oscprobe_test::sh("(cd /sys/class/power_supply && mkdir AC BAT0 && "
                                   "echo Mains >AC/type && echo 0 >AC/online && "
                                   "echo Battery >BAT0/type && echo Discharging >BAT0/status && "
                                   "echo 30 >BAT0/capacity)"));
}

void multicast(const string& event)
{
    const int sock = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    struct sockaddr_nl group = {};
    group.nl_family = AF_NETLINK;
    group.nl_groups = 1;
    ASSERT_EQ(static_cast<ssize_t>(event.size()),
              sendto(sock, event.data(), event.size(), 0,
                     reinterpret_cast<struct sockaddr*>(&group), sizeof group));
    close(sock);
}

TEST(PowerEvents, APlugInWakesEveryStartedPowerProbeAndNothingElseDoes)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    oscprobe_test::inChild([] {
        layOutLaptop();
        JxMonitor monitor;
        SP<OscProbeAC> ac(new OscProbeAC());
        SP<OscProbeBattery> battery(new OscProbeBattery(50));
        ASSERT_TRUE(ac->start(&monitor));
        ASSERT_TRUE(battery->start(&monitor));
        EXPECT_FALSE(ac->probe());
        EXPECT_FALSE(battery->probe());
        EXPECT_EQ(30, battery->getLastLevel());

        JxMonitorLock lock(&monitor);
        // Not a power supply: no wake-up. Then the charger comes in.
        multicast(fields({"change@/devices/net/lo", "SUBSYSTEM=net"}));
        EXPECT_FALSE(monitor.wait(300));
        std::ofstream("/sys/class/power_supply/AC/online") << "1\n";
        multicast(fields({"change@/devices/AC", "ACTION=change", "SUBSYSTEM=power_supply"}));
        ASSERT_TRUE(monitor.wait(5000));
        EXPECT_TRUE(ac->probe());
        EXPECT_TRUE(battery->probe());

        // Stopped probes are no longer woken.
        ac->stop();
        battery->stop();
        multicast(fields({"change@/devices/AC", "SUBSYSTEM=power_supply"}));
        EXPECT_FALSE(monitor.wait(300));
    });
}

TEST(PowerEvents, StartSaysFalseWithoutAUeventSocketAndTriesAgainNextTime)
{
    oscprobe_test::inChild([] {
        struct rlimit old;
        getrlimit(RLIMIT_NOFILE, &old);
        const struct rlimit streamsOnly = {3, old.rlim_max};
        JxMonitor monitor;
        SP<OscProbeBattery> battery(new OscProbeBattery(50));
        ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &streamsOnly));
        EXPECT_FALSE(battery->start(&monitor));
        ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &old));
        EXPECT_TRUE(battery->start(&monitor));
        battery->stop();
    });
}

} // namespace
