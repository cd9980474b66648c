// Feeds arbitrary text to the parsers of what a user types for the network
// probes: MAC addresses, network ids and HOST:PORT targets; and to what is
// made of what NetworkManager sends: an access point's SSID bytes, and a
// Metered value (the first four bytes). Whatever is accepted must come out
// in the form the parsers promise, and a Wi-Fi name must be one an
// "ssid:" id can name.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include "internal/BusInternal.h"
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
    std::string name;
    if (ssidName(data, size, &name) &&
        (!parseNetworkId("ssid:" + name, &id, &why) || !id.isSsid || id.ssid != name))
        __builtin_trap();
    MeteredRead read;
    read.status = MeteredRead::VALUE;
    for (size_t i = 0; i < size && i < 4; ++i)
        read.value = read.value << 8 | data[i];
    const MeteredVerdict lenient = decideMetered(read, false), strict = decideMetered(read, true);
    // Strictness changes only what is not known; a known value is a verdict.
    if (lenient.kind != strict.kind || (lenient.kind != MeteredKind::UNKNOWN &&
                                        lenient.metered != strict.metered) ||
        (lenient.kind == MeteredKind::UNKNOWN && (lenient.metered || !strict.metered)))
        __builtin_trap();
    return 0;
}
