// The pure halves of the power-supply class: what the power probes and the
// power-event listener make of what the kernel wrote. No system call here.
#include "internal/PowerSupply.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace oscprobe::internal {

namespace {

// Attribute files end in a newline; blanks around the value carry nothing.
std::string trimmed(const std::string& text)
{
    const char* blanks = " \t\n\r\v\f";
    std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A whole decimal integer, or nothing.
std::optional<long long> numberOf(const std::optional<std::string>& attr)
{
    if (!attr)
        return std::nullopt;
    std::string text = trimmed(*attr);
    if (text.empty())
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE)
        return std::nullopt;
    return v;
}

} // namespace

bool attributeIs(const std::optional<std::string>& attr, const char* value)
{
    return attr && trimmed(*attr) == value;
}

PowerRole parsePowerRole(const std::string& text)
{
    // One bracketed word; anything else is a format this code does not know.
    const std::string::size_type open = text.find('[');
    const std::string::size_type close = text.find(']');
    if (open == std::string::npos || close == std::string::npos || close < open ||
        text.find('[', open + 1) != std::string::npos ||
        text.find(']', close + 1) != std::string::npos)
        return PowerRole::UNKNOWN;
    const std::string role = text.substr(open + 1, close - open - 1);
    if (role == "source")
        return PowerRole::SOURCE;
    return role == "sink" ? PowerRole::SINK : PowerRole::UNKNOWN;
}

bool sourcesPower(const std::vector<PowerRole>& ports)
{
    return std::count(ports.begin(), ports.end(), PowerRole::SOURCE) > 0 &&
           std::count(ports.begin(), ports.end(), PowerRole::SINK) == 0;
}

bool isPowerSupplyUevent(const char* data, std::size_t length)
{
    // "ACTION@DEVPATH" then "KEY=value" fields, each ended by a NUL (the
    // last one perhaps not, when the sender left it off).
    static const char kField[] = "SUBSYSTEM=power_supply";
    std::size_t pos = 0;
    while (pos < length) {
        const void* nul = memchr(data + pos, '\0', length - pos);
        const std::size_t end = nul != nullptr ? static_cast<const char*>(nul) - data : length;
        if (end - pos == sizeof kField - 1 && memcmp(data + pos, kField, sizeof kField - 1) == 0)
            return true;
        pos = end + 1;
    }
    return false;
}

bool isSystemBattery(const PowerSupplyRecord& supply)
{
    // A mouse's or headset's own battery says nothing about the machine; a
    // battery slot without a battery says nothing either.
    if (!attributeIs(supply.type, "Battery") || attributeIs(supply.scope, "Device"))
        return false;
    std::optional<long long> present = numberOf(supply.present);
    return !(present && *present == 0);
}

BatteryCharge batteryCharge(const std::vector<PowerSupplyRecord>& supplies)
{
    enum Unit { ENERGY, CHARGE, PERCENT };
    struct Level {
        double now, full;
        Unit unit;
    };
    auto pair = [](const std::optional<std::string>& now, const std::optional<std::string>& full,
                   Unit unit) -> std::optional<Level> {
        std::optional<long long> n = numberOf(now), f = numberOf(full);
        if (!n || !f || *n < 0 || *f <= 0)
            return std::nullopt;
        return Level{static_cast<double>(std::min(*n, *f)), static_cast<double>(*f), unit};
    };
    BatteryCharge result;
    std::vector<Level> levels;
    for (const PowerSupplyRecord& s : supplies) {
        if (!isSystemBattery(s))
            continue;
        ++result.batteries;
        std::optional<Level> level = pair(s.energyNow, s.energyFull, ENERGY);
        if (!level)
            level = pair(s.chargeNow, s.chargeFull, CHARGE);
        if (!level) {
            std::optional<long long> capacity = numberOf(s.capacity);
            if (capacity && *capacity >= 0)
                level = Level{static_cast<double>(std::min(*capacity, 100LL)), 100, PERCENT};
        }
        if (level)
            levels.push_back(*level);
    }
    result.measured = static_cast<int>(levels.size());
    if (levels.empty())
        return result;
    const bool summable = levels.front().unit != PERCENT &&
                          std::all_of(levels.begin(), levels.end(), [&](const Level& l) {
                              return l.unit == levels.front().unit;
                          });
    double now = 0, full = 0, share = 0;
    for (const Level& l : levels) {
        now += l.now;
        full += l.full;
        share += l.now / l.full;
    }
    result.percent = 100 * (summable ? now / full : share / static_cast<double>(levels.size()));
    return result;
}

PowerSource decidePowerSource(const std::vector<PowerSupplyRecord>& supplies)
{
    return decidePowerSource(supplies, nullptr);
}

PowerSource decidePowerSource(const std::vector<PowerSupplyRecord>& supplies,
                              std::string* decidedBy)
{
    const PowerSupplyRecord* charging = nullptr;
    const PowerSupplyRecord* discharging = nullptr;
    for (const PowerSupplyRecord& s : supplies) {
        if (!s.type)
            continue;
        if (attributeIs(s.type, "Battery")) {
            if (!isSystemBattery(s))
                continue;
            if (attributeIs(s.status, "Charging") && charging == nullptr)
                charging = &s;
            if (attributeIs(s.status, "Discharging") && discharging == nullptr)
                discharging = &s;
            continue;
        }
        // Online values above 1 name further kinds of "online" (a
        // programmable USB-C supply, for one). A port that gives power out
        // may still say online: a laptop on battery charging a phone.
        std::optional<long long> online = numberOf(s.online);
        if (online && *online >= 1 && !s.sourcing) {
            if (decidedBy != nullptr)
                *decidedBy = "power supply " + s.name + " is online";
            return PowerSource::AC;
        }
    }
    // A battery that charges draws outside power, whether or not a supply
    // says so (some chargers have no supply entry of their own). Only a
    // discharging battery means battery: desktops list offline USB supplies
    // without running on battery.
    if (charging != nullptr) {
        if (decidedBy != nullptr)
            *decidedBy = "battery " + charging->name + " is charging";
        return PowerSource::AC;
    }
    if (decidedBy != nullptr)
        *decidedBy = discharging != nullptr ? "battery " + discharging->name + " is discharging"
                                            : std::string();
    return discharging != nullptr ? PowerSource::BATTERY : PowerSource::UNKNOWN;
}

} // namespace oscprobe::internal
