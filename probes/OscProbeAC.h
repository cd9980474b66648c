// OscProbeAC: go while the machine runs on AC power, and whenever the power
// state cannot be determined; no-go only when it runs on battery.
//
// Reads the first adapter of /proc/acpi/ac_adapter; kernels without that
// interface are asked through /sys/class/power_supply instead. Every
// fallback is logged with what it assumes; nothing is thrown.
//
// Threading: no shared state and no lock.
#ifndef OSCPROBE_OSCPROBEAC_H
#define OSCPROBE_OSCPROBEAC_H

#include "OscProbe.h"

class OSCPROBE_EXPORT OscProbeAC : public OscProbe {
public:
    OscProbeAC();
    ~OscProbeAC() override;

    bool probe() override;
    OscProbeReason getNoGoReason() override;

    // Kept for hosts that call it; it has no effect.
    static void caffeine(bool on);
};

#endif
