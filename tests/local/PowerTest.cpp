// Power events and the battery level: the uevent filter and the charge sum
// by table; then, in children with a tmpfs over /sys/class/power_supply,
// hosts woken by uevents that the test multicasts itself (root may, in its
// own network namespace), and the wake sources' failure path.
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "OscProbeAC.h"
#include "OscProbeBattery.h"
#include "OscProbeWake.h"
#include "SP.h"
#include "TestSupport.h"
#include "internal/PowerSupply.h"

using namespace oscprobe::internal;
using namespace oscprobe_test;
using std::string;
using namespace std::string_literals;

namespace {

TEST(PowerEvents, OnlyAPowerSupplyFieldMakesAnEventWholeFieldsOnly)
{
    const string kernel = "change@/devices/power_supply/AC\0ACTION=change\0"
                          "SUBSYSTEM=power_supply\0POWER_SUPPLY_ONLINE=1\0"s;
    const std::pair<string, bool> cases[] = {{kernel, true}, {"add@/devices/net/eth0\0ACTION=add\0SUBSYSTEM=net\0"s, false},
        {"x\0SUBSYSTEM=power_supply_extra\0"s, false}, {"x\0MY_SUBSYSTEM=power_supply\0"s, false}, {"", false},
        {"x\0SUBSYSTEM=power_supply"s, true}, // no NUL after the last field
        {kernel.substr(0, kernel.find("SUBSYSTEM") + 15), false}}; // only the bytes given count
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
        EXPECT_EQ(std::make_pair(c.batteries, c.measured), std::make_pair(got.batteries, got.measured));
        EXPECT_NEAR(c.percent, c.measured > 0 ? got.percent : 0, 1e-9);
    }
}

const string kPowerEvent = "change@/devices/AC\0SUBSYSTEM=power_supply\0"s;

void multicast(const string& event)
{
    const int sock = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    struct sockaddr_nl group = {AF_NETLINK, 0, 0, 1};
    EXPECT_EQ(static_cast<ssize_t>(event.size()), sendto(sock, event.data(), event.size(), 0,
                                                         reinterpret_cast<sockaddr*>(&group), sizeof group));
    close(sock);
}

// Whether a host that holds `m` while `event` is multicast, then waits, is
// woken. (Never held across a start or stop: the listener takes the
// registry before any monitor.)
bool wokenBy(JxMonitor& m, const string& event, int ms = 300) { return woken(m, [&] { multicast(event); }, ms); }

// A host of the AC probe may hold its monitor while it starts, stops and
// releases one, and the monitor may be one the power listener is waiting
// for in a pass: the probe starts nothing and takes no registry.
TEST(PowerEvents, BatteriesAndWatchedMonitorsWakeOnPowerSupplyEventsAndAcProbesStartNothing)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    inChild([] {
        // A laptop on battery at 30 %, its charger out.
        isolate({"/sys/class/power_supply"});
        for (const auto& [file, text] : {std::pair{"AC/type", "Mains"}, {"AC/online", "0"},
                 {"BAT0/type", "Battery"}, {"BAT0/status", "Discharging"}, {"BAT0/capacity", "30"}})
            put("/sys/class/power_supply/"s + file, text + "\n"s);
        const auto alone = threadCount();
        JxMonitor monitor, watched;
        SP<OscProbeAC> ac(new OscProbeAC());
        EXPECT_FALSE(ac->start(&monitor));
        EXPECT_EQ(alone, threadCount());
        SP<OscProbeBattery> battery(new OscProbeBattery(50));
        ASSERT_TRUE(battery->start(&monitor) && OscProbeWake::watchPower(&watched) &&
                    OscProbeWake::watchPower(&watched) && OscProbeWake::watchPower(nullptr));
        // The socket is bound before start() returns: an event sent at once arrives.
        EXPECT_TRUE(wokenBy(watched, kPowerEvent, 5000));
        EXPECT_FALSE(battery->probe());
        // Not a power supply: no wake-up, no pass. Then the charger comes in.
        const unsigned long long passes = OscProbeWake::generation();
        EXPECT_FALSE(wokenBy(watched, "change@/devices/net/lo\0SUBSYSTEM=net\0"s) ||
                     OscProbeWake::generation() != passes);
        std::ofstream("/sys/class/power_supply/AC/online") << "1\n";
        EXPECT_TRUE(wokenBy(monitor, kPowerEvent, 5000) && battery->probe());
        EXPECT_TRUE(wokenBy(watched, kPowerEvent, 5000) && OscProbeWake::generation() > passes);
        monitor.enter();
        multicast(kPowerEvent);
        usleep(100000); // the listener waits for the monitor in its pass
        EXPECT_FALSE(ac->start(&monitor) || !ac->probe());
        ac->stop();
        ac = nullptr;
        monitor.leave();
        // Withdrawn monitors are no longer woken.
        OscProbeWake::unwatchPower(&watched);
        battery->stop();
        EXPECT_FALSE(wokenBy(watched, kPowerEvent) || wokenBy(monitor, kPowerEvent));
    }, 20);
}

} // namespace
