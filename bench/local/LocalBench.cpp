// One probe() of each local probe against the bare calls it wraps, timed
// alternately in the same loop (see SideBySide.h). The debug level is 1, so
// no level-2 line is built.
//
// The AC probe reads an adapter laid out on a tmpfs over /proc/acpi in a
// mount namespace of this process's own (this machine has no adapter); the
// Hubmaster probe reads a settings file written for the run.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <ini.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "BenchMain.h"
#include "EvDebug.h"
#include "JXPlatformInfo.h"
#include "OscProbeAC.h"
#include "OscProbeCPU.h"
#include "OscProbeDiskSpace.h"
#include "OscProbeHM.h"
#include "SideBySide.h"

using oscprobe_bench::nowNs;
using oscprobe_bench::sideBySide;

namespace {

const char kAdapterDir[] = "/proc/acpi/ac_adapter";

// One open, read and close of /proc/stat: what a CPU reading costs bare.
void readProcStat()
{
    char bytes[128];
    int fd = open("/proc/stat", O_RDONLY | O_CLOEXEC);
    ssize_t got = read(fd, bytes, sizeof bytes);
    close(fd);
    benchmark::DoNotOptimize(got);
    benchmark::DoNotOptimize(bytes);
}

void BM_CPUProbeWithoutReading(benchmark::State& state)
{
    OscProbeCPU probe(100);
    probe.probe(); // the first call in the process waits for two readings
    // Readings are taken at most every two seconds; the medians leave out
    // the few iterations that take one.
    sideBySide(state, [&] { benchmark::DoNotOptimize(probe.probe()); }, readProcStat);
}
BENCHMARK(BM_CPUProbeWithoutReading)->UseManualTime();

// Each iteration waits (untimed) until the history is old enough that the
// next probe() takes a reading, then times that probe() and one bare read,
// alternating which goes first. Whichever goes first after the pause runs
// cold, as a reading in a host does (taken seconds after the last), and
// pays several times what the second one does; so cold is compared with
// cold and warm with warm, never a cold probe with a warm read.
void BM_CPUProbeWithReading(benchmark::State& state)
{
    OscProbeCPU probe(100);
    probe.probe();
    std::vector<int64_t> coldLib, coldRef, warmLib, warmRef;
    uint64_t allocations = 0;
    bool libraryFirst = true;
    for (auto _ : state) {
        const time_t taken = time(nullptr);
        while (time(nullptr) < taken + 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        auto timeProbe = [&] {
            const uint64_t before = oscprobe_bench::AllocationCounter::thisThread();
            const int64_t t0 = nowNs();
            benchmark::DoNotOptimize(probe.probe());
            const int64_t ns = nowNs() - t0;
            allocations += oscprobe_bench::AllocationCounter::thisThread() - before;
            state.SetIterationTime(static_cast<double>(ns) * 1e-9);
            return ns;
        };
        auto timeRead = [] {
            const int64_t t0 = nowNs();
            readProcStat();
            return nowNs() - t0;
        };
        if (libraryFirst) {
            coldLib.push_back(timeProbe());
            warmRef.push_back(timeRead());
        } else {
            coldRef.push_back(timeRead());
            warmLib.push_back(timeProbe());
        }
        libraryFirst = !libraryFirst;
    }
    using oscprobe_bench::median;
    state.counters["lib_ns"] = median(coldLib);
    state.counters["ref_ns"] = median(coldRef);
    state.counters["ratio"] = median(coldLib) / median(coldRef);
    state.counters["warm_lib_ns"] = median(warmLib);
    state.counters["warm_ref_ns"] = median(warmRef);
    state.counters["warm_ratio"] = median(warmLib) / median(warmRef);
    state.counters["allocs"] =
        static_cast<double>(allocations) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_CPUProbeWithReading)->UseManualTime()->Iterations(20);

void BM_DiskSpaceProbe(benchmark::State& state)
{
    OscProbeDiskSpace probe({"/"}, 0.0); // one directory, never below: one query
    sideBySide(
        state, [&] { benchmark::DoNotOptimize(probe.probe()); },
        [] {
            struct statvfs64 st;
            benchmark::DoNotOptimize(statvfs64("/", &st));
            benchmark::DoNotOptimize(st);
        });
}
BENCHMARK(BM_DiskSpaceProbe)->UseManualTime();

// The directory walk and state-file read the probe makes, written plainly.
bool bareAdapterOnline()
{
    DIR* dir = opendir(kAdapterDir);
    if (dir == nullptr)
        return true;
    char path[512] = "";
    while (struct dirent64* e = readdir64(dir)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        snprintf(path, sizeof path, "%s/%s/state", kAdapterDir, e->d_name);
        break;
    }
    closedir(dir);
    bool online = true;
    if (FILE* f = fopen(path, "r")) {
        char line[256];
        while (fgets(line, sizeof line, f) != nullptr)
            online = strstr(line, "off-line") == nullptr;
        fclose(f);
    }
    return online;
}

// Lays out one adapter on a tmpfs over /proc/acpi, visible to this process
// only. An empty result means it is in place.
std::string layOutAdapter()
{
    if (unshare(CLONE_NEWNS) != 0)
        return std::string("unshare: ") + strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/proc/acpi", "tmpfs", 0, "size=64k") != 0)
        return std::string("mount: ") + strerror(errno);
    std::string dir = std::string(kAdapterDir) + "/ADP1";
    if (mkdir(kAdapterDir, 0755) != 0 || mkdir(dir.c_str(), 0755) != 0)
        return std::string("mkdir: ") + strerror(errno);
    FILE* f = fopen((dir + "/state").c_str(), "w");
    if (f == nullptr)
        return std::string("state file: ") + strerror(errno);
    fputs("state:                   on-line\n", f);
    fclose(f);
    return std::string();
}

void BM_ACProbe(benchmark::State& state)
{
    static const std::string why = layOutAdapter();
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    OscProbeAC probe;
    sideBySide(
        state, [&] { benchmark::DoNotOptimize(probe.probe()); },
        [] { benchmark::DoNotOptimize(bareAdapterOnline()); });
}
BENCHMARK(BM_ACProbe)->UseManualTime();

int onSetting(void* user, const char* section, const char* name, const char* value)
{
    if (strcmp(section, "Runtime") == 0 && strcmp(name, "nHMONLINE") == 0)
        *static_cast<int*>(user) = atoi(value);
    return 1;
}

void BM_HMProbe(benchmark::State& state)
{
    char path[] = "/tmp/oscprobe-bench-XXXXXX";
    int fd = mkstemp(path);
    const char text[] = "[General]\nName=bench\n\n[Runtime]\nnHMONLINE=1\nnOther=0\n";
    if (fd < 0 || write(fd, text, sizeof text - 1) != static_cast<ssize_t>(sizeof text - 1)) {
        state.SkipWithError("cannot write the settings file");
        return;
    }
    close(fd);
    JXPlatformInfo::setSettingsFile(path);
    OscProbeHM probe;
    sideBySide(
        state, [&] { benchmark::DoNotOptimize(probe.probe()); },
        [&] {
            int online = 0;
            benchmark::DoNotOptimize(ini_parse(path, onSetting, &online));
            benchmark::DoNotOptimize(online);
        });
    JXPlatformInfo::setSettingsFile("");
    unlink(path);
}
BENCHMARK(BM_HMProbe)->UseManualTime();

} // namespace

int main(int argc, char** argv) { return oscprobe_bench::runBenchmarks(argc, argv); }
