// OscProbeAC: go while the machine runs on AC power, and whenever the power
// state cannot be determined; no-go only when it runs on battery.
//
// Reads every adapter of /proc/acpi/ac_adapter: AC when any is on-line,
// battery when one is off-line and none on-line. When no adapter gives a
// clear state, or there is none, /sys/class/power_supply is asked instead
// (a supply whose USB-C port gives power out does not count as AC). Every
// fallback is logged with what it assumes; nothing is thrown. start() and
// stop() are the base's: this probe wakes nobody.
//
// Threading: the probe keeps nothing between calls and probe() writes no
// member, so any number of threads may probe one object at once.
#ifndef OSCPROBE_OSCPROBEAC_H
#define OSCPROBE_OSCPROBEAC_H

#include <string>

#include "OscProbe.h"

class OSCPROBE_EXPORT OscProbeAC : public OscProbe {
public:
    // What settled an answer, for the caller to word it.
    struct Finding {
        // "ACPI adapter AC is on-line" (or "... is off-line"), "power supply
        // AC is online", "battery BAT0 is discharging", or, when AC power is
        // only assumed, what each source said: "nothing tells AC from
        // battery (ac_adapter: ...; power_supply: ...); assuming AC power".
        std::string text;
        bool assumed = false; // no source said AC or battery
    };

    OscProbeAC();
    ~OscProbeAC() override;

    bool probe() override;
    // As probe(), and fills *finding when it is not null.
    bool probe(Finding* finding);
    OscProbeReason getNoGoReason() override;

    // Kept for hosts that call it; it has no effect.
    static void caffeine(bool on);
};

#endif
