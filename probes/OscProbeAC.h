// OscProbeAC: go while the machine runs on AC power, and whenever the power
// state cannot be determined; no-go only when it runs on battery.
//
// Reads every adapter of /proc/acpi/ac_adapter: AC when any is on-line,
// battery when one is off-line and none on-line. When no adapter gives a
// clear state, or there is none, /sys/class/power_supply is asked instead.
// Every fallback is logged with what it assumes; nothing is thrown.
//
// start() also wakes the host when the kernel announces a power-supply
// change, so a host need not poll to notice the charger: one listener thread
// per process serves every started AC probe, as the address watcher serves
// the subnet probes. A host that never calls start() gets no thread.
//
// Threading: probe() has no shared state. start() and stop() take the power
// registry's lock, which the listener holds while it broadcasts on the
// registered monitors; never call them while holding such a monitor.
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

    // Registers the probe (or moves it to `monitor`) to be woken on every
    // power-supply change, and starts the listener on first use. False when
    // the listener cannot work (no uevent socket, or it failed since): the
    // host must then poll. Throws JxException when the thread cannot be
    // created. stop() withdraws it; harmless without a start().
    bool start(JxMonitor* monitor) override;
    void stop() override;

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
