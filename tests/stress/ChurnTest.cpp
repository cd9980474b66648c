// About a minute of churn against the real kernel in a private network
// namespace: addresses are added and removed without pause while 8 host
// threads start, stop, probe and release subnet probes, half of them sharing
// one monitor and half with one each. At the end every thread has finished,
// every released probe is destroyed, the watcher still wakes its hosts, and
// (in a sanitizer build) nothing leaked.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "JxMonitor.h"
#include "JxMonitorLock.h"
#include "NetTestSupport.h"
#include "StressSupport.h"

using namespace oscprobe_test;

namespace {

constexpr int kChurnSeconds = 60;
constexpr int kHostThreads = 8;
constexpr int kSharingThreads = 4;
// Bounds, not expectations.
constexpr int kFinishMs = 30000;
constexpr int kWakeMs = 5000;

std::atomic<long> g_made{0};
std::atomic<long> g_destroyed{0};

// Counts constructions and destructions: the probe's destructor runs when
// the last reference goes, and only then.
class CountedSubNet : public OscProbeSubNet {
public:
    explicit CountedSubNet(const std::list<std::string>& definitions)
        : OscProbeSubNet(definitions)
    {
        ++g_made;
    }
    ~CountedSubNet() override { ++g_destroyed; }
};

struct Counts {
    std::atomic<long> rounds{0}, wakeups{0}, goes{0}, failures{0}, finished{0};
};

// One host thread: rounds of start (sometimes twice), a short wait on the
// monitor, probe, stop and release. Every third round also keeps a probe
// started across the next rounds, so the watcher always has long-lived
// entries to walk while short-lived ones come and go around them.
void host(int id, JxMonitor* monitor, const std::atomic<bool>& stopFlag, Counts* c)
{
    SP<OscProbeSubNet> held;
    for (int r = 0; !stopFlag; ++r) {
        SP<OscProbeSubNet> p(new CountedSubNet({"10.77.0.0/16", "fd77::/16"}));
        c->failures += !p->start(monitor);
        if ((r + id) % 4 == 0)
            c->failures += !p->start(monitor);
        {
            JxMonitorLock lock(monitor);
            c->wakeups += monitor->wait(3);
        }
        try {
            c->goes += p->probe();
        } catch (...) {
            ++c->failures;
        }
        p->stop();
        c->failures += p->refCount() != 1;
        if (r % 3 == 0) {
            if (held)
                held->stop();
            held = new CountedSubNet({"10.78.0.0/16"});
            c->failures += !held->start(monitor);
        }
        ++c->rounds;
    }
    if (held)
        held->stop();
    ++c->finished;
}

std::string churn()
{
    TestLink link("sc0", TestLink::Veth);
    STRESS_CHECK(link.ok(), "cannot make a veth link");
    LogCapture log(1);

    Counts counts;
    std::atomic<bool> stopFlag{false};
    JxMonitor shared;
    std::vector<std::unique_ptr<JxMonitor>> own;
    std::vector<std::thread> hosts;
    for (int i = 0; i < kHostThreads; ++i) {
        own.push_back(std::make_unique<JxMonitor>());
        hosts.emplace_back(host, i, i < kSharingThreads ? &shared : own.back().get(),
                           std::cref(stopFlag), &counts);
    }

    // Batches of additions and removals, IPv4 and IPv6, for the whole run.
    long changes = 0, ipFailures = 0;
    TempDir dir;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kChurnSeconds);
    for (int round = 0; std::chrono::steady_clock::now() < end; ++round) {
        std::string batch;
        for (int i = 1; i <= 8; ++i) {
            const std::string n = std::to_string((round % 50) * 8 + i);
            const std::string v4 =
                "10.77." + std::to_string(round % 200) + "." + std::to_string(i) + "/32";
            const std::string v6 = "fd77::" + n + "/128";
            batch += "addr add " + v4 + " dev sc0\naddr add " + v6 + " dev sc0 nodad\n";
            batch += "addr del " + v4 + " dev sc0\n";
            if (i % 2 == 0)
                batch += "addr del " + v6 + " dev sc0\n";
        }
        // -force goes on past a removal of an address already gone.
        ipFailures += sh("ip -force -batch " + dir.write("batch", batch) + " 2>/dev/null") < 0;
        changes += 8 * 4 - 4;
        // Leave the odd IPv6 addresses in place for a while, then clear them.
        if (round % 10 == 9)
            sh("ip -6 addr flush dev sc0 scope global 2>/dev/null");
    }
    stopFlag = true;

    const bool allFinished =
        eventually([&] { return counts.finished.load() == kHostThreads; }, kFinishMs);
    if (!allFinished) {
        // Left running: the child ends with _exit and reports the hang.
        for (std::thread& t : hosts)
            t.detach();
        return "only " + std::to_string(counts.finished.load()) + " of " +
               std::to_string(kHostThreads) + " host threads finished: deadlock";
    }
    for (std::thread& t : hosts)
        t.join();

    STRESS_CHECK(ipFailures == 0, ipFailures << " runs of ip failed to start");
    STRESS_CHECK(counts.failures == 0, counts.failures << " failed operations");
    STRESS_CHECK(g_destroyed == g_made,
                 g_made << " probes made, " << g_destroyed << " destroyed after release");
    STRESS_CHECK(counts.wakeups > 0, "no host was ever woken");

    // The watcher came through it: a new matching address still wakes.
    LogCapture after(1);
    {
        SP<OscProbeSubNet> p(new CountedSubNet({"10.79.0.0/16"}));
        JxMonitor m;
        STRESS_CHECK(p->start(&m), "start after the churn");
        bool woken = false;
        {
            JxMonitorLock lock(&m);
            STRESS_CHECK(link.add("10.79.0.1/32"), "add");
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(kWakeMs);
            while (!woken && std::chrono::steady_clock::now() < deadline)
                woken = m.wait(100) && after.contains("New IP address just came up.");
        }
        STRESS_CHECK(woken, "the watcher did not wake a host after the churn");
        STRESS_CHECK(p->probe(), "no go with 10.79.0.1 up");
        p->stop();
    }
    for (const LogCapture::Line& l : log.lines())
        STRESS_CHECK(l.severity != EvDebug::SEVERITY_ERROR ||
                         l.text.rfind("Lost routing messages", 0) == 0,
                     "error logged: " << l.tag << ": " << l.text);
    STRESS_CHECK(noLeaks(), "leaks reported above");

    printf("churn: %ld host rounds, %ld probes made and destroyed, %ld wake-ups, %ld go answers, "
           "%ld address changes\n",
           counts.rounds.load(), g_made.load(), counts.wakeups.load(), counts.goes.load(), changes);
    fflush(stdout);
    return std::string();
}

} // namespace

TEST(Churn, HostThreadsAndAddressChangesForAMinuteLeaveNoThreadOrProbeBehind)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    EXPECT_EQ("", runInChild(churn, kChurnSeconds + kFinishMs / 1000 + 60));
}
