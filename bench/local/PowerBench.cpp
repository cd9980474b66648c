// Plug-in to host wake-up: a host waiting on a monitor it watches through
// OscProbeWake::watchPower against a bare thread blocked in recv on a kernel
// uevent socket.
// Each iteration writes a charger's `online` file on a tmpfs over
// /sys/class/power_supply and multicasts the uevent the kernel would send,
// both in namespaces of this process's own (needs root). The target: the
// host's median wake-up within the bare listener's plus one AC probe().
#include <benchmark/benchmark.h>
#include <errno.h>
#include <linux/netlink.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchMain.h"
#include "EvDebug.h"
#include "JxMonitor.h"
#include "JxMonitorLock.h"
#include "OscProbeAC.h"
#include "OscProbeWake.h"
#include "SP.h"
#include "SideBySide.h"

namespace {

using namespace oscprobe_bench;

const char kSupplies[] = "/sys/class/power_supply";

std::string enterPowerNamespaces()
{
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
        return std::string("unshare: ") + strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", kSupplies, "tmpfs", 0, "size=64k") != 0)
        return std::string("mount: ") + strerror(errno);
    const std::string ac = std::string(kSupplies) + "/AC", bat = std::string(kSupplies) + "/BAT0";
    mkdir(ac.c_str(), 0755);
    mkdir(bat.c_str(), 0755);
    std::ofstream(ac + "/type") << "Mains\n";
    std::ofstream(ac + "/online") << "0\n";
    std::ofstream(bat + "/type") << "Battery\n";
    std::ofstream(bat + "/status") << "Discharging\n";
    return std::string();
}

int ueventSocket(bool listen)
{
    const int sock = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    struct sockaddr_nl address;
    memset(&address, 0, sizeof address);
    address.nl_family = AF_NETLINK;
    address.nl_groups = listen ? 1 : 0;
    // A timeout only so that the listener can be told to end.
    struct timeval tick = {0, 100000};
    if (sock < 0 || bind(sock, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick) != 0)
        return -1;
    return sock;
}

void BM_PowerWakeLatency(benchmark::State& state)
{
    static const std::string why = enterPowerNamespaces();
    const int sender = ueventSocket(false), bare = ueventSocket(true);
    JxMonitor monitor;
    SP<OscProbeAC> probe(new OscProbeAC());
    if (!why.empty() || sender < 0 || bare < 0 || !OscProbeWake::watchPower(&monitor)) {
        state.SkipWithError(why.empty() ? "no uevent socket" : why.c_str());
        return;
    }
    std::atomic<bool> quit{false}, hostWaiting{false};
    std::atomic<int64_t> hostWake{0}, bareWake{0};
    std::thread host([&] {
        JxMonitorLock lock(&monitor);
        hostWaiting = true;
        while (!quit)
            if (monitor.wait(100))
                hostWake = nowNs();
    });
    std::thread listener([&] {
        char buffer[8192];
        while (!quit)
            if (recv(bare, buffer, sizeof buffer, 0) > 0)
                bareWake = nowNs();
    });
    while (!hostWaiting)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::vector<int64_t> lib, ref, probes;
    struct sockaddr_nl group;
    memset(&group, 0, sizeof group);
    group.nl_family = AF_NETLINK;
    group.nl_groups = 1;
    int online = 0;
    for (auto _ : state) {
        online ^= 1;
        std::ofstream(std::string(kSupplies) + "/AC/online") << online << "\n";
        const std::string event = std::string("change@/devices/virtual/power_supply/AC") + '\0' +
                                  "ACTION=change" + '\0' + "SUBSYSTEM=power_supply" + '\0' +
                                  "POWER_SUPPLY_ONLINE=" + std::to_string(online);
        { JxMonitorLock wait(&monitor); } // the host is back in its wait
        hostWake = 0;
        bareWake = 0;
        const int64_t sent = nowNs();
        if (sendto(sender, event.data(), event.size(), 0, reinterpret_cast<struct sockaddr*>(&group),
                   sizeof group) < 0) {
            state.SkipWithError(strerror(errno));
            break;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while ((hostWake == 0 || bareWake == 0) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        if (hostWake == 0 || bareWake == 0) {
            state.SkipWithError("no wake-up for a power event");
            break;
        }
        lib.push_back(hostWake - sent);
        ref.push_back(bareWake - sent);
        state.SetIterationTime(static_cast<double>(lib.back()) * 1e-9);
        const int64_t t0 = nowNs();
        benchmark::DoNotOptimize(probe->probe());
        probes.push_back(nowNs() - t0);
    }
    quit = true;
    host.join();
    listener.join();
    OscProbeWake::unwatchPower(&monitor);
    close(sender);
    close(bare);
    if (lib.empty())
        return;
    const double libMedian = median(lib), refMedian = median(ref), probeNs = median(probes);
    state.counters["lib_med_us"] = libMedian / 1e3;
    state.counters["lib_p99_us"] = percentile(lib, 0.99) / 1e3;
    state.counters["ref_med_us"] = refMedian / 1e3;
    state.counters["ref_p99_us"] = percentile(ref, 0.99) / 1e3;
    state.counters["probe_us"] = probeNs / 1e3;
    state.counters["med_vs_budget"] = libMedian / (refMedian + probeNs);
}
BENCHMARK(BM_PowerWakeLatency)->UseManualTime()->Iterations(500);

} // namespace

int main(int argc, char** argv) { return oscprobe_bench::runBenchmarks(argc, argv); }
