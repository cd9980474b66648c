// AllocationCounter: counts the calls of the global operator new made by
// the calling thread, through a replacement of the global allocation
// functions linked into the benchmark executable (and so seen by the
// library objects linked into it and by the shared libraries it loads).
//
// Threading: the count is per thread; each thread sees only its own calls.
#ifndef OSCPROBE_BENCH_ALLOCATIONCOUNTER_H
#define OSCPROBE_BENCH_ALLOCATIONCOUNTER_H

#include <cstdint>

namespace oscprobe_bench {

class AllocationCounter {
public:
    // Allocations made by this thread since it started.
    static uint64_t thisThread();
};

} // namespace oscprobe_bench

#endif
