// Feeds arbitrary text to the parsers of what a user types for the network
// probes: MAC addresses, network ids and HOST:PORT targets. Whatever is
// accepted must come out in the form the parsers promise.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include "internal/NetworkInternal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace oscprobe::internal;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string why, lower;
    for (char c : text)
        lower += c == '-' ? ':' : static_cast<char>(tolower(static_cast<unsigned char>(c)));
    Mac mac;
    if (parseMac(text, &mac) && formatMac(mac) != lower)
        __builtin_trap();
    NetworkId id;
    if (parseNetworkId(text, &id, &why) && id.isSsid && (id.ssid.empty() || id.ssid.size() > 32))
        __builtin_trap();
    Target target;
    if (parseTarget(text, &target, &why) &&
        (target.port == 0 || target.host.empty() || target.host.size() > 253))
        __builtin_trap();
    return 0;
}
