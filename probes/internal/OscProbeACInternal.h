// Pure halves of the AC power probe: what it makes of the text it reads
// from the kernel. The probe itself only opens, reads and closes; these
// functions decide. Not installed and not exported; tests and fuzzers link
// them from the static archive.
//
// Threading: no state; any thread.
#ifndef OSCPROBE_INTERNAL_OSCPROBEACINTERNAL_H
#define OSCPROBE_INTERNAL_OSCPROBEACINTERNAL_H

#include <stdio.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace oscprobe::internal {

// What an ACPI adapter's state file said. A flag once set stays set.
struct AcMarkers {
    bool online = false;  // "on-line" seen
    bool offline = false; // "off-line" seen
};

// Size of the line buffer the state file is read with; fgets hands over at
// most one less character per piece.
constexpr std::size_t kAcLineBufferSize = 256;

// Searches one NUL-terminated piece, as fgets returned it, for both
// markers (case-sensitive substrings).
void scanAcStatePiece(const char* piece, AcMarkers* markers);

// Reads an open state file to its end with fgets into a kAcLineBufferSize
// buffer and scans every piece: the probe's own reading loop, so that it
// can be run over any stream (a fuzzer hands it an in-memory one).
AcMarkers scanAcStateStream(FILE* stream);

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
};

// Reads every entry of /sys/class/power_supply, with the charge files of
// batteries when `withLevels`; no entries when the directory is missing.
std::vector<PowerSupplyRecord> readPowerSupplies(bool withLevels);

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
    AC,      // some non-battery supply is online
    BATTERY, // nothing online, and a system battery is discharging
    UNKNOWN  // neither: no supplies, or only offline ones and idle batteries
};

// Decides the power source from all supplies, in any order: a non-battery
// supply whose online value is 1 or more means AC; failing that, a battery
// whose scope is not "Device", whose present value is not 0 and whose
// status is "Discharging" means battery; anything else is unknown. A
// supply without a readable type is left out.
PowerSource decidePowerSource(const std::vector<PowerSupplyRecord>& supplies);

// The same, and *decidedBy gets the name of the supply that decided: the
// first online one, or failing that the first discharging battery; empty
// when unknown.
PowerSource decidePowerSource(const std::vector<PowerSupplyRecord>& supplies,
                              std::string* decidedBy);

// What settled the AC probe's answer.
enum class AcBasis {
    ADAPTER, // a legacy ACPI adapter's state
    SUPPLY,  // the power-supply class
    ASSUMED  // nothing: AC power is assumed
};

struct AcVerdict {
    bool onAc = true;
    AcBasis basis = AcBasis::ASSUMED;
    std::size_t adapter = 0; // with ADAPTER, the index of the adapter that decided
};

// Combines what every legacy adapter said (an adapter whose state could not
// be read has no marker) with the power-supply class's verdict. An adapter
// is on-line when it showed "on-line" alone and off-line when it showed
// "off-line" alone; both or neither tell nothing. Any adapter on-line means
// AC, whatever the others say; failing that, any adapter off-line means
// battery; failing that, the supply class decides; failing that, AC is
// assumed. The adapter that decided is the first such in `adapters`.
AcVerdict decideAcPower(const std::vector<AcMarkers>& adapters, PowerSource supply);

// Whether a kernel uevent datagram (NUL-separated fields) has the field
// "SUBSYSTEM=power_supply". Reads no byte beyond `length`.
bool isPowerSupplyUevent(const char* data, std::size_t length);

} // namespace oscprobe::internal

#endif
