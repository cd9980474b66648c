#include "OscProbeBattery.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "internal/PowerSupply.h"
#include "internal/OscProbePowerEvents.h"

namespace {

const char* const kClassName = "OscProbeBattery";

// Cut to one decimal, never rounded up: 49.96 % is not yet 50 %, and the
// words must agree with the answer against a whole-number threshold.
std::string percentText(double percent)
{
    const double cut = std::floor(percent * 10) / 10;
    char text[32];
    snprintf(text, sizeof text, cut == std::floor(cut) ? "%.0f %%" : "%.1f %%", cut);
    return text;
}

} // namespace

OscProbeBattery::OscProbeBattery(int percent)
    : OscProbe(2, true), threshold(percent < 0 ? 0 : (percent > 100 ? 100 : percent))
{
    debug.Debug(kClassName, "Initializing Battery probe. Threshold %d%%. Cost %d", threshold, cost);
}

OscProbeBattery::~OscProbeBattery()
{
    // Not through the virtual table: the object is already an OscProbeBattery only.
    OscProbeBattery::stop();
}

bool OscProbeBattery::probe()
{
    using namespace oscprobe::internal;
    const char* const tag = "OscProbeBattery::probe";
    const std::vector<PowerSupplyRecord> supplies = readPowerSupplies(true);
    lastLevel = -1;
    std::string online;
    if (decidePowerSource(supplies, &online) == PowerSource::AC) {
        lastFinding = "on AC power: " + online;
        debug.DebugLvl(tag, 2, "Running on AC power");
        return true;
    }
    const BatteryCharge charge = batteryCharge(supplies);
    if (charge.batteries == 0) {
        lastFinding = "no system battery";
        debug.DebugLvl(tag, 2, "No system battery. Assuming that we're on AC power.");
        return true;
    }
    if (charge.measured == 0) {
        lastFinding = "no battery tells its charge; assuming enough";
        debug.DebugLvl(tag, 2, "Can't read the battery level. Assuming that it is enough.");
        return true;
    }
    lastLevel = charge.percent;
    const bool go = charge.percent >= threshold;
    lastFinding = std::string(charge.batteries == 1 ? "battery holds " : "batteries hold ") +
                  percentText(charge.percent);
    debug.DebugLvl(tag, 2, "Battery level %.1f%%, threshold %d%%", charge.percent, threshold);
    return go;
}

OscProbeReason OscProbeBattery::getNoGoReason() { return OSCPROBE_REASON_BATTERY; }

bool OscProbeBattery::start(JxMonitor* monitor)
{
    return oscprobe::internal::startPowerEvents(this, monitor, debug);
}

void OscProbeBattery::stop() { oscprobe::internal::stopPowerEvents(this); }
