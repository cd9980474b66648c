#include "OscProbeCPU.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "JxCriticalSectionLock.h"
#include "JxException.h"
#include "ZuUtils.h"
#include "internal/OscProbeCPUInternal.h"

using oscprobe::internal::kCpuHistorySize;
using oscprobe::internal::kProcStatReadSize;

namespace {

const char* const kSourceName = "OscProbeCPU";
const char* const kReadFunc = "OscProbeCPU::getCurrentCPU";
const char* const kProbeTag = "OscProbeCPU::probe";

// Error sites keep stable line identifiers so hosts' log filters see the
// same numbers release after release.
constexpr int kLineOpenFailed = 213;
constexpr int kLineReadFailed = 218;
constexpr int kLineParseFailed = 223;
constexpr int kLineSleep = 143;

// Two readings must be at least this far apart for a usage figure.
constexpr long kSleepMilliseconds = 2000;

// Readings older than this many seconds are preferred as the reference.
constexpr long kWindowSeconds = 30;

long long wrapAdd(long long a, long long b)
{
    long long r;
    __builtin_add_overflow(a, b, &r);
    return r;
}

long long wrapSub(long long a, long long b)
{
    long long r;
    __builtin_sub_overflow(a, b, &r);
    return r;
}

long long wrapMul(long long a, long long b)
{
    long long r;
    __builtin_mul_overflow(a, b, &r);
    return r;
}

// One history for every CPU probe in the process, so that however many
// probes a host asks, /proc/stat is read at most once per 2 seconds.
Sample history_arr[kCpuHistorySize];
int32_t history_pos = -1;
int32_t history_cnt = 0;
JxCriticalSection history_csec;

// One %lld conversion as the C library's scanf makes it: blanks skipped,
// an optional sign, at least one decimal digit; a value beyond the range
// saturates as strtoll's does. Moves `cursor` past what it read.
bool scanDecimal(const char*& cursor, long long* value)
{
    const char* p = cursor;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-')
        ++p;
    if (*p < '0' || *p > '9')
        return false;
    const unsigned long long limit =
        static_cast<unsigned long long>(LLONG_MAX) + (negative ? 1 : 0);
    unsigned long long magnitude = 0;
    bool saturated = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const unsigned digit = static_cast<unsigned>(*p - '0');
        if (saturated || magnitude > (limit - digit) / 10)
            saturated = true;
        else
            magnitude = magnitude * 10 + digit;
    }
    if (saturated)
        magnitude = limit;
    *value = negative ? static_cast<long long>(0ULL - magnitude) : static_cast<long long>(magnitude);
    cursor = p;
    return true;
}

} // namespace

namespace oscprobe::internal {

bool parseProcStat(const char* data, std::size_t len, long long* busy, long long* idle)
{
    // The kernel hands over raw bytes; the scan needs a terminated copy.
    char text[kProcStatReadSize + 1];
    std::size_t n = len < kProcStatReadSize ? len : kProcStatReadSize;
    if (n > 0)
        std::memcpy(text, data, n);
    text[n] = '\0';

    // What sscanf(text, "cpu %lld %lld %lld %lld") accepts, scanned by
    // hand: a reading is taken seconds after the last, when scanf's large
    // code and locale tables have long left the caches, and that alone made
    // a reading several times dearer than the read of /proc/stat itself.
    if (std::strncmp(text, "cpu", 3) != 0)
        return false;
    const char* cursor = text + 3;
    long long column[4];
    for (long long& value : column)
        if (!scanDecimal(cursor, &value))
            return false;
    *busy = wrapAdd(wrapAdd(column[0], column[1]), column[2]);
    *idle = column[3];
    return true;
}

int chooseReference(const Sample* ring, int newest, int count, long now)
{
    int idx = (newest + kCpuHistorySize - 1) % kCpuHistorySize;
    int stepsLeft = count - 2;
    while (stepsLeft > 0 && ring[idx].timestamp >= now - kWindowSeconds) {
        idx = (idx + kCpuHistorySize - 1) % kCpuHistorySize;
        --stepsLeft;
    }
    return idx;
}

long long cpuUsage(long long busy, long long idle)
{
    long long total = wrapAdd(busy, idle);
    if (total == 0)
        return 0;
    long long scaled = wrapMul(busy, 100);
    // The one quotient that does not fit in 64 bits.
    if (total == -1)
        return wrapMul(scaled, -1);
    return scaled / total;
}

} // namespace oscprobe::internal

