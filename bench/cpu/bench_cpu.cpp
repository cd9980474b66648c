// Cost of one CPU reading: parsing the head of /proc/stat, and the whole
// open, read, parse and close against the running kernel.
#include <benchmark/benchmark.h>

#include "OscProbeCPU.h"
#include "internal/OscProbeCPUInternal.h"

namespace {

const char kHead[] = "cpu  4085 0 3035 82150 390 0 56 0 0 0\n"
                     "cpu0 1901 0 1396 41497 33 0 23 0 0 0\n"
                     "cpu1 2184 0 1639 40652 357 0 33 0 0 0\n"
                     "intr 107001 0 0\n";

void BM_ParseProcStat(benchmark::State& state)
{
    long long busy = 0, idle = 0;
    for (auto _ : state) {
        bool ok = oscprobe::internal::parseProcStat(
            kHead, oscprobe::internal::kProcStatReadSize, &busy, &idle);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(busy);
        benchmark::DoNotOptimize(idle);
    }
}
BENCHMARK(BM_ParseProcStat);

void BM_GetCurrentCPU(benchmark::State& state)
{
    // Keep the construction lines out of the report.
    EvDebug::setLogHandler([](int, const char*, const char*) {});
    OscProbeCPU probe(80);
    long long busy = 0, idle = 0;
    for (auto _ : state) {
        probe.getCurrentCPU(&busy, &idle);
        benchmark::DoNotOptimize(busy);
        benchmark::DoNotOptimize(idle);
    }
}
BENCHMARK(BM_GetCurrentCPU);

} // namespace

BENCHMARK_MAIN();
