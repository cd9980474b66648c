// Every text and number the probes hand their hosts, one row per case:
// reason codes, log lines (severity, tag, text) and thrown errors (function,
// file:line, code, message). Each row drives the probes in a child of its
// own, behind tmpfs mounts and in an empty network namespace.
#include <sys/stat.h>

#include <algorithm>

#include "JxException.h"
#include "LocalTest.h"
#include "OscProbeAC.h"
#include "OscProbeCPU.h"
#include "OscProbeDiskSpace.h"
#include "OscProbeHM.h"
#include "OscProbeSubNet.h"
#include "SP.h"

using namespace local_test;
using namespace oscprobe_test;
using Sub = OscProbeSubNet;

namespace {

std::vector<std::string> seen;

// The log lines so far, then `what`.
void say(const std::string& what)
{
    for (std::string& line : takeLog())
        seen.push_back(std::move(line));
    if (!what.empty())
        seen.push_back(what);
}
std::string reason(OscProbeReason code) { return "reason " + std::to_string(code); }
void reason(OscProbe& p) { say(reason(p.getNoGoReason())); }
// One answer, without the construction lines before it; with what settled it where the probe tells.
template <class P> void ask(P&& p) { takeLog(); say(p.probe() ? "go" : "no-go"); }
void ask(OscProbeAC& p) { takeLog(); OscProbeAC::Finding f; const bool go = p.probe(&f); say((go ? "go: " : "no-go: ") + f.text + (f.assumed ? " (assumed)" : "")); }
void ask(Sub& p) { takeLog(); Sub::Match m; char a[128]; say(p.probe(&m) && ZUNET_ip2str(&m.addr, a, sizeof a) == 0 ? "go: " + m.iface + " " + a : "no-go"); }
void attempt(const std::function<void()>& act)
try {
    act();
} catch (const JxException& e) {
    say(std::string(e.getFuncName()) + " threw at " + e.getFile() + ":" + std::to_string(e.getLine()) + " (" +
        std::to_string(e.getCode()) + "): " + e.getMessage());
}
// One adapter entry (its state file, or a plain file) holding `state`, and no power-supply class.
void ac(const std::string& state, const std::string& entry = "ADP1/state") { isolate({"/proc", "/sys"}); put("/proc/acpi/ac_adapter/" + entry, state); OscProbeAC p; ask(p); }
void settings(const std::string& text) { isolate({"/tmp"}); put("/tmp/s", text); setenv("OSCPROBE_SETTINGS", "/tmp/s", 1); }
void veth() { ASSERT_EQ(sh("ip link add v0 type veth peer name v1 && ip addr add 10.9.0.7/24 dev v0"), 0); }

const std::string kSub = "I OscProbeSubNet: Initializing SubNet Probe. Cost 3", kKind = "I OscProbeSubNet:    Interface type: ",
                  kFound = "V OscProbeSubNet::probe: Found interface: v0 (WIRED): 10.9.0.7",
                  kBadSub = "OscProbeSubNet threw at OscProbeSubNet:",
                  kNothing = "othing tells AC from battery (ac_adapter: ", kNoSupply = "; power_supply: no supply)",
                  kCpu = "OscProbeCPU::getCurrentCPU threw at OscProbeCPU:";
// `before`, then what the AC probe logs and finds for each thing ADP1 `said` that tells nothing, with no supply.
std::vector<std::string> unclear(std::vector<std::string> before, std::initializer_list<std::string> said)
{
    for (const std::string& x : said)
        before.insert(before.end(), {"V OscProbeAC::probe: N" + kNothing + "ADP1 " + x + kNoSupply, "V OscProbeAC::probe: Can't figure out AC status. "
                                     "Assuming that we're on AC power", "go: n" + kNothing + "ADP1 " + x + kNoSupply + "; assuming AC power (assumed)"});
    return before;
}

struct Row { const char* name; std::function<void()> act; std::vector<std::string> want; };
const Row kRows[] = {
    {"CPU", [] { isolate({"/proc"}); put("/proc/stat", "cpu  100 0 0 900 7 0 5\n"); fakeNow = 1000;
                 onSleep = [] { put("/proc/stat", "cpu  120 10 20 950 9 0 9\n"); };
                 OscProbeCPU p(50); reason(p); ask(p); say(sleeps.at(0)); },
     {"I OscProbeCPU: Initializing CPU probe. Cost 2", "I OscProbeCPU:    Threshold: 50%", reason(0x03000015),
      "V OscProbeCPU::probe: CPU: busy=50, idle=50, USAGE: 50%", "go", "2000 ms at OscProbeCPU:143"}},
    {"no /proc/stat", [] { isolate({"/proc"}); ask(OscProbeCPU(1)); },
     {kCpu + "213 (-1): Couldn't open /proc/stat: No such file or directory"}},
    {"/proc/stat a directory", [] { isolate({"/proc"}); mkdir("/proc/stat", 0755); ask(OscProbeCPU(1)); },
     {kCpu + "218 (-1): Couldn't read from /proc/stat: Is a directory"}},
    {"/proc/stat unparsable", [] { isolate({"/proc"}); put("/proc/stat", "intr 1 2 3 4\n"); ask(OscProbeCPU(1)); },
     {kCpu + "223 (-1): Couldn't get CPU info from /proc/stat: Parsing error."}},
    {"disk", [] { isolate({"/tmp"}); OscProbeDiskSpace p({"/tmp", "never/asked"}, 123.4); reason(p); ask(p); },
     {"I OscProbeDiskSpace: Initializing DiskSpace Probe. Cost 1", "I OscProbeDiskSpace:    Threshold: 123.4%",
      "I OscProbeDiskSpace:    Directory: /tmp", "I OscProbeDiskSpace:    Directory: never/asked", reason(0x03000017),
      "V OscProbeDiskSpace::getFreeSpacePercent: Free space percentage on /tmp: 100.00%",
      "V OscProbeDiskSpace::probe: 100.0%: /tmp", "go"}},
    {"disk missing", [] { ask(OscProbeDiskSpace({"/nowhere"}, 1)); },
     {"OscProbeDiskSpace::getFreeSpacePercent threw at OscProbeDiskSpace:49 (-1): Failed to stat /nowhere: No such file or directory"}},
    {"AC without adapters", [] { isolate({"/proc", "/sys"}); OscProbeAC p; reason(p); ask(p); },
     {"I OscProbeAC: Initializing AC probe. Cost 2", reason(0x03000014),
      "V OscProbeAC::probe: Couldn't read /proc/acpi/ac_adapter directory. Assuming that we're on AC power.", "go: n" + kNothing + "no adapter" + kNoSupply + "; assuming AC power (assumed)"}},
    {"on-line, off-line", [] { ac("state:     on-line\n"); ac("xxon-linexx"); ac("state:     off-line\n"); },
     {"V OscProbeAC::probe: Running on AC power", "go: ACPI adapter ADP1 is on-line", "V OscProbeAC::probe: Running on AC power",
      "go: ACPI adapter ADP1 is on-line", "V OscProbeAC::probe: Running on battery", "no-go: ACPI adapter ADP1 is off-line"}},
    {"capitals, split", [] { ac("ON-LINE\n"); ac(std::string(251, ' ') + "on-line"); },
     unclear({}, {"says neither on-line nor off-line", "says neither on-line nor off-line"})},
    {"both", [] { ac("on-line\noff-line\n"); }, unclear({}, {"says both on-line and off-line"})},
    {"plain file", [] { ac("on-line\n", "ADP1"); },
     unclear({"E OscProbeAC::probe: Couldn't open /proc/acpi/ac_adapter/ADP1/state: Not a directory"}, {"state unreadable: Not a directory"})},
    {"HM elsewhere", [] { settings("[Other]\nnHMONLINE=1\n"); OscProbeHM p; reason(p); ask(p); },
     {"I OscProbeHM: Initializing Hubmaster probe. Cost 2", reason(0x03000016), "V OscProbeHM::probe: HM is UNREACHABLE", "no-go"}},
    {"HM set", [] { settings("[Runtime]\nnHMONLINE=1\n"); ask(OscProbeHM()); }, {"V OscProbeHM::probe: HM is REACHABLE", "go"}},
    {"subnets", [] { Sub p({"192.168.31.77/20", "fe80::1/64"}); reason(p); },
     {kSub, "I OscProbeSubNet:    Subnet: ip=192.168.16.0, mask=255.255.240.0",
      "I OscProbeSubNet:    Subnet: ip=fe80::, mask=ffff:ffff:ffff:ffff::", reason(0x03000018)}},
    {"kinds", [] { for (auto k : {Sub::WIRED, Sub::WIRELESS, Sub::OTHER, Sub::UNKNOWN}) { Sub p(k); reason(p); }
                   Sub none; reason(none); say(Sub::iftype2str(Sub::IFTYPE(7))); },
     {kSub, kKind + "WIRED", reason(0x03000027), kSub, kKind + "WIRELESS", reason(0x03000028), kSub, kKind + "OTHER",
      reason(0x03000018), kSub, kKind + "UNKNOWN", reason(0x03000018), reason(0x03000018), "UNKNOWN"}},
    {"bad subnets", [] { for (const char* d : {"10.1.2.3", "abc/8", "10.1.2.3/0", "::/129x"}) attempt([d] { Sub({d}); }); },
     {kSub, kBadSub + "64 (-1): Invalid subnet definition 10.1.2.3: lacks the \"/bits\" part", kSub,
      kBadSub + "68 (-1): Couldn't convert string abc to an IP address.", kSub,
      kBadSub + "73 (-1): Invalid subnet length 0 passed in address 10.1.2.3/0", kSub,
      kBadSub + "73 (-1): Invalid subnet length 129x passed in address ::/129x"}},
    {"subnet answers", [] { isolate({}); veth(); Sub in({"10.9.0.0/16"}), wired(Sub::WIRED), wireless(Sub::WIRELESS);
                            ask(in); ask(wired); ask(wireless); },
     {kFound, "V OscProbeSubNet::probe: Interface 10.9.0.0 became ACTIVE", "go: v0 10.9.0.7", kFound,
      "V OscProbeSubNet::probe: WIRED interface became active", "go: v0 10.9.0.7", kFound, "no-go"}},
    // Fresh addresses until the watcher (listening once it has listed the
    // interfaces) woke the host twice. Every line it logs says the same;
    // lines still under way at the end go nowhere.
    {"watcher", [] { isolate({}); veth(); SP<Sub> p(new Sub({"10.8.0.0/16"})); JxMonitor m; takeLog(); p->start(&m);
                     for (int i = 1, woken = 0; woken < 2 && i < 60; ++i) {
                         m.enter(); sh("ip addr add 10.8.0." + std::to_string(i) + "/32 dev v1"); woken += m.wait(200); m.leave(); }
                     p->stop(); EvDebug::setLogHandler([](int, const char*, const char*) {});
                     seen = takeLog(); seen.erase(std::unique(seen.begin(), seen.end()), seen.end()); },
     {"I OscProbeSubNet::thread_func: New IP address just came up."}},
};

TEST(TextTest, EveryFixedTextAndNumber)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    for (const Row& row : kRows)
        oscprobe_test::inChild([&row] {
            captureLog(2);
            attempt(row.act);
            say("");
            EXPECT_EQ(seen, row.want) << row.name;
        });
}

} // namespace
