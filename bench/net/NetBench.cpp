// The network probe against the kernel in a network namespace of this
// process's own, at 1, 10, 100 and 1000 bridges:
//   Enumeration/N        getIFList() against the C library's getifaddrs()
//   SubNetProbe/N        probe() in subnet mode, ten subnets, none matching
//   IfaceConfigCRC32/N   getIfaceConfigCRC32()
//   WakeLatency/N        from the acknowledgement of an address added here
//                        to the return of a host's wait, against a bare
//                        netlink listener stamped from the same
//                        acknowledgement (1, 100, 1000 bridges)
//   AddressStorm/100     10,000 addresses in one netlink stream
//   WatcherChange/N      the watcher's CPU time per change of one address
//                        among N on one interface (1,000, 10,000, 50,000),
//                        against one listing's
// The watcher lives in this namespace for the rest of the process once the
// first rig starts it, so the bridges only grow and the benchmarks run in
// the order registered below.
#include <benchmark/benchmark.h>

#include <ifaddrs.h>
#include <net/if.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "AddressRequests.h"
#include "BridgeSet.h"
#include "EvDebug.h"
#include "InterfaceReadCounter.h"
#include "OscProbeSubNet.h"
#include "SideBySide.h"
#include "WakeRig.h"

using namespace oscprobe_bench;

namespace {

constexpr int kStormAddresses = 10000;
constexpr int kWakeBoundMs = 10000;

const std::list<std::string> kTenSubnets = {
    "192.0.2.0/24",   "198.51.100.0/24", "203.0.113.0/24",  "192.88.99.0/24", "100.127.0.0/16",
    "169.254.0.0/16", "2001:db8:1::/48", "2001:db8:2::/48", "fd00:1::/64",    "fd00:2::/64"};

// Every address a wake-up measurement adds is new: a repeated one would
// leave the interface list as the watcher last saw it, and wake nobody.
uint32_t nextWakeAddress = (172u << 24) | (16u << 16) | 1;

bool prepare(benchmark::State& state, int bridges)
{
    std::string why = BridgeSet::growTo(bridges);
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return false;
    }
    // Interfaces just made keep the watcher busy for a moment.
    WakeRig::untilWatcherIdle();
    return true;
}

void getifaddrsOnce()
{
    struct ifaddrs* list = nullptr;
    benchmark::DoNotOptimize(getifaddrs(&list));
    freeifaddrs(list);
}

void BM_Enumeration(benchmark::State& state, int bridges)
{
    if (!prepare(state, bridges))
        return;
    sideBySide(
        state, [] { benchmark::DoNotOptimize(OscProbeSubNet::getIFList()); }, getifaddrsOnce);
}

void BM_SubNetProbe(benchmark::State& state, int bridges)
{
    if (!prepare(state, bridges))
        return;
    OscProbeSubNet probe(kTenSubnets);
    sideBySide(state, [&] { benchmark::DoNotOptimize(probe.probe()); }, getifaddrsOnce);
}

void BM_IfaceConfigCRC32(benchmark::State& state, int bridges)
{
    if (!prepare(state, bridges))
        return;
    sideBySide(
        state, [] { benchmark::DoNotOptimize(OscProbeSubNet::getIfaceConfigCRC32()); },
        getifaddrsOnce);
}

// Median time of one getIFList() now, in nanoseconds.
double enumerationNs(int times)
{
    std::vector<int64_t> samples;
    for (int i = 0; i < times; ++i) {
        int64_t t0 = nowNs();
        benchmark::DoNotOptimize(OscProbeSubNet::getIFList());
        samples.push_back(nowNs() - t0);
    }
    return median(samples);
}

// Runs the calling thread at real-time priority while `on`, so that the
// threads its requests wake cannot delay the stamp it takes on reading an
// acknowledgement. Returns whether that took effect.
bool realTime(bool on)
{
    struct sched_param param;
    memset(&param, 0, sizeof param);
    param.sched_priority = on ? 10 : 0;
    return pthread_setschedparam(pthread_self(), on ? SCHED_FIFO : SCHED_OTHER, &param) == 0;
}

