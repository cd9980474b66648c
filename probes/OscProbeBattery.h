// OscProbeBattery: go while the machine runs on AC power, or while its own
// batteries hold at least a given share of their charge together; no-go on
// battery below it. A machine without a system battery is always go, and
// the probe says so. Both the power source and the charge come from
// /sys/class/power_supply; nothing is thrown.
//
// start() wakes the host on every power-supply change (the level falls in
// steps the kernel announces), through the power listener that
// OscProbeWake::watchPower() uses too.
//
// Threading: probe() and the accessors on one host thread at a time.
// start() and stop() take the power registry's lock, which the listener
// holds while it broadcasts on the registered monitors; never call them
// while holding such a monitor.
#ifndef OSCPROBE_OSCPROBEBATTERY_H
#define OSCPROBE_OSCPROBEBATTERY_H

#include <string>

#include "OscProbe.h"

class OSCPROBE_EXPORT OscProbeBattery : public OscProbe {
public:
    // `percent`: the least charge, 0 to 100, on which work may run on battery.
    explicit OscProbeBattery(int percent);
    ~OscProbeBattery() override;

    bool probe() override;
    // OSCPROBE_REASON_BATTERY.
    OscProbeReason getNoGoReason() override;

    // Registers the probe (or moves it to `monitor`; null: registered, never
    // woken) and starts the listener on first use. False once the listener
    // has failed in this process: the host must poll. Throws JxException
    // when the thread cannot be created. stop() withdraws it; harmless
    // without a start().
    bool start(JxMonitor* monitor) override;
    void stop() override;

    int getThreshold() const { return threshold; }
    // What settled the last answer ("on AC power: power supply AC is
    // online", "batteries hold 42 %", "no system battery"); empty before it.
    const std::string& getLastFinding() const { return lastFinding; }
    // The batteries' charge at the last answer in percent; -1 when it was
    // not needed or not known.
    double getLastLevel() const { return lastLevel; }

private:
    int threshold;
    std::string lastFinding;
    double lastLevel = -1;
};

#endif
