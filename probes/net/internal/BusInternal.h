// The pure part of what the network probes learn from NetworkManager over
// the system bus: the metered verdict, the Wi-Fi name from an access
// point's bytes, and which changed properties can change an answer. The
// bus side (internal/Bus.h) hands these what it read; tests hand them
// made-up values.
//
// Threading: free functions on their arguments only; any thread.
#ifndef OSCPROBE_NET_INTERNAL_BUSINTERNAL_H
#define OSCPROBE_NET_INTERNAL_BUSINTERNAL_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace oscprobe::internal {

// What a registrant of the bus source is woken for.
enum BusEvent : unsigned {
    BUS_METERED = 1u, // NetworkManager's Metered, or NetworkManager itself, changed
    BUS_WIFI = 2u,    // the Wi-Fi network in use may be another one
    BUS_RESUME = 4u,  // the machine woke from sleep
    BUS_ALL = 7u
};

// What reading NetworkManager's Metered property gave.
struct MeteredRead {
    enum Status {
        VALUE,    // `value` is what NetworkManager said
        NO_VALUE, // NetworkManager is there but gave no usable value
        ABSENT    // no system bus, or no NetworkManager on it
    };
    Status status = ABSENT;
    uint32_t value = 0;
};

enum class MeteredKind { NOT_METERED, METERED, UNKNOWN };
struct MeteredVerdict {
    MeteredKind kind = MeteredKind::UNKNOWN;
    bool metered = false; // as counted: UNKNOWN is metered only when strict
    std::string text;
};
// NetworkManager's values: 1 yes, 2 no, 3 guessed yes, 4 guessed no; 0 and
// anything else it does not know. Unknown and absent count as metered only
// when `strict`.
MeteredVerdict decideMetered(const MeteredRead& read, bool strict);

// The Wi-Fi name an access point announces, as an "ssid:NAME" id names
// it: 1 to 32 bytes, none of them NUL, taken as they are. False for a
// hidden network (no bytes, or NULs) and for anything longer.
bool ssidName(const uint8_t* bytes, size_t length, std::string* name);

// Which of BusEvent a change of `property` on `interface` (a
// PropertiesChanged signal from NetworkManager) calls for; 0 for the
// properties no answer rests on, such as an access point's Strength, which
// changes every few seconds.
unsigned propertyEvents(const std::string& interface, const std::string& property);

} // namespace oscprobe::internal

#endif
