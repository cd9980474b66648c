// What NetworkManager's answers mean; see internal/BusInternal.h.
#include "internal/BusInternal.h"

#include <cstring>

namespace oscprobe::internal {

namespace {

constexpr const char* kManager = "org.freedesktop.NetworkManager";
constexpr const char* kActive = "org.freedesktop.NetworkManager.Connection.Active";
constexpr const char* kAccessPoint = "org.freedesktop.NetworkManager.AccessPoint";

} // namespace

MeteredVerdict decideMetered(const MeteredRead& read, bool strict)
{
    MeteredVerdict v;
    if (read.status == MeteredRead::VALUE && read.value >= 1 && read.value <= 4) {
        const bool yes = read.value == 1 || read.value == 3;
        v.kind = yes ? MeteredKind::METERED : MeteredKind::NOT_METERED;
        v.metered = yes;
        v.text = std::string(yes ? "metered" : "not metered") + " (NetworkManager " +
                 (read.value <= 2 ? "says " : "guesses ") + (yes ? "yes)" : "no)");
        return v;
    }
    v.kind = MeteredKind::UNKNOWN;
    v.metered = strict;
    v.text = read.status == MeteredRead::ABSENT
                 ? "no NetworkManager on the system bus"
                 : "NetworkManager does not know whether the connection is metered";
    v.text += strict ? "; counted as metered (strict)" : "; counted as not metered";
    return v;
}

bool ssidName(const uint8_t* bytes, size_t length, std::string* name)
{
    if (length == 0 || length > 32 || memchr(bytes, 0, length) != nullptr)
        return false;
    name->assign(reinterpret_cast<const char*>(bytes), length);
    return true;
}

unsigned propertyEvents(const std::string& interface, const std::string& property)
{
    if (interface == kManager) {
        if (property == "Metered")
            return BUS_METERED;
        // The Wi-Fi name is read through the primary connection, or the
        // active ones when there is none.
        return property == "PrimaryConnection" || property == "ActiveConnections" ? unsigned(BUS_WIFI) : 0u;
    }
    if (interface == kActive)
        return property == "SpecificObject" ? unsigned(BUS_WIFI) : 0u;
    if (interface == kAccessPoint)
        return property == "Ssid" ? unsigned(BUS_WIFI) : 0u;
    return 0;
}

} // namespace oscprobe::internal
