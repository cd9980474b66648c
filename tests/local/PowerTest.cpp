// Power events and the battery level: the uevent filter and the charge sum
// by table; then AC and battery probes started on one monitor, in a child
// with a tmpfs over /sys/class/power_supply, woken by a uevent that the test
// multicasts itself (root may, in its own network namespace).
#include <linux/netlink.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "JxMonitorLock.h"
#include "OscProbeAC.h"
#include "OscProbeBattery.h"
#include "SP.h"
#include "TestSupport.h"
#include "internal/PowerSupply.h"

using namespace oscprobe::internal;
using std::string;
using namespace std::string_literals;

namespace {

TEST(PowerEvents, OnlyAPowerSupplyFieldMakesAnEventWholeFieldsOnly)
{
    const string kernel = "change@/devices/power_supply/AC\0ACTION=change\0"
                          "SUBSYSTEM=power_supply\0POWER_SUPPLY_ONLINE=1\0"s;
    const std::pair<string, bool> cases[] = {
        {kernel, true},
        {"add@/devices/net/eth0\0ACTION=add\0SUBSYSTEM=net\0"s, false},
        {"x\0SUBSYSTEM=power_supply_extra\0"s, false},
        {"x\0MY_SUBSYSTEM=power_supply\0"s, false},
        {"x\0SUBSYSTEM=power_supply"s, true}, // no NUL after the last field
        {kernel.substr(0, kernel.find("SUBSYSTEM") + 15), false}, // only the bytes given count
        {"", false},
    };
    for (const auto& [data, power] : cases)
        EXPECT_EQ(power, isPowerSupplyUevent(data.data(), data.size())) << data;
}

// A system battery from "file=value" words, the files named as in sysfs.
PowerSupplyRecord battery(const string& files)
{
    PowerSupplyRecord r;
    r.type = "Battery\n";
    const std::map<string, std::optional<string>*> known = {{"capacity", &r.capacity}, {"energy_now", &r.energyNow},
        {"energy_full", &r.energyFull}, {"charge_now", &r.chargeNow}, {"charge_full", &r.chargeFull}, {"scope", &r.scope}, {"present", &r.present}};
    std::istringstream words(files);
    for (string key, value; std::getline(words >> std::ws, key, '=') && words >> value;)
        *known.at(key) = value + "\n";
    return r;
}

TEST(BatteryCharge, SumsLikeUnitsAveragesOthersAndCountsOnlySystemBatteries)
{
    const struct { std::vector<PowerSupplyRecord> supplies; int batteries, measured; double percent; } cases[] = {
        {{battery("capacity=50")}, 1, 1, 50},
        // Energy beats capacity; two packs hold what their sums say.
        {{battery("capacity=99 energy_now=9000 energy_full=10000"), battery("energy_now=3000 energy_full=30000")}, 2, 2, 30},
        {{battery("charge_now=1000 charge_full=4000"), battery("charge_now=3000 charge_full=4000")}, 2, 2, 50},
        // Units that do not add up are averaged.
        {{battery("energy_now=9000 energy_full=10000"), battery("capacity=50")}, 2, 2, 70},
        // Above full, above 100 and unreadable pairs are held in range.
        {{battery("capacity=100 energy_now=12000 energy_full=10000")}, 1, 1, 100},
        {{battery("capacity=150 energy_now=1 energy_full=0")}, 1, 1, 100},
        {{battery("energy_now=x energy_full=10"), battery("")}, 2, 0, 0},
        // A mouse's battery and an empty slot are not the machine's.
        {{battery("capacity=10 scope=Device"), battery("capacity=90 present=0"), battery("capacity=80")}, 1, 1, 80},
        {{}, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const BatteryCharge got = batteryCharge(c.supplies);
        EXPECT_EQ(c.batteries, got.batteries);
        EXPECT_EQ(c.measured, got.measured);
        EXPECT_NEAR(c.percent, c.measured > 0 ? got.percent : 0, 1e-9);
    }
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
        // A laptop on battery at 30 %, its charger out.
        oscprobe_test::isolate({"/sys/class/power_supply"});
        for (const auto& [file, text] : {std::pair{"AC/type", "Mains"}, {"AC/online", "0"},
                 {"BAT0/type", "Battery"}, {"BAT0/status", "Discharging"}, {"BAT0/capacity", "30"}})
            oscprobe_test::put("/sys/class/power_supply/"s + file, text + "\n"s);
        JxMonitor monitor;
        SP<OscProbeAC> ac(new OscProbeAC());
        SP<OscProbeBattery> battery(new OscProbeBattery(50));
        ASSERT_TRUE(!ac->start(&monitor) && battery->start(&monitor)); // the AC probe wakes nobody
        EXPECT_FALSE(ac->probe() || battery->probe());
        EXPECT_EQ(30, battery->getLastLevel());

        // Not a power supply: no wake-up. Then the charger comes in. (The
        // monitor is not held across stop(): the listener takes the registry
        // before any monitor.)
        monitor.enter();
        multicast("change@/devices/net/lo\0SUBSYSTEM=net\0"s);
        EXPECT_FALSE(monitor.wait(300));
        std::ofstream("/sys/class/power_supply/AC/online") << "1\n";
        multicast("change@/devices/AC\0SUBSYSTEM=power_supply\0"s);
        EXPECT_TRUE(monitor.wait(5000));
        monitor.leave();
        EXPECT_TRUE(ac->probe() && battery->probe());

        // Stopped probes are no longer woken.
        ac->stop();
        battery->stop();
        JxMonitorLock lock(&monitor);
        multicast("change@/devices/AC\0SUBSYSTEM=power_supply\0"s);
        EXPECT_FALSE(monitor.wait(300));
    });
}

} // namespace
