// CRC-32 over address records and pages; the cost of a log line that the
// level gates out (paid by every level-2 call on a quiet host).
#include <benchmark/benchmark.h>

#include <vector>

#include "EvDebug.h"
#include "ZuNetwork.h"
#include "ZuUtils.h"

namespace {

// The interface checksum runs over one 28-byte record per address.
void BM_Crc32AddressRecords(benchmark::State& state)
{
    std::vector<ZUNET_SockAddr> records(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < records.size(); ++i)
        ZUNET_str2ip(i % 2 ? "fe80::1:2" : "10.1.2.3", &records[i]);
    for (auto _ : state) {
        unsigned int crc = 0xFFFFFFFFU;
        for (const ZUNET_SockAddr& r : records)
            jx_crc32(r.raw, sizeof r.raw, &crc);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(records.size() * sizeof(ZUNET_SockAddr)));
}
BENCHMARK(BM_Crc32AddressRecords)->Arg(1)->Arg(16);

void BM_Crc32Buffer4K(benchmark::State& state)
{
    std::vector<unsigned char> page(4096);
    for (size_t i = 0; i < page.size(); ++i)
        page[i] = static_cast<unsigned char>(i * 31);
    for (auto _ : state) {
        unsigned int crc = 0xFFFFFFFFU;
        jx_crc32(page.data(), page.size(), &crc);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_Crc32Buffer4K);

void BM_DebugLvlGatedOut(benchmark::State& state)
{
    EvDebug::setDebugLevel(1);
    EvDebug log(nullptr);
    int i = 0;
    for (auto _ : state)
        log.DebugLvl("OscProbeCPU::probe", 2, "usage %d%% over %d s", ++i, 30);
    benchmark::DoNotOptimize(i);
}
BENCHMARK(BM_DebugLvlGatedOut)->ThreadRange(1, 2);

} // namespace

BENCHMARK_MAIN();
