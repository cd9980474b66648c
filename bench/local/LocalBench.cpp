// One probe() of each local probe against this machine's kernel and
// settings; the debug level stays at its default, so level-2 lines are not
// written.
#include <benchmark/benchmark.h>

#include <list>
#include <string>

#include "OscProbeAC.h"
#include "OscProbeDiskSpace.h"
#include "OscProbeHM.h"
#include "internal/OscProbeACInternal.h"

static void BM_DiskSpaceProbeRoot(benchmark::State& state)
{
    OscProbeDiskSpace probe({"/"}, 0.0);
    for (auto _ : state)
        benchmark::DoNotOptimize(probe.probe());
}
BENCHMARK(BM_DiskSpaceProbeRoot);

static void BM_ACProbe(benchmark::State& state)
{
    OscProbeAC probe;
    for (auto _ : state)
        benchmark::DoNotOptimize(probe.probe());
}
BENCHMARK(BM_ACProbe);

static void BM_HMProbe(benchmark::State& state)
{
    OscProbeHM probe;
    for (auto _ : state)
        benchmark::DoNotOptimize(probe.probe());
}
BENCHMARK(BM_HMProbe);

static void BM_ScanAcStateText(benchmark::State& state)
{
    std::string text = "state:                   off-line\n";
    for (auto _ : state)
        benchmark::DoNotOptimize(oscprobe::internal::scanAcStateText(text));
}
BENCHMARK(BM_ScanAcStateText);
