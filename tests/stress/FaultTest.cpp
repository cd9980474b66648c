// Fault injection against the real kernel, each case in a forked child:
// signals without SA_RESTART aimed at the watcher and at a host thread in
// the CPU probe's sleep, every failure path's effect on the descriptor
// count, an open-file limit of a few descriptors, and the clock set back
// between two CPU probe calls.
//
// time() is defined in this executable, so the CPU probe's calls (the probe
// comes from the static archive) resolve to it: the real clock plus an
// offset that a test may move.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "JXPlatformInfo.h"
#include "JxException.h"
#include "JxMonitor.h"
#include "JxMonitorLock.h"
#include "NetTestSupport.h"
#include "OscProbeAC.h"
#include "OscProbeCPU.h"
#include "OscProbeDiskSpace.h"
#include "OscProbeHM.h"
#include "StressSupport.h"

using namespace oscprobe_test;

namespace {
std::atomic<long> g_clockOffset{0};
} // namespace

extern "C" time_t time(time_t* out) noexcept
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const time_t value = ts.tv_sec + g_clockOffset.load();
    if (out != nullptr)
        *out = value;
    return value;
}

namespace {

const char kChangeLine[] = "New IP address just came up.";
const char kNoAdapter[] =
    "Couldn't read /proc/acpi/ac_adapter directory. Assuming that we're on AC power.";
const std::string kTooMany = strerror(EMFILE);
constexpr int kBoundMs = 10000;

bool hasError(const LogCapture& log, const std::string& text)
{
    for (const LogCapture::Line& l : log.lines())
        if (l.severity == EvDebug::SEVERITY_ERROR && l.text == text)
            return true;
    return false;
}

// The message of the JxException `action` throws; "" when it returns.
std::string thrown(const std::function<void()>& action)
{
    try {
        action();
    } catch (const JxException& e) {
        return e.getMessage();
    }
    return std::string();
}

// Replaces /proc and /sys by empty tmpfs mounts (the child has a mount
// namespace of its own) and lays out `files` (a path ending in '/' is a
// directory).
std::string fakeKernel(const std::vector<std::pair<std::string, std::string>>& files)
{
    std::string why = enterPrivateMountNamespace();
    if (!why.empty())
        return why;
    for (const char* target : {"/proc", "/sys"})
        if (mount("tmpfs", target, "tmpfs", 0, "size=1m") != 0)
            return std::string("mount tmpfs on ") + target + ": " + strerror(errno);
    for (const auto& f : files) {
        std::string path = f.first;
        for (size_t slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            mkdir(path.substr(0, slash).c_str(), 0755);
        if (path.back() != '/' && !(std::ofstream(path) << f.second))
            return "cannot write " + path;
    }
    return std::string();
}

// ---- signals ------------------------------------------------------------

std::atomic<pid_t> g_watcherTid{0}, g_cpuTid{0};
std::atomic<long> g_watcherHits{0}, g_cpuHits{0};

void onSignal(int)
{
    const pid_t tid = currentThreadId();
    if (tid == g_watcherTid)
        ++g_watcherHits;
    else if (tid == g_cpuTid)
        ++g_cpuHits;
}

std::string signalsChangeNothing()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal; // no SA_RESTART: blocking calls see EINTR
    sigemptyset(&sa.sa_mask);
    STRESS_CHECK(sigaction(SIGUSR1, &sa, nullptr) == 0, strerror(errno));

    TestLink link("ss0", TestLink::Veth);
    STRESS_CHECK(link.ok(), "cannot make a veth link");
    LogCapture log(2);

    // The watcher is the one thread that start() adds to the process.
    const std::set<pid_t> before = threadIds();
    SP<OscProbeSubNet> p = subnetProbe({"10.81.0.0/16"});
    JxMonitor m;
    STRESS_CHECK(p->start(&m), "start");
    STRESS_CHECK(eventually([&] { return threadIds().size() > before.size(); }, kBoundMs),
                 "no watcher thread appeared");
    for (pid_t tid : threadIds())
        if (before.count(tid) == 0)
            g_watcherTid = tid;

    std::atomic<bool> stopSending{false};
    std::thread sender([&] {
        const pid_t pid = getpid();
        while (!stopSending) {
            syscall(SYS_tgkill, pid, g_watcherTid.load(), SIGUSR1);
            if (g_cpuTid != 0)
                syscall(SYS_tgkill, pid, g_cpuTid.load(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    // The first CPU probe of the process sleeps 2 s between two readings.
    bool cpuGo = false;
    long long usage = -1;
    double cpuSeconds = 0;
    std::string cpuError;
    std::thread cpuHost([&] {
        g_cpuTid = currentThreadId();
        const auto t0 = std::chrono::steady_clock::now();
        cpuError = thrown([&] {
            OscProbeCPU cpu(100);
            cpuGo = cpu.probe();
            usage = cpu.getLastUsage();
        });
        cpuSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    });

    // Meanwhile the watcher, interrupted all along, must still see a new
    // address and wake the host.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    bool woken = false, added = false;
    {
        JxMonitorLock lock(&m);
        added = link.add("10.81.0.1/32");
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        while (!woken && std::chrono::steady_clock::now() < deadline)
            woken = m.wait(100) && log.contains(kChangeLine);
    }
    cpuHost.join();
    stopSending = true;
    sender.join();

    STRESS_CHECK(added, "cannot add 10.81.0.1");
    STRESS_CHECK(woken, "the watcher did not wake the host");
    STRESS_CHECK(p->probe(), "no go with 10.81.0.1 up");
    p->stop();
    STRESS_CHECK(cpuError.empty(), "CPU probe threw: " << cpuError);
    STRESS_CHECK(cpuGo && usage >= 0 && usage <= 100,
                 "CPU answer " << cpuGo << ", usage " << usage);
    STRESS_CHECK(cpuSeconds >= 1.9, "the 2 s sleep ended after " << cpuSeconds << " s");
    STRESS_CHECK(g_watcherHits > 100 && g_cpuHits > 100,
                 "signals caught: watcher " << g_watcherHits << ", CPU host " << g_cpuHits);
    for (const LogCapture::Line& l : log.lines())
        STRESS_CHECK(l.severity != EvDebug::SEVERITY_ERROR, "error logged: " << l.text);
    printf("signals: %ld caught by the watcher, %ld by the CPU host in its sleep\n",
           g_watcherHits.load(), g_cpuHits.load());
    fflush(stdout);
    return std::string();
}

// ---- descriptors --------------------------------------------------------

struct FailurePath {
    const char* name;
    std::function<std::string()> setUp;  // "" or why it could not be set up
    std::function<std::string()> action; // "" when it failed as expected
};

// Starts the process's watcher under an open-file limit of `spare`
// descriptors beyond those open, and returns once it has failed with
// `expected`.
std::string watcherFailsWith(int spare, const std::string& expected)
{
    LogCapture log(1);
    SP<OscProbeSubNet> p = subnetProbe({"10.82.0.0/16"});
    SP<OscProbeSubNet> q = subnetProbe({"10.82.0.0/16"});
    JxMonitor m;
    {
        ScopedFileLimit limit(static_cast<rlim_t>(lowestFreeDescriptor() + spare));
        if (!limit.ok())
            return "setrlimit failed";
        if (!p->start(&m))
            return "start() refused before the watcher ran";
        // Once the watcher has failed, start() says so.
        if (!eventually([&] { return !q->start(&m); }, kBoundMs))
            return "the watcher did not fail";
    }
    p->stop();
    return hasError(log, expected) ? std::string() : "no error line \"" + expected + "\"";
}

// With one descriptor to spare the watcher gets its socket but cannot list
// the interfaces. That is no reason to end it: it says so, and once
// descriptors are free again the next address wakes the host as usual.
std::string watcherOutlivesAFailedListing()
{
    LogCapture log(1);
    TestLink link("oscpf0", TestLink::Veth);
    STRESS_CHECK(link.ok(), "veth");
    SP<OscProbeSubNet> p = subnetProbe({"10.84.0.0/16"});
    JxMonitor m;
    {
        ScopedFileLimit limit(static_cast<rlim_t>(lowestFreeDescriptor() + 1));
        STRESS_CHECK(limit.ok(), "setrlimit");
        STRESS_CHECK(p->start(&m), "start");
        STRESS_CHECK(eventually([&] { return hasError(log, "Failed to create IP control socket: " +
                                                                   kTooMany); },
                                kBoundMs),
                     "no line about the failed listing");
    }
    {
        JxMonitorLock lock(&m);
        STRESS_CHECK(link.add("10.84.1.1/16"), "ip addr add");
        STRESS_CHECK(m.wait(kBoundMs), "not woken by the address");
    }
    STRESS_CHECK(p->start(&m), "the watcher ended after a failed listing");
    STRESS_CHECK(eventually([&] { return log.contains(kChangeLine); }, kBoundMs), "no change line");
    p->stop();
    return std::string();
}

std::vector<FailurePath> failurePaths()
{
    auto none = [] { return std::string(); };
    auto fake = [](std::vector<std::pair<std::string, std::string>> files) {
        return [files] { return fakeKernel(files); };
    };
    auto expectThrow = [](std::function<void()> action, std::string message) {
        return [action, message]() -> std::string {
            const std::string got = thrown(action);
            return got == message ? std::string() : "threw \"" + got + "\"";
        };
    };
    auto expectAnswer = [](std::function<bool()> action, bool answer) {
        return [action, answer]() -> std::string {
            return action() == answer ? std::string() : "answered " + std::to_string(!answer);
        };
    };
    auto ac = [] { return OscProbeAC().probe(); };
    auto hm = [] { return OscProbeHM().probe(); };
    auto ifList = [] { OscProbeSubNet::getIFList(); };
    auto cpu = [] {
        long long busy, idle;
        OscProbeCPU(50).getCurrentCPU(&busy, &idle);
    };
    const std::string badLine = "fe8000000000000000000000000000z1 02 40 20 80 eth0\n";

    return {
        {"disk space of a missing directory", none,
         expectThrow([] { OscProbeDiskSpace({"/nonexistent-oscprobe"}, 50).probe(); },
                     "Failed to stat /nonexistent-oscprobe: No such file or directory")},
        {"no adapter or supply directory", fake({}), expectAnswer(ac, true)},
        {"adapter state is a directory", fake({{"/proc/acpi/ac_adapter/AC/state/", ""}}),
         expectAnswer(ac, true)},
        {"adapter without a state file", fake({{"/proc/acpi/ac_adapter/AC/", ""}}),
         expectAnswer(ac, true)},
        {"unreadable supply attributes",
         fake({{"/sys/class/power_supply/BAT0/type/", ""},
               {"/sys/class/power_supply/BAT0/status/", ""}}),
         expectAnswer(ac, true)},
        {"bad if_inet6 line", fake({{"/proc/net/if_inet6", badLine}}),
         expectThrow(ifList, "Invalid contents of /proc/net/if_inet6: " + badLine)},
        {"no /proc/stat", fake({}),
         expectThrow(cpu, "Couldn't open /proc/stat: No such file or directory")},
        {"unparsable /proc/stat", fake({{"/proc/stat", "intr 1 2 3\n"}}),
         expectThrow(cpu, "Couldn't get CPU info from /proc/stat: Parsing error.")},
        {"missing settings file",
         [] {
             JXPlatformInfo::setSettingsFile("/nonexistent-oscprobe/settings.ini");
             return std::string();
         },
         expectAnswer(hm, false)},
        {"settings path is a directory",
         [] {
             JXPlatformInfo::setSettingsFile("/tmp");
             return std::string();
         },
         expectAnswer(hm, false)},
        {"watcher without a routing socket", none,
         [] { return watcherFailsWith(0, "Couldn't create netlink routing socket: " + kTooMany); }},
    };
}

// Sets the path up, then counts the open descriptors around its failure.
std::string descriptorsAround(const FailurePath& path)
{
    std::string why = path.setUp();
    if (!why.empty())
        return "set-up: " + why;
    const int before = openDescriptors();
    why = path.action();
    const int after = openDescriptors();
    STRESS_CHECK(why.empty(), why);
    STRESS_CHECK(before == after, before << " descriptors before, " << after << " after");
    printf("descriptors, %s: %d before, %d after\n", path.name, before, after);
    fflush(stdout);
    return std::string();
}

// ---- limits -------------------------------------------------------------

// Every probe under an open-file limit of the descriptors already open plus
// 0 to 3: with none to spare each fails with its exact exception or gives
// its documented default; with one or more each answers as without a limit
// (the AC probe may fall back to its default while an attribute cannot be
// opened), except the interface listing, which needs two.
std::string probesUnderAFewDescriptors()
{
    TempDir dir;
    JXPlatformInfo::setSettingsFile(dir.write("settings.ini", "[Runtime]\nnHMONLINE=1\n"));
    LogCapture log(2);
    const bool acFree = OscProbeAC().probe();
    const bool diskFree = OscProbeDiskSpace({"/"}, 101).probe();
    STRESS_CHECK(OscProbeHM().probe(), "HM without a limit");
    OscProbeCPU cpu(100);
    SP<OscProbeSubNet> subnet = subnetProbe({"10.83.0.0/16"});

    for (int spare = 0; spare <= 3; ++spare) {
        ScopedFileLimit limit(static_cast<rlim_t>(limitLeaving(spare)));
        STRESS_CHECK(limit.ok(), "setrlimit");
        log.clear();
        const bool ac = OscProbeAC().probe();
        const bool disk = OscProbeDiskSpace({"/"}, 101).probe();
        const bool hm = OscProbeHM().probe();
        bool cpuGo = false, subnetGo = true;
        const std::string cpuError = thrown([&] { cpuGo = cpu.probe(); });
        const std::string subnetError = thrown([&] { subnetGo = subnet->probe(); });
        const std::string listError = thrown([] { OscProbeSubNet::getIFList(); });
        STRESS_CHECK(disk == diskFree, "disk space answer with " << spare << " spare");
        if (spare == 0) {
            STRESS_CHECK(ac && log.contains(kNoAdapter), "AC default");
            STRESS_CHECK(!hm, "HM default (a setting that cannot be read is unreachable)");
            STRESS_CHECK(cpuError == "Couldn't open /proc/stat: " + kTooMany, cpuError);
            STRESS_CHECK(subnetError == "Failed to create IP control socket: " + kTooMany,
                         subnetError);
            STRESS_CHECK(listError == subnetError, listError);
            // start() leaves the failure to the watcher thread.
            STRESS_CHECK(subnet->start(nullptr), "start");
            STRESS_CHECK(eventually([&] { return !subnet->start(nullptr); }, kBoundMs),
                         "the watcher did not fail");
            subnet->stop();
            STRESS_CHECK(hasError(log, "Couldn't create netlink routing socket: " + kTooMany),
                         "no watcher error line");
        } else {
            STRESS_CHECK(ac == acFree || ac, "AC answer with " << spare << " spare");
            STRESS_CHECK(hm, "HM answer with " << spare << " spare");
            STRESS_CHECK(cpuError.empty() && cpuGo, "CPU with " << spare << " spare: " << cpuError);
            // A listing holds its socket while it opens /proc/net/if_inet6.
            const std::string listWant =
                spare == 1 ? "Couldn't open /proc/net/if_inet6: " + kTooMany : std::string();
            STRESS_CHECK(subnetError == listWant && (spare == 1 || !subnetGo),
                         "subnet with " << spare << " spare: " << subnetError);
            STRESS_CHECK(listError == listWant, listError);
        }
    }
    JXPlatformInfo::setSettingsFile(std::string());
    return std::string();
}

// ---- clock --------------------------------------------------------------

std::string clockSetBackAnHour()
{
    LogCapture log(1);
    OscProbeCPU cpu(100);
    STRESS_CHECK(cpu.probe(), "first answer");
    const long before = static_cast<long>(time(nullptr));
    g_clockOffset = -3600;
    const auto t0 = std::chrono::steady_clock::now();
    const bool go = cpu.probe();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    STRESS_CHECK(go && cpu.getLastUsage() >= 0 && cpu.getLastUsage() <= 100,
                 "answer after the clock went back: usage " << cpu.getLastUsage());
    // A fresh history needs one more 2 s sleep, not an hour.
    STRESS_CHECK(seconds < 5, "the call took " << seconds << " s");
    STRESS_CHECK(cpu.probe(), "a further call");

    bool logged = false;
    for (const LogCapture::Line& l : log.lines()) {
        long from = 0, to = 0;
        if (l.severity == EvDebug::SEVERITY_ERROR && l.tag == "OscProbeCPU::probe" &&
            sscanf(l.text.c_str(), "Clock went back from %ld to %ld; discarding CPU history",
                   &from, &to) == 2)
            logged = from >= before - 1 && from - to >= 3590 && from - to <= 3600;
    }
    STRESS_CHECK(logged, "no line saying the clock went back an hour");
    return std::string();
}

} // namespace

TEST(Faults, SignalsWithoutRestartLeaveTheWatcherAndTheCpuSleepUnchanged)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    EXPECT_EQ("", runInChild(signalsChangeNothing, 60));
}

TEST(Faults, EveryFailurePathLeavesTheDescriptorCountUnchanged)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    for (const FailurePath& path : failurePaths()) {
        SCOPED_TRACE(path.name);
        const std::string report = runInChild([&path] { return descriptorsAround(path); });
        EXPECT_EQ("", report);
    }
}

TEST(Faults, WatcherOutlivesAListingThatFailsForWantOfDescriptors)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    EXPECT_EQ("", runInChild(watcherOutlivesAFailedListing, 60));
}

TEST(Faults, ProbesUnderAnOpenFileLimitOfAFewDescriptorsFailCleanly)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    EXPECT_EQ("", runInChild(probesUnderAFewDescriptors, 60));
}

TEST(Faults, ClockSetBackAnHourBetweenCpuProbeCallsNeitherHangsNorCrashes)
{
    EXPECT_EQ("", runInChild(clockSetBackAnHour, 60));
}
