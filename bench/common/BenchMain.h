// The main of the local benchmark executables: the library's log silenced
// (construction lines are not what is measured), then every benchmark the
// command line selects.
#ifndef OSCPROBE_BENCH_BENCHMAIN_H
#define OSCPROBE_BENCH_BENCHMAIN_H

#include <benchmark/benchmark.h>

#include "EvDebug.h"

namespace oscprobe_bench {

inline int runBenchmarks(int argc, char** argv)
{
    EvDebug::setDebugLevel(1);
    EvDebug::setLogHandler([](int, const char*, const char*) {});
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace oscprobe_bench

#endif
