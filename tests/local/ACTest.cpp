// The AC power probe: the marker scan, the power-supply decision and how
// the adapters and the supplies combine, on captured kernel text; and the
// whole probe against adapters and supplies laid out on a tmpfs over /proc
// and /sys in a child's mount namespace.
#include <stdio.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "LocalTestUtil.h"
#include "OscProbeAC.h"
#include "OscProbeReason.h"
#include "TestSupport.h"
#include "internal/OscProbeACInternal.h"

using namespace oscprobe::internal;
using oscprobe_test::Checks;
using oscprobe_test::Files;
using oscprobe_test::LogCapture;

namespace {

const char kOnAc[] = "Running on AC power";
const char kOnBattery[] = "Running on battery";
const char kNoAdapter[] =
    "Couldn't read /proc/acpi/ac_adapter directory. Assuming that we're on AC power.";

// The line of an answer that no source settled, naming what each said.
std::string unknown(const std::string& adapters, const std::string& supplies = "no supply")
{
    return "Can't figure out AC status (ac_adapter: " + adapters + "; power_supply: " + supplies +
           "). Assuming that we're on AC power";
}

// What the kernel's ACPI AC driver writes into an adapter's state file.
const char kKernelOnline[] = "state:                   on-line\n";
const char kKernelOffline[] = "state:                   off-line\n";

// Hides the machine's own /proc and /sys behind empty tmpfs mounts and lays
// out `proc` under /proc and `sys` under /sys.
std::string fakeKernel(const Files& proc, const Files& sys)
{
    for (const char* target : {"/proc", "/sys"})
        if (mount("tmpfs", target, "tmpfs", 0, "size=1m") != 0)
            return std::string("mount tmpfs on ") + target + ": " + strerror(errno);
    std::string why = oscprobe_test::layOut("/proc", proc);
    return why.empty() ? oscprobe_test::layOut("/sys", sys) : why;
}

struct Expected {
    bool go;
    std::string line;  // the level-2 line of probe()
    std::string error; // the Error line, if any
    // getLastFinding(), checked when given
    std::string finding = std::string();
};

// One probe() on a fresh probe object; checks answer and every line.
void checkProbe(const Expected& want, Checks* c, const std::string& what)
{
    OscProbeAC probe;
    LogCapture log(2);
    c->eq(want.go, probe.probe(), what + ": answer");
    std::vector<std::string> verbose, errors;
    for (const LogCapture::Line& l : log.lines()) {
        c->eq(std::string("OscProbeAC::probe"), l.tag, what + ": tag of " + l.text);
        (l.severity == EvDebug::SEVERITY_ERROR ? errors : verbose).push_back(l.text);
    }
    c->eq({want.line}, verbose, what + ": level-2 lines");
    c->eq(want.error.empty() ? std::vector<std::string>() : std::vector<std::string>{want.error},
          errors, what + ": error lines");
    c->eq(want.line != kOnAc && want.line != kOnBattery, probe.lastAssumed(), what + ": assumed");
    if (!want.finding.empty())
        c->eq(want.finding, probe.getLastFinding(), what + ": finding");
}

struct KernelCase {
    const char* name;
    Files proc, sys;
    Expected expected;
};

void runCases(const std::vector<KernelCase>& cases)
{
    for (const KernelCase& k : cases) {
        SCOPED_TRACE(k.name);
        OSCPROBE_EXPECT_CHILD_OK([&k]() -> std::string {
            std::string err = fakeKernel(k.proc, k.sys);
            if (!err.empty())
                return err;
            Checks c;
            checkProbe(k.expected, &c, k.name);
            return c.result();
        });
    }
}

Files adapter(const std::string& state, const std::string& name = "ADP1")
{
    return {{"acpi/ac_adapter/" + name + "/state", state}};
}

// A power-supply class entry: type, then online (non-batteries) or scope,
// present and status (batteries); an empty value leaves the file out.
Files supply(const std::string& name, std::vector<const char*> values)
{
    static const char* const kMains[] = {"type", "online"};
    static const char* const kBattery[] = {"type", "scope", "present", "status"};
    Files out;
    for (size_t i = 0; i < values.size(); ++i)
        if (*values[i] != '\0')
            out.push_back({"class/power_supply/" + name + "/" +
                               (values.size() == 2 ? kMains : kBattery)[i],
                           std::string(values[i]) + "\n"});
    return out;
}

Files operator+(Files a, const Files& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Files kMainsOnline = supply("AC", {"Mains", "1"});
const Files kMainsOffline = supply("AC", {"Mains", "0"});
const Files kDischarging = supply("BAT0", {"Battery", "System", "1", "Discharging"});

} // namespace

TEST(ACStateScan, SearchesEveryFgetsPieceForBothMarkers)
{
    const struct {
        std::string text;
        bool online, offline;
    } rows[] = {
        {"state: xxoff-linexx\nxon-linex\n", true, true},
        {"state: ON-LINE\nstate: OFF-LINE\n", false, false},
        // The piece boundary falls after "on-l": neither piece holds the marker.
        {std::string(251, 'x') + "on-line\n", false, false},
        // Wholly inside the second piece, it counts.
        {std::string(255, 'x') + "off-line\n", false, true},
        // A newline starts a fresh piece, so the same marker is whole again.
        {std::string(250, 'x') + "\non-line\n", true, false},
        // A piece reads as a C string: text after a NUL is not searched, but
        // the next piece is.
        {std::string("ab\0on-line\noff-line\n", 20), false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        // The probe's own reading loop, over the text as a stream.
        FILE* f = fmemopen(const_cast<char*>(row.text.data()), row.text.size(), "r");
        ASSERT_NE(nullptr, f);
        AcMarkers markers = scanAcStateStream(f);
        fclose(f);
        EXPECT_EQ(row.online, markers.online);
        EXPECT_EQ(row.offline, markers.offline);
    }
}

TEST(PowerSupplyDecision, FollowsOnlineSuppliesThenDischargingSystemBatteries)
{
    // Fields: name, type, online, scope, present, status, as sysfs shows them.
    const PowerSupplyRecord mainsOn{"", "Mains\n", "1\n", {}, {}, {}};
    const PowerSupplyRecord mainsOff{"", "Mains\n", "0\n", {}, {}, {}};
    const PowerSupplyRecord bat{"", "Battery\n", {}, "System\n", "1\n", "Discharging\n"};
    const struct {
        std::vector<PowerSupplyRecord> supplies;
        PowerSource expected;
    } cases[] = {
        {{bat, mainsOn}, PowerSource::AC},
        {{{"", "USB\n", "2\n", "Unknown\n", {}, {}}, bat}, PowerSource::AC},
        {{{"", "Battery\n", {}, {}, {}, "Discharging\n"}}, PowerSource::BATTERY},
        {{mainsOff, {"", "Battery\n", {}, "System\n", "1\n", "Charging\n"}},
         PowerSource::UNKNOWN},
        {{{"", {}, "1\n", {}, {}, {}}}, PowerSource::UNKNOWN},
        {{{"", "Mains\n", "yes\n", {}, {}, {}}, bat}, PowerSource::BATTERY},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(cases[i].expected, decidePowerSource(cases[i].supplies)) << "case " << i;
}

TEST(AcPowerDecision, AnyAdapterOnLineThenAnyOffLineThenTheSupplyClassThenAssumesAc)
{
    const AcMarkers on{true, false}, off{false, true}, both{true, true}, none{};
    const struct {
        std::vector<AcMarkers> adapters;
        PowerSource supply;
        bool onAc;
        AcBasis basis;
        size_t adapter;
    } cases[] = {
        {{off, on}, PowerSource::BATTERY, true, AcBasis::ADAPTER, 1},
        {{on, off}, PowerSource::UNKNOWN, true, AcBasis::ADAPTER, 0},
        {{both, off, off}, PowerSource::AC, false, AcBasis::ADAPTER, 1},
        {{both, none}, PowerSource::BATTERY, false, AcBasis::SUPPLY, 0},
        {{}, PowerSource::AC, true, AcBasis::SUPPLY, 0},
        {{none, both}, PowerSource::UNKNOWN, true, AcBasis::ASSUMED, 0},
        {{}, PowerSource::UNKNOWN, true, AcBasis::ASSUMED, 0},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const AcVerdict v = decideAcPower(cases[i].adapters, cases[i].supply);
        EXPECT_EQ(cases[i].onAc, v.onAc) << "case " << i;
        EXPECT_EQ(cases[i].basis, v.basis) << "case " << i;
        EXPECT_EQ(cases[i].adapter, v.basis == AcBasis::ADAPTER ? v.adapter : 0) << "case " << i;
    }
}

TEST(ACProbe, ReadsEveryAdapterStateFile)
{
    const std::string neither = "ADP1 says neither on-line nor off-line";
    const Files plainFile = {{"acpi/ac_adapter/ADP1", "on-line\n"}};
    const std::string openError =
        std::string("Couldn't open /proc/acpi/ac_adapter/ADP1/state: ") + strerror(ENOTDIR);
    const std::string unreadable = std::string("ADP1 state unreadable: ") + strerror(ENOTDIR);
    runCases({
        {"on-line", adapter(kKernelOnline), {}, {true, kOnAc, "", "ACPI adapter ADP1 is on-line"}},
        {"off-line", adapter(kKernelOffline), {},
         {false, kOnBattery, "", "ACPI adapter ADP1 is off-line"}},
        {"no marker", adapter("state: unknown\n"), {}, {true, unknown(neither), ""}},
        {"upper case", adapter("state: ON-LINE\nstate: OFF-LINE\n"), {},
         {true, unknown(neither), ""}},
        {"both markers", adapter("on-line\noff-line\n"), {},
         {true, unknown("ADP1 says both on-line and off-line"), ""}},
        {"split marker", adapter(std::string(251, 'x') + "on-line\n"), {},
         {true, unknown(neither), ""}},
        // A clear adapter outranks the power-supply class; an unclear one
        // leaves the answer to it.
        {"adapter before supplies", adapter(kKernelOffline), kMainsOnline,
         {false, kOnBattery, ""}},
        {"both markers, battery discharging", adapter("on-line\noff-line\n"), kDischarging,
         {false, kOnBattery, "", "battery BAT0 is discharging"}},
        {"state unreadable, battery discharging", plainFile, kDischarging,
         {false, kOnBattery, openError}},
        {"state unreadable, no supply says anything", plainFile, kMainsOffline,
         {true, unknown(unreadable, "no supply online, no battery discharging"), openError,
          "nothing tells AC from battery (ac_adapter: " + unreadable +
              "; power_supply: no supply online, no battery discharging); assuming AC power"}},
        // Any adapter on-line means AC, whichever the directory lists first.
        {"two adapters, second on-line", adapter(kKernelOffline, "ADP0") + adapter(kKernelOnline),
         {}, {true, kOnAc, "", "ACPI adapter ADP1 is on-line"}},
        {"two adapters, first on-line", adapter(kKernelOnline, "ADP0") + adapter(kKernelOffline),
         {}, {true, kOnAc, "", "ACPI adapter ADP0 is on-line"}},
    });
}

TEST(ACProbe, FallsBackToThePowerSupplyClass)
{
    const char usb[] = "ucsi-source-psy-USBC000:001";
    runCases({
        {"mains online", {}, kMainsOnline, {true, kOnAc, "", "power supply AC is online"}},
        {"mains offline, battery discharging", {}, kMainsOffline + kDischarging,
         {false, kOnBattery, "", "battery BAT0 is discharging"}},
        {"empty adapter directory", {{"acpi/ac_adapter/", ""}}, kMainsOffline + kDischarging,
         {false, kOnBattery, ""}},
        {"usb online", {}, supply(usb, {"USB", "1"}), {true, kOnAc, ""}},
        {"usb offline, no battery", {}, supply(usb, {"USB", "0"}), {true, kNoAdapter, ""}},
        {"peripheral battery", {},
         kMainsOffline + supply("hidpp_battery_0", {"Battery", "Device", "1", "Discharging"}),
         {true, kNoAdapter, ""}},
        {"battery not present", {}, kMainsOffline + supply("BAT1", {"Battery", "", "0", "Discharging"}),
         {true, kNoAdapter, ""}},
        {"nothing at all", {}, {}, {true, kNoAdapter, ""}},
    });
}

TEST(ACProbe, CaffeineChangesNothingAndReasonIsFixed)
{
    OSCPROBE_EXPECT_CHILD_OK([]() -> std::string {
        std::string err = fakeKernel(adapter(kKernelOffline), {});
        if (!err.empty())
            return err;
        Checks c;
        LogCapture log(2);
        OscProbeAC probe;
        c.eq({"Initializing AC probe. Cost 2"}, log.texts("OscProbeAC"), "construction");
        c.eq(2, probe.getCost(), "cost");
        c.eq(static_cast<OscProbeReason>(OSCPROBE_REASON_AC), probe.getNoGoReason(), "reason");
        OscProbeAC::caffeine(true);
        c.expect(!probe.probe(), "no-go after caffeine(true)");
        OscProbeAC::caffeine(false);
        c.expect(!probe.probe(), "no-go after caffeine(false)");
        return c.result();
    });
}