OscProbeCPU::OscProbeCPU(int thresholdPercent) : OscProbe(2, false), threshold(thresholdPercent)
{
    debug.Debug("OscProbeCPU", "Initializing CPU probe. Cost %d", cost);
    debug.Debug("OscProbeCPU", "   Threshold: %d%%", threshold);
}

OscProbeCPU::~OscProbeCPU() {}

OscProbeReason OscProbeCPU::getNoGoReason() { return OSCPROBE_REASON_CPU; }

void OscProbeCPU::getCurrentCPU(long long* busy, long long* idle)
{
    int fd = open("/proc/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw JxException(kReadFunc, std::string("Couldn't open /proc/stat: ") + strerror(errno),
                          kSourceName, kLineOpenFailed, -1);

    char bytes[kProcStatReadSize];
    ssize_t got = read(fd, bytes, sizeof bytes);
    if (got < 0) {
        int readErrno = errno;
        close(fd);
        throw JxException(kReadFunc,
                          std::string("Couldn't read from /proc/stat: ") + strerror(readErrno),
                          kSourceName, kLineReadFailed, -1);
    }
    close(fd);

    if (!oscprobe::internal::parseProcStat(bytes, static_cast<std::size_t>(got), busy, idle))
        throw JxException(kReadFunc, "Couldn't get CPU info from /proc/stat: Parsing error.",
                          kSourceName, kLineParseFailed, -1);
}

bool OscProbeCPU::probe()
{
    // Held through the sleeps too: a second caller then finds the readings
    // this one waited for instead of sleeping alongside it.
    JxCriticalSectionLock lock(&history_csec);

    for (;;) {
        long now = time(nullptr);

        // The history is keyed by wall-clock seconds; after the clock is set
        // back no reading would be taken until it caught up again, so start
        // afresh instead of waiting for that.
        if (history_cnt > 0 && now < history_arr[history_pos].timestamp) {
            debug.Error(kProbeTag, "Clock went back from %ld to %ld; discarding CPU history",
                        history_arr[history_pos].timestamp, now);
            history_pos = -1;
            history_cnt = 0;
        }

        if (history_cnt == 0 || now > history_arr[history_pos].timestamp + 1) {
            Sample reading(now);
            long long busy = 0, idle = 0;
            getCurrentCPU(&busy, &idle);
            reading.busy = busy;
            reading.idle = idle;
            history_pos = (history_pos + 1) % kCpuHistorySize;
            history_arr[history_pos] = reading;
            if (history_cnt <= kCpuHistorySize - 1)
                ++history_cnt;
        }

        if (history_cnt <= 1) {
            ZUSLEEP_InTeRnAl(kSleepMilliseconds, kSourceName, kLineSleep);
            continue;
        }

        const Sample& newest = history_arr[history_pos];
        const Sample& reference = history_arr[oscprobe::internal::chooseReference(
            history_arr, history_pos, history_cnt, now)];
        long long busy = wrapSub(newest.busy, reference.busy);
        long long idle = wrapSub(newest.idle, reference.idle);
        long long usage = oscprobe::internal::cpuUsage(busy, idle);

        debug.DebugLvl(kProbeTag, 2, "CPU: busy=%lld, idle=%lld, USAGE: %lld%%\n", busy, idle,
                       usage);
        lastUsage = usage;
        return usage <= threshold;
    }
}
