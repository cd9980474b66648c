// OscProbeCPU: go while the machine's CPU usage over roughly the last half
// minute is at or below a threshold percentage.
//
// All CPU probes of a process share one history of up to 16 readings of
// /proc/stat, taken at most once per 2 seconds. The first probe() in a
// process therefore sleeps about 2 seconds to get a second reading.
//
// Threading: probe() may be called from any thread. One process-wide lock
// guards the history and is held for the whole of probe(), sleeps
// included, so concurrent calls run one after the other.
#ifndef OSCPROBE_OSCPROBECPU_H
#define OSCPROBE_OSCPROBECPU_H

#include "OscProbe.h"

class OSCPROBE_EXPORT OscProbeCPU : public OscProbe {
public:
    // Any threshold is accepted: below 0 never goes, 100 or more always does.
    explicit OscProbeCPU(int threshold);
    ~OscProbeCPU() override;

    // Go when the usage over the window is at most the threshold. Blocks on
    // the history lock and, the first time in a process, sleeps. Throws
    // JxException when /proc/stat cannot be opened, read or parsed; the
    // history then keeps what it had.
    bool probe() override;

    OscProbeReason getNoGoReason() override;

    // Reads the aggregate CPU line of /proc/stat once: busy = user + nice +
    // system, idle = idle ticks. Throws JxException as probe() does.
    void getCurrentCPU(long long* busy, long long* idle);

    // The usage percentage behind this probe's last answer; -1 before the
    // first answer. Read it on the thread that called probe().
    long long getLastUsage() const { return lastUsage; }

private:
    int32_t threshold;
    long long lastUsage = -1;
};

#endif