// Polls (sleeping: the threads being measured stamp their own times) until
// `done` or the bound.
template <class Done> bool within(int ms, Done done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// Whether the request socket and the rig came up; skips the benchmark if
// not. Then waits until the watcher is idle (the first rig's watcher takes
// its snapshot).
bool inPlace(benchmark::State& state, const AddressRequests& requests, const WakeRig& rig)
{
    if (!requests.error().empty() || !rig.error().empty()) {
        state.SkipWithError((requests.error() + rig.error()).c_str());
        return false;
    }
    WakeRig::untilWatcherIdle();
    return true;
}

void BM_WakeLatency(benchmark::State& state, int bridges)
{
    if (!prepare(state, bridges))
        return;
    AddressRequests requests;
    WakeRig rig;
    if (!inPlace(state, requests, rig))
        return;
    const int ifindex = BridgeSet::ifindex(0);

    // One listing is timed in every iteration too, once the watcher is done,
    // so that the budget below sees the same moments as the latencies.
    std::vector<int64_t> lib, ref, watcherCpu, listing;
    state.counters["realtime"] = realTime(true);
    auto fail = [&](const char* why) {
        realTime(false);
        state.SkipWithError(why);
    };
    for (auto _ : state) {
        const std::vector<AddressRequests::Address> one = {{ifindex, nextWakeAddress++, 32}};
        // Every address finds the watcher asleep in its receive and the host
        // in its wait.
        if (!WakeRig::untilWatcherReceives())
            return fail("the watcher never went back to its receive");
        rig.untilHostWaits();
        const uint64_t hostBefore = rig.hostWakes(), bareBefore = rig.bareWakes();
        const int64_t cpuBefore = WakeRig::watcherCpuNs();
        const int64_t ack = requests.add(one);
        if (ack < 0)
            return fail(requests.error().c_str());
        if (!within(kWakeBoundMs,
                    [&] { return rig.hostWakes() > hostBefore && rig.bareWakes() > bareBefore; }))
            return fail("no wake-up for a new address");
        lib.push_back(rig.lastHostWake() - ack);
        ref.push_back(rig.lastBareWake() - ack);
        state.SetIterationTime(static_cast<double>(std::max<int64_t>(0, lib.back())) * 1e-9);
        // The watcher re-reads after waking the host: its CPU time for the
        // address is whole once it is back in its receive, and the listing
        // timed then runs alone.
        if (!WakeRig::untilWatcherReceives())
            return fail("the watcher never went back to its receive");
        watcherCpu.push_back(WakeRig::watcherCpuNs() - cpuBefore);
        const int64_t t0 = nowNs();
        benchmark::DoNotOptimize(OscProbeSubNet::getIFList());
        listing.push_back(nowNs() - t0);
        if (requests.remove(one) < 0)
            return fail(requests.error().c_str());
    }
    realTime(false);
    const double libMedian = median(lib), refMedian = median(ref), enumNs = median(listing);
    state.counters["lib_med_us"] = libMedian / 1e3;
    state.counters["lib_p99_us"] = percentile(lib, 0.99) / 1e3;
    state.counters["ref_med_us"] = refMedian / 1e3;
    state.counters["ref_p99_us"] = percentile(ref, 0.99) / 1e3;
    state.counters["enum_us"] = enumNs / 1e3;
    // What the watcher spent per new address: against enum_us it shows how
    // much of the latency is work and how much waiting for a processor.
    state.counters["watcher_cpu_us"] = median(watcherCpu) / 1e3;
    // The target: the library's median within the bare listener's plus one
    // enumeration, i.e. this at most 1.
    state.counters["med_vs_budget"] = libMedian / (refMedian + enumNs);
}

void BM_AddressStorm(benchmark::State& state, int bridges)
{
    if (!prepare(state, bridges))
        return;
    AddressRequests requests;
    WakeRig rig;
    if (!inPlace(state, requests, rig))
        return;

    std::atomic<int> changes{0}, overflows{0};
    EvDebug::setLogHandler([&](int, const char*, const char* text) {
        changes += strcmp(text, "New IP address just came up.") == 0;
        overflows += strncmp(text, "Lost routing messages", 21) == 0;
    });

    // 100.64.0.1 onwards, spread evenly over the bridges.
    std::vector<AddressRequests::Address> storm;
    for (int i = 0; i < kStormAddresses; ++i)
        storm.push_back({BridgeSet::ifindex(i % bridges),
                         ((100u << 24) | (64u << 16)) + static_cast<uint32_t>(i) + 1, 32});

    for (auto _ : state) {
        const uint64_t readsBefore = oscprobe_test::InterfaceReadCounter::listings();
        const int64_t cpuBefore = WakeRig::watcherCpuNs();
        const uint64_t hostBefore = rig.hostWakes();
        const bool rt = realTime(true);
        const int64_t lastAck = requests.add(storm);
        realTime(false);
        if (lastAck < 0) {
            state.SkipWithError(requests.error().c_str());
            break;
        }
        const bool idle = WakeRig::untilWatcherIdle(1000);
        const int64_t cpuAfter = WakeRig::watcherCpuNs();
        const uint64_t reads = oscprobe_test::InterfaceReadCounter::listings() - readsBefore;
        const int64_t lastWake = rig.lastHostWake();
        const int64_t lastBare = rig.lastBareWake();
        const bool woken = rig.hostWakes() > hostBefore && lastWake >= lastAck - 1000000000;
        const double enumNs = enumerationNs(21);

        // Still alive: one more address still wakes the host.
        rig.untilHostWaits();
        const uint64_t hostAfterStorm = rig.hostWakes();
        const std::vector<AddressRequests::Address> probeAddr = {
            {BridgeSet::ifindex(0), (172u << 24) | (31u << 16) | 1, 32}};
        requests.add(probeAddr);
        const bool alive = within(kWakeBoundMs, [&] { return rig.hostWakes() > hostAfterStorm; });
        requests.remove(probeAddr);
        requests.remove(storm);
        WakeRig::untilWatcherIdle();

        state.SetIterationTime(static_cast<double>(lastWake - lastAck) * 1e-9);
        state.counters["last_wake_ms"] = static_cast<double>(lastWake - lastAck) / 1e6;
        state.counters["bare_last_ms"] = static_cast<double>(lastBare - lastAck) / 1e6;
        state.counters["realtime"] = rt;
        state.counters["enum_ms"] = enumNs / 1e6;
        state.counters["wake_vs_2enum"] = static_cast<double>(lastWake - lastAck) / (2 * enumNs);
        state.counters["rereads"] = static_cast<double>(reads);
        state.counters["changes"] = changes.load();
        state.counters["overflows"] = overflows.load();
        state.counters["watcher_cpu_ms"] = static_cast<double>(cpuAfter - cpuBefore) / 1e6;
        state.counters["alive"] = alive && idle && woken;
        if (!woken)
            state.SkipWithError("the host was never woken by the storm");
        else if (!alive)
            state.SkipWithError("the watcher no longer wakes the host");
    }
    EvDebug::setLogHandler([](int, const char*, const char*) {});
}

// The interface that carries the many addresses of WatcherChange, and the
// addresses it carries, oldest first (the kernel lists them in that order).
// Both only grow across the arguments, which run in ascending order.
const char* const kCrowdedName = "many0";
std::vector<uint32_t> crowded;
// 198.18.0.1 onwards; a removed address is never used again.
uint32_t nextCrowded = (198u << 24) | (18u << 16) | 1;

std::string crowdTo(AddressRequests& requests, size_t count)
{
    if (if_nametoindex(kCrowdedName) == 0 &&
        system("ip link add many0 type bridge && ip link set many0 addrgenmode none && "
               "ip link set many0 up") != 0)
        return "cannot make many0";
    const int ifindex = static_cast<int>(if_nametoindex(kCrowdedName));
    std::vector<AddressRequests::Address> more;
    while (crowded.size() + more.size() < count)
        more.push_back({ifindex, nextCrowded++, 32});
    if (!more.empty() && requests.add(more) < 0)
        return requests.error();
    for (const AddressRequests::Address& a : more)
        crowded.push_back(a.ipv4);
    return std::string();
}

int64_t threadCpuNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// One change as the watcher sees it: the address in the middle of `many0`
// goes and a new one comes at the end, so the count stays and the two lists
// are one place apart from the middle on.
void BM_WatcherChange(benchmark::State& state)
{
    AddressRequests requests;
    if (!requests.error().empty()) {
        state.SkipWithError(requests.error().c_str());
        return;
    }
    const std::string why = crowdTo(requests, static_cast<size_t>(state.range(0)));
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    WakeRig rig;
    if (!inPlace(state, requests, rig))
        return;
    const int ifindex = static_cast<int>(if_nametoindex(kCrowdedName));

    std::vector<int64_t> watcherCpu, listing;
    auto fail = [&](const char* reason) { state.SkipWithError(reason); };
    for (auto _ : state) {
        if (!WakeRig::untilWatcherReceives())
            return fail("the watcher never went back to its receive");
        rig.untilHostWaits();
        const uint64_t hostBefore = rig.hostWakes();
        const int64_t cpuBefore = WakeRig::watcherCpuNs();
        const auto middle = crowded.begin() + static_cast<std::ptrdiff_t>(crowded.size() / 2);
        if (requests.remove({{ifindex, *middle, 32}}) < 0 ||
            requests.add({{ifindex, nextCrowded, 32}}) < 0)
            return fail(requests.error().c_str());
        crowded.erase(middle);
        crowded.push_back(nextCrowded++);
        if (!within(kWakeBoundMs, [&] { return rig.hostWakes() > hostBefore; }))
            return fail("no wake-up for a new address");
        // The host is woken before the re-read: the change is whole once
        // the watcher is back in its receive.
        if (!WakeRig::untilWatcherReceives(120000))
            return fail("the watcher never went back to its receive");
        watcherCpu.push_back(WakeRig::watcherCpuNs() - cpuBefore);
        state.SetIterationTime(static_cast<double>(watcherCpu.back()) * 1e-9);
        // A listing's CPU time on this thread, the same clock as the watcher's.
        const int64_t t0 = threadCpuNs();
        benchmark::DoNotOptimize(OscProbeSubNet::getIFList());
        listing.push_back(threadCpuNs() - t0);
    }
    const double cpuNs = median(watcherCpu), enumNs = median(listing);
    state.counters["watcher_cpu_ms"] = cpuNs / 1e6;
    state.counters["enum_ms"] = enumNs / 1e6;
    // The target: at most 3 at 50,000 addresses.
    state.counters["cpu_vs_enum"] = enumNs > 0 ? cpuNs / enumNs : 0;
}

} // namespace

