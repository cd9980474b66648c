// Feeds arbitrary bytes to the /proc/stat parser as one read would hand
// them over: unterminated, of any length. The sanitizers catch reads past
// the bytes given and arithmetic faults; the checks below catch a parser
// that stores on failure or answers differently for the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "internal/OscProbeCPUInternal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using oscprobe::internal::parseProcStat;
    const char* text = reinterpret_cast<const char*>(data);

    long long busy = 17, idle = 17;
    bool parsed = parseProcStat(text, size, &busy, &idle);
    if (!parsed && (busy != 17 || idle != 17))
        abort();

    long long busyAgain = 0, idleAgain = 0;
    if (parseProcStat(text, size, &busyAgain, &idleAgain) != parsed)
        abort();
    if (parsed && (busy != busyAgain || idle != idleAgain))
        abort();

    // Whatever the counters, the usage figure must not fault.
    if (parsed)
        (void)oscprobe::internal::cpuUsage(busy, idle);
    return 0;
}
