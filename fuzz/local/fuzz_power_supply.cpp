// The power-supply decision over arbitrary supply records. Input: lines
// "attribute=value" (type, online, scope, present, status, and power_role:
// the text of the record's one Type-C port), records separated by a line
// "--". Checks properties the role parser and the decision must keep
// whatever the kernel reports.
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "internal/PowerSupply.h"

using namespace oscprobe::internal;

namespace {

std::vector<PowerSupplyRecord> parse(const std::string& text)
{
    std::vector<PowerSupplyRecord> out(1);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line == "--")
            out.emplace_back();
        PowerSupplyRecord& r = out.back();
        std::optional<std::string> role;
        const std::pair<const char*, std::optional<std::string>*> fields[] = {
            {"type", &r.type},       {"online", &r.online}, {"scope", &r.scope},
            {"present", &r.present}, {"status", &r.status}, {"power_role", &role}};
        const size_t eq = line.find('=');
        for (const auto& f : fields)
            if (eq != std::string::npos && line.compare(0, eq, f.first) == 0)
                *f.second = line.substr(eq + 1) + "\n";
        // A role is only ever the bracketed word.
        const PowerRole parsed = role ? parsePowerRole(*role) : PowerRole::UNKNOWN;
        if (parsed != PowerRole::UNKNOWN &&
            role->find(parsed == PowerRole::SOURCE ? "[source]" : "[sink]") == std::string::npos)
            abort();
        r.sourcing = r.sourcing || parsed == PowerRole::SOURCE;
    }
    return out;
}

bool is(const std::optional<std::string>& attr, const char* word)
{
    return attr && attr->find(word) != std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<PowerSupplyRecord> supplies =
        parse(std::string(reinterpret_cast<const char*>(data), size));
    PowerSource verdict = decidePowerSource(supplies);

    // The order the directory lists supplies in does not matter.
    std::vector<PowerSupplyRecord> reversed(supplies.rbegin(), supplies.rend());
    if (decidePowerSource(reversed) != verdict)
        abort();

    // Battery needs a battery that says it discharges.
    if (verdict == PowerSource::BATTERY &&
        std::none_of(supplies.begin(), supplies.end(), [](const PowerSupplyRecord& r) {
            return is(r.type, "Battery") && is(r.status, "Discharging");
        }))
        abort();

    // Batteries that do not charge never mean AC, nor supplies whose port
    // gives power out; any online mains always does.
    std::vector<PowerSupplyRecord> batteries, sourcing = supplies;
    for (PowerSupplyRecord& r : sourcing)
        if ((r.sourcing = true, r.type && *r.type == "Battery\n")) {
            r.status.reset(); // a charging battery is outside power, sourcing or not
            batteries.push_back(r);
        }
    if (decidePowerSource(batteries) == PowerSource::AC ||
        decidePowerSource(sourcing) == PowerSource::AC)
        abort();
    supplies.emplace_back().type = "Mains\n";
    supplies.back().online = "1\n";
    if (decidePowerSource(supplies) != PowerSource::AC)
        abort();
    return 0;
}