int main(int argc, char** argv)
{
    // A namespace of our own: the interfaces are made and removed here only,
    // and the process's threads all live in it (none exist yet).
    if (unshare(CLONE_NEWNET) != 0) {
        fprintf(stderr, "bench_net: unshare(CLONE_NEWNET): %s (run as root)\n", strerror(errno));
        return 1;
    }
    EvDebug::setDebugLevel(1);
    EvDebug::setLogHandler([](int, const char*, const char*) {});
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    // Three repetitions of each, reported with their median (the machine's
    // noise moves single runs by more than the differences measured).
    constexpr int kRepetitions = 3;
    for (int n : {1, 10, 100, 1000}) {
        const std::string arg = "/" + std::to_string(n);
        benchmark::RegisterBenchmark(("Enumeration" + arg).c_str(), BM_Enumeration, n)
            ->UseManualTime()
            ->Repetitions(kRepetitions);
        benchmark::RegisterBenchmark(("SubNetProbe" + arg).c_str(), BM_SubNetProbe, n)
            ->UseManualTime()
            ->Repetitions(kRepetitions);
        benchmark::RegisterBenchmark(("IfaceConfigCRC32" + arg).c_str(), BM_IfaceConfigCRC32, n)
            ->UseManualTime()
            ->Repetitions(kRepetitions);
        if (n != 10)
            benchmark::RegisterBenchmark(("WakeLatency" + arg).c_str(), BM_WakeLatency, n)
                ->UseManualTime()
                ->Iterations(400)
                ->Repetitions(kRepetitions)
                ->Unit(benchmark::kMicrosecond);
        if (n == 100)
            benchmark::RegisterBenchmark(("AddressStorm" + arg).c_str(), BM_AddressStorm, n)
                ->UseManualTime()
                ->Iterations(1)
                ->Repetitions(kRepetitions)
                ->Unit(benchmark::kMillisecond);
    }
    // Last: the addresses it adds stay.
    benchmark::RegisterBenchmark("WatcherChange", BM_WatcherChange)
        ->Arg(1000)
        ->Arg(10000)
        ->Arg(50000)
        ->UseManualTime()
        ->Iterations(10)
        ->Repetitions(kRepetitions)
        ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
