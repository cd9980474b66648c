// The power-supply class (/sys/class/power_supply) as the power probes and
// the power-event listener see it: one record per supply, the pure
// decisions taken on such records (AC or battery, the batteries' charge,
// what a Type-C port's power role says, whether a uevent concerns a power
// supply), and the one function that reads the records from sysfs
// (readPowerSupplies, in PowerSupply_linux.cpp). Not installed and not
// exported; tests and fuzzers link the decisions from the static archive.
//
// Threading: no state; any thread.
#ifndef OSCPROBE_INTERNAL_POWERSUPPLY_H
#define OSCPROBE_INTERNAL_POWERSUPPLY_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace oscprobe::internal {

// One entry of /sys/class/power_supply: the raw contents of the attribute
// files that decide AC power (absent when the file is missing or
// unreadable). Values keep the kernel's trailing newline.
struct PowerSupplyRecord {
    std::string name;
    std::optional<std::string> type;    // "Mains", "USB", "Battery", ...
    std::optional<std::string> online;  // "0", "1", "2" (non-batteries)
    std::optional<std::string> scope;   // "System", "Device", "Unknown"
    std::optional<std::string> present; // "0" or "1" (batteries)
    std::optional<std::string> status;  // "Charging", "Discharging", ...
    // Read for the battery probe only, and of batteries only.
    std::optional<std::string> capacity = std::nullopt;  // percent
    std::optional<std::string> energyNow = std::nullopt; // µWh, with energyFull
    std::optional<std::string> energyFull = std::nullopt;
    std::optional<std::string> chargeNow = std::nullopt; // µAh, with chargeFull
    std::optional<std::string> chargeFull = std::nullopt;
    // The Type-C port of the same device gives power out (sourcesPower):
    // its "online" is then a phone being charged, not a charger.
    bool sourcing = false;
};

// Reads every entry of /sys/class/power_supply, with the charge files of
// batteries when `withLevels`, and marks the supplies whose Type-C port
// (/sys/class/typec, matched by the device both hang from) is a source; no
// entries when the directory is missing. Throws only std::bad_alloc.
std::vector<PowerSupplyRecord> readPowerSupplies(bool withLevels);

// Whether an attribute was read and holds `value`, blanks around it aside.
bool attributeIs(const std::optional<std::string>& attr, const char* value);

// A Type-C port's power role, the word in brackets of its power_role file:
// "[source] sink" or "source [sink]" for a dual-role port, "[source]" or
// "[sink]" for a fixed one.
enum class PowerRole { SOURCE, SINK, UNKNOWN };
PowerRole parsePowerRole(const std::string& text);

// Whether the Type-C ports of one device (their roles, any order) give
// power out: some port is a source and none a sink. A sink among them may be
// taking power in through the same supply, so it keeps the supply counted.
bool sourcesPower(const std::vector<PowerRole>& ports);

// Whether a record is one of the machine's own batteries: type Battery, a
// scope other than "Device" (a mouse's or headset's), and not a slot whose
// present value says 0.
bool isSystemBattery(const PowerSupplyRecord& supply);

// The charge the system batteries hold together.
struct BatteryCharge {
    int batteries = 0;    // system batteries seen
    int measured = 0;     // of those, with a readable level
    double percent = 0;   // with measured > 0: 0 to 100
};

// Batteries that all give energy (or all give charge) are summed: two
// packs hold together what their sums say. Otherwise each battery's own
// percentage (capacity, else its energy or charge pair) is averaged.
BatteryCharge batteryCharge(const std::vector<PowerSupplyRecord>& supplies);

enum class PowerSource {
    AC,      // some non-battery supply is online, or a system battery charges
    BATTERY, // neither, and a system battery is discharging
    UNKNOWN  // none of these: no supplies, or only offline ones and idle batteries
};

// Decides the power source from all supplies, in any order: a non-battery
// supply whose online value is 1 or more and that is not `sourcing` means
// AC; failing that, a system battery (isSystemBattery) whose status is
// "Charging" means AC too (it draws outside power); failing that, a system
// battery whose status is "Discharging" means battery; anything else is
// unknown. A supply without a readable type is left out.
PowerSource decidePowerSource(const std::vector<PowerSupplyRecord>& supplies);

// The same, and *decidedBy says what decided, in a few words: "power supply
// AC is online", "battery BAT0 is charging", "battery BAT0 is discharging"
// (the first such supply); empty when unknown.
PowerSource decidePowerSource(const std::vector<PowerSupplyRecord>& supplies,
                              std::string* decidedBy);

// Whether a kernel uevent datagram (NUL-separated fields) has the field
// "SUBSYSTEM=power_supply". Reads no byte beyond `length`.
bool isPowerSupplyUevent(const char* data, std::size_t length);

} // namespace oscprobe::internal

#endif
