// Pure halves of the CPU probe: reading the bytes of /proc/stat, choosing
// the reference reading of the history and working out the usage. The probe
// itself opens, reads, closes, sleeps and keeps the history; these
// functions decide. Not installed and not exported; tests, benchmarks and
// fuzzers link them from the static archive.
//
// Threading: no state; any thread.
#ifndef OSCPROBE_INTERNAL_OSCPROBECPUINTERNAL_H
#define OSCPROBE_INTERNAL_OSCPROBECPUINTERNAL_H

#include <cstddef>

#include "Sample.h"

namespace oscprobe::internal {

// Slots of the process-wide ring of readings.
constexpr int kCpuHistorySize = 16;

// Most bytes of /proc/stat one reading looks at: the aggregate "cpu" line
// comes first and is far shorter.
constexpr std::size_t kProcStatReadSize = 128;

// Scans the first `len` bytes of `data` (no terminator needed; at most
// kProcStatReadSize of them are considered) with the format
// "cpu %lld %lld %lld %lld". On success stores user + nice + system through
// `busy` and idle through `idle` and returns true; returns false, storing
// nothing, when fewer than four numbers convert. The sum wraps rather than
// faults on absurd values.
bool parseProcStat(const char* data, std::size_t len, long long* busy, long long* idle);

// Slot of the reading to measure against, given the ring, the slot of the
// newest reading, the number of valid readings (2 or more) and the current
// second: the newest reading strictly older than now - 30, or the oldest
// held if none is. Never the newest itself.
int chooseReference(const Sample* ring, int newest, int count, long now);

// busy * 100 / (busy + idle), truncated toward zero; 0 when busy + idle is
// 0 (no tick passed in the window). Wraps rather than faults on absurd
// values.
long long cpuUsage(long long busy, long long idle);

} // namespace oscprobe::internal

#endif
