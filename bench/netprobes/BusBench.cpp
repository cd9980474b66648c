// A Metered change to host woken: a host waiting on the monitor of a
// started OscProbeMetered against a bare sd-bus client of its own blocked
// on the same PropertiesChanged signal, both on a private bus where
// NetworkManager's mock (python3-dbusmock) changes Metered once per
// iteration. Both are timed from the moment the change is asked for; the
// mock's own work is in both. The target: the host's median within 1 ms of
// the bare client's.
#include <benchmark/benchmark.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "BenchMain.h"
#include "JxMonitor.h"
#include "JxMonitorLock.h"
#include "MockBus.h"
#include "OscProbeMetered.h"
#include "SP.h"
#include "SideBySide.h"

namespace {

using namespace oscprobe_bench;

const char* const kNm = "org.freedesktop.NetworkManager";
const char* const kNmPath = "/org/freedesktop/NetworkManager";

int onSignal(sd_bus_message* /*m*/, void* stamp, sd_bus_error* /*error*/)
{
    static_cast<std::atomic<int64_t>*>(stamp)->store(nowNs());
    return 0;
}

void BM_MeteredWakeLatency(benchmark::State& state)
{
    oscprobe_test::MockBus bus;
    sd_bus* bare = nullptr;
    std::atomic<int64_t> hostWake{0}, bareWake{0};
    if (!bus.why().empty() || sd_bus_open_system(&bare) < 0 ||
        sd_bus_add_match(bare, nullptr,
                         "type='signal',sender='org.freedesktop.NetworkManager',"
                         "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
                         "path_namespace='/org/freedesktop/NetworkManager'",
                         &onSignal, &bareWake) < 0) {
        state.SkipWithError(bus.why().empty() ? "no bus" : bus.why().c_str());
        sd_bus_close_unref(bare);
        return;
    }
    bus.mock(kNm, kNmPath, "AddProperty", "ssv", kNm, "Metered", "u", 2);
    JxMonitor monitor;
    SP<OscProbeMetered> probe(new OscProbeMetered);
    probe->start(&monitor);
    std::atomic<bool> quit{false}, hostWaiting{false};
    std::thread host([&] {
        JxMonitorLock lock(&monitor);
        hostWaiting = true;
        while (!quit)
            if (monitor.wait(100))
                hostWake = nowNs();
    });
    std::thread listener([&] {
        while (!quit)
            if (sd_bus_process(bare, nullptr) == 0)
                sd_bus_wait(bare, 100000);
    });
    while (!hostWaiting)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::vector<int64_t> lib, ref, diff;
    uint32_t metered = 2;
    for (auto _ : state) {
        metered = metered == 2 ? 1 : 2;
        { JxMonitorLock wait(&monitor); } // the host is back in its wait
        hostWake = 0;
        bareWake = 0;
        const int64_t asked = nowNs();
        bus.mock(kNm, kNmPath, "UpdateProperties", "sa{sv}", kNm, 1, "Metered", "u", metered);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while ((hostWake == 0 || bareWake == 0) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        if (hostWake == 0 || bareWake == 0) {
            state.SkipWithError("no wake-up for a Metered change");
            break;
        }
        lib.push_back(hostWake - asked);
        ref.push_back(bareWake - asked);
        diff.push_back(lib.back() - ref.back());
        state.SetIterationTime(static_cast<double>(lib.back()) * 1e-9);
    }
    quit = true;
    host.join();
    listener.join();
    probe->stop();
    sd_bus_close_unref(bare);
    if (lib.empty())
        return;
    state.counters["lib_med_us"] = median(lib) / 1e3;
    state.counters["lib_p99_us"] = percentile(lib, 0.99) / 1e3;
    state.counters["ref_med_us"] = median(ref) / 1e3;
    state.counters["ref_p99_us"] = percentile(ref, 0.99) / 1e3;
    state.counters["behind_med_us"] = median(diff) / 1e3;
    state.counters["behind_p99_us"] = percentile(diff, 0.99) / 1e3;
}
BENCHMARK(BM_MeteredWakeLatency)->UseManualTime()->Iterations(300)->Repetitions(3);

} // namespace

int main(int argc, char** argv) { return oscprobe_bench::runBenchmarks(argc, argv); }
