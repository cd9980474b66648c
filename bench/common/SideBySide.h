// SideBySide: times a library call and the bare call it wraps alternately
// in one benchmark loop, so both see the same machine at the same moment.
// The benchmark's own time is the library's (manual timing); counters give
// the medians of both, their ratio, and the library's allocations per call.
//
// Threading: runs on the benchmark's thread only.
#ifndef OSCPROBE_BENCH_SIDEBYSIDE_H
#define OSCPROBE_BENCH_SIDEBYSIDE_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "AllocationCounter.h"

namespace oscprobe_bench {

// Median of `samples` (reordered), in the unit they were taken in.
inline double median(std::vector<int64_t>& samples)
{
    if (samples.empty())
        return 0;
    auto mid = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
    std::nth_element(samples.begin(), mid, samples.end());
    return static_cast<double>(*mid);
}

// The value below which `fraction` of the samples lie.
inline double percentile(std::vector<int64_t>& samples, double fraction)
{
    if (samples.empty())
        return 0;
    auto at = samples.begin() +
              static_cast<std::ptrdiff_t>(fraction * static_cast<double>(samples.size() - 1));
    std::nth_element(samples.begin(), at, samples.end());
    return static_cast<double>(*at);
}

inline int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Register the benchmark with ->UseManualTime().
template <class Library, class Reference>
void sideBySide(benchmark::State& state, Library library, Reference reference)
{
    std::vector<int64_t> lib, ref;
    lib.reserve(static_cast<size_t>(state.max_iterations));
    ref.reserve(static_cast<size_t>(state.max_iterations));
    uint64_t allocations = 0;
    bool libraryFirst = true;
    for (auto _ : state) {
        // Alternate which goes first, so that neither always pays for caches
        // the other warmed.
        int64_t refNs = 0;
        if (!libraryFirst) {
            const int64_t t0 = nowNs();
            reference();
            refNs = nowNs() - t0;
        }
        const uint64_t before = AllocationCounter::thisThread();
        const int64_t t0 = nowNs();
        library();
        const int64_t t1 = nowNs();
        allocations += AllocationCounter::thisThread() - before;
        if (libraryFirst) {
            reference();
            refNs = nowNs() - t1;
        }
        libraryFirst = !libraryFirst;
        lib.push_back(t1 - t0);
        ref.push_back(refNs);
        state.SetIterationTime(static_cast<double>(t1 - t0) * 1e-9);
    }
    const double libNs = median(lib), refNs = median(ref);
    state.counters["lib_ns"] = libNs;
    state.counters["ref_ns"] = refNs;
    state.counters["ratio"] = refNs > 0 ? libNs / refNs : 0;
    state.counters["allocs"] =
        static_cast<double>(allocations) / static_cast<double>(std::max<int64_t>(1, state.iterations()));
}

} // namespace oscprobe_bench

#endif
