// Subnet definitions as a host hands them to the probe: one definition per
// line of the input. The constructor either accepts the whole list or
// throws the probe's exception; it must accept the list exactly when it
// accepts every definition on its own, and never fault on any of them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "EvDebug.h"
#include "JxException.h"
#include "OscProbeSubNet.h"

namespace {

bool accepts(const std::list<std::string>& definitions)
{
    try {
        OscProbeSubNet probe(definitions);
        return true;
    } catch (const JxException&) {
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Every accepted definition logs a line; a million of them say nothing.
    [[maybe_unused]] static const bool quiet = (EvDebug::setLogHandler([](int, const char*, const char*) {}), true);

    const std::string text(reinterpret_cast<const char*>(data), size);
    std::list<std::string> definitions;
    for (std::string::size_type pos = 0, nl; pos <= text.size() && definitions.size() < 64; pos = nl + 1)
        definitions.push_back(text.substr(pos, (nl = std::min(text.find('\n', pos), text.size())) - pos));

    bool each = true;
    for (const std::string& d : definitions)
        each = accepts({d}) && each;
    if (accepts(definitions) != each)
        __builtin_trap();
    return 0;
}
