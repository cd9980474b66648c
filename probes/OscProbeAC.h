// OscProbeAC: go while the machine runs on AC power, and whenever the power
// state cannot be determined; no-go only when it runs on battery.
//
// Reads every adapter of /proc/acpi/ac_adapter: AC when any is on-line,
// battery when one is off-line and none on-line. When no adapter gives a
// clear state, or there is none, /sys/class/power_supply is asked instead.
// Every fallback is logged with what it assumes; nothing is thrown.
//
// Threading: no shared state and no lock.
#ifndef OSCPROBE_OSCPROBEAC_H
#define OSCPROBE_OSCPROBEAC_H

#include <string>

#include "OscProbe.h"

class OSCPROBE_EXPORT OscProbeAC : public OscProbe {
public:
    OscProbeAC();
    ~OscProbeAC() override;

    bool probe() override;
    OscProbeReason getNoGoReason() override;

    // Kept for hosts that call it; it has no effect.
    static void caffeine(bool on);

    // What settled this probe's last answer, in a few words ("ACPI adapter
    // AC is on-line", "battery BAT0 is discharging", or what each source
    // said before AC power was assumed); empty before the first answer.
    // Read them on the thread that called probe().
    const std::string& getLastFinding() const { return lastFinding; }
    // Whether the last answer only assumed AC power, no source saying so.
    bool lastAssumed() const { return lastAssumedAc; }

private:
    std::string lastFinding;
    bool lastAssumedAc = false;
};

#endif
