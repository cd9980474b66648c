// The AC power probe: the marker scan and the power-supply decision on
// captured kernel text, and the whole probe against adapters and supplies
// laid out on a tmpfs over /proc and /sys in a child's mount namespace.
#include <stdio.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
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
const char kUnknown[] = "Can't figure out AC status. Assuming that we're on AC power";
const char kNoAdapter[] =
    "Couldn't read /proc/acpi/ac_adapter directory. Assuming that we're on AC power.";

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

Files adapter(const std::string& state) { return {{"acpi/ac_adapter/ADP1/state", state}}; }

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

TEST(ACProbe, ReadsTheAdapterStateFile)
{
    runCases({
        {"on-line", adapter(kKernelOnline), {}, {true, kOnAc, ""}},
        {"off-line", adapter(kKernelOffline), {}, {false, kOnBattery, ""}},
        {"no marker", adapter("state: unknown\n"), {}, {true, kUnknown, ""}},
        {"upper case", adapter("state: ON-LINE\nstate: OFF-LINE\n"), {}, {true, kUnknown, ""}},
        {"both markers", adapter("on-line\noff-line\n"), {}, {true, kUnknown, ""}},
        {"split marker", adapter(std::string(251, 'x') + "on-line\n"), {}, {true, kUnknown, ""}},
        // The adapter file outranks the power-supply class.
        {"adapter before supplies", adapter(kKernelOffline), kMainsOnline,
         {false, kOnBattery, ""}},
        {"entry is a plain file", {{"acpi/ac_adapter/ADP1", "on-line\n"}}, {},
         {true, kUnknown,
          std::string("Couldn't open /proc/acpi/ac_adapter/ADP1/state: ") + strerror(ENOTDIR)}},
    });
}

TEST(ACProbe, FallsBackToThePowerSupplyClass)
{
    const Files discharging = supply("BAT0", {"Battery", "System", "1", "Discharging"});
    const char usb[] = "ucsi-source-psy-USBC000:001";
    runCases({
        {"mains online", {}, kMainsOnline, {true, kOnAc, ""}},
        {"mains offline, battery discharging", {}, kMainsOffline + discharging,
         {false, kOnBattery, ""}},
        {"empty adapter directory", {{"acpi/ac_adapter/", ""}}, kMainsOffline + discharging,
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

TEST(ACProbe, OnlyTheFirstAdapterReadCounts)
{
    OSCPROBE_EXPECT_CHILD_OK([]() -> std::string {
        std::string err = fakeKernel({{"acpi/ac_adapter/ADP0/", ""}, {"acpi/ac_adapter/ADP1/", ""}},
                                     {});
        if (!err.empty())
            return err;
        // tmpfs lists entries newest first on some kernels and oldest first
        // on others: ask the directory which one comes first.
        std::string first =
            std::filesystem::directory_iterator("/proc/acpi/ac_adapter")->path().filename();
        std::string second = first == "ADP0" ? "ADP1" : "ADP0";
        Checks c;
        for (bool firstOnline : {false, true}) {
            err = oscprobe_test::layOut(
                "/proc/acpi/ac_adapter",
                {{first + "/state", firstOnline ? kKernelOnline : kKernelOffline},
                 {second + "/state", firstOnline ? kKernelOffline : kKernelOnline}});
            if (!err.empty())
                return err;
            checkProbe({firstOnline, firstOnline ? kOnAc : kOnBattery, ""}, &c, first);
        }
        return c.result();
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
