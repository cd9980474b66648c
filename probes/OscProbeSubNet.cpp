// OscProbeSubNet: construction, subnet parsing and the go/no-go decision.
// Listing the interfaces lives in OscProbeSubNet_linux.cpp, the
// address-change watcher in OscProbeSubNetWatcher_linux.cpp, the pure
// parsers and comparisons in internal/OscProbeSubNetInternal.cpp.
#include "OscProbeSubNet.h"

#include <string.h>

#include "JxException.h"
#include "internal/OscProbeSubNetInternal.h"

namespace {

const char* const kClassName = "OscProbeSubNet";
const char* const kProbeTag = "OscProbeSubNet::probe";
const char* const kSourceFile = "OscProbeSubNet";

// Error sites keep stable line identifiers so hosts' log filters see the
// same numbers release after release.
constexpr int kLineMissingBits = 64;
constexpr int kLineBadAddress = 68;
constexpr int kLineBadLength = 73;

constexpr size_t kTextSize = 128;

uint16_t familyOf(const ZUNET_SockAddr& a)
{
    uint16_t family;
    memcpy(&family, a.raw, sizeof family);
    return family;
}

} // namespace

OscProbeSubNet::OscProbeSubNet(const std::list<std::string>& definitions)
    : OscProbe(3, true), iftype(UNKNOWN), monitor(nullptr)
{
    debug.Debug(kClassName, "Initializing SubNet Probe. Cost %d", cost);
    for (const std::string& definition : definitions) {
        const std::string::size_type slash = definition.find('/');
        if (slash == std::string::npos)
            throw JxException(kClassName,
                              "Invalid subnet definition " + definition +
                                  ": lacks the \"/bits\" part",
                              kSourceFile, kLineMissingBits, -1);
        const std::string addressText = definition.substr(0, slash);
        ZUNET_SockAddr parsed;
        if (ZUNET_str2ip(addressText.c_str(), &parsed) != 0)
            throw JxException(kClassName,
                              "Couldn't convert string " + addressText + " to an IP address.",
                              kSourceFile, kLineBadAddress, -1);

        const int limit = familyOf(parsed) == 2 ? 32 : 128;
        const std::string lengthText = definition.substr(slash + 1);
        const long long prefix = oscprobe::internal::parsePrefixLength(lengthText.c_str());
        if (prefix < 1 || prefix > limit)
            throw JxException(kClassName,
                              "Invalid subnet length " + lengthText + " passed in address " +
                                  definition,
                              kSourceFile, kLineBadLength, -1);

        const SubNet subnet = oscprobe::internal::makeSubnet(parsed, static_cast<int>(prefix));

        char addrText[kTextSize];
        char maskText[kTextSize];
        ZUNET_ip2str(&subnet.addr, addrText, sizeof addrText);
        ZUNET_ip2str(&subnet.mask, maskText, sizeof maskText);
        debug.Debug(kClassName, "   Subnet: ip=%s, mask=%s", addrText, maskText);
        subnets.push_back(subnet);
    }
}

OscProbeSubNet::OscProbeSubNet() : OscProbe(3, true), iftype(UNKNOWN), monitor(nullptr) {}

OscProbeSubNet::OscProbeSubNet(IFTYPE kind) : OscProbe(3, true), iftype(kind), monitor(nullptr)
{
    debug.Debug(kClassName, "Initializing SubNet Probe. Cost %d", cost);
    debug.Debug(kClassName, "   Interface type: %s", iftype2str(kind));
}

OscProbeSubNet::~OscProbeSubNet()
{
    // Not through the virtual table: the object is already an
    // OscProbeSubNet only.
    OscProbeSubNet::stop();
}

bool OscProbeSubNet::probe() { return probe(nullptr); }

bool OscProbeSubNet::probe(Match* match)
{
    const std::list<Iface> ifaces = getIFList();
    const bool verbose = debug.getDebugLevel() > 1;
    char text[kTextSize];

    if (verbose) {
        for (const Iface& iface : ifaces) {
            for (const ZUNET_SockAddr& addr : iface.addrs) {
                ZUNET_ip2str(&addr, text, sizeof text);
                debug.DebugLvl(kProbeTag, 2, "Found interface: %s (%s): %s", iface.name.c_str(),
                               iftype2str(iface.type), text);
            }
        }
    }

    if (iftype == UNKNOWN) {
        for (const SubNet& subnet : subnets) {
            for (const Iface& iface : ifaces) {
                for (const ZUNET_SockAddr& addr : iface.addrs) {
                    if (!oscprobe::internal::subnetContains(subnet, addr))
                        continue;
                    if (verbose) {
                        ZUNET_ip2str(&subnet.addr, text, sizeof text);
                        debug.DebugLvl(kProbeTag, 2, "Interface %s became ACTIVE", text);
                    }
                    if (match != nullptr)
                        *match = Match{iface.name, addr};
                    stop();
                    return true;
                }
            }
        }
        return false;
    }

    for (const Iface& iface : ifaces) {
        if (iface.type == iftype) {
            if (match != nullptr) // a listed interface has an address
                *match = Match{iface.name, iface.addrs.front()};
            stop();
            debug.DebugLvl(kProbeTag, 2, "%s interface became active", iftype2str(iftype));
            return true;
        }
    }
    return false;
}

OscProbeReason OscProbeSubNet::getNoGoReason()
{
    switch (iftype) {
    case WIRED:
        return OSCPROBE_REASON_NO_WIRED;
    case WIRELESS:
        return OSCPROBE_REASON_NO_WIRELESS;
    default:
        return OSCPROBE_REASON_SUBNET;
    }
}

const char* OscProbeSubNet::iftype2str(IFTYPE kind)
{
    switch (kind) {
    case WIRELESS:
        return "WIRELESS";
    case WIRED:
        return "WIRED";
    case OTHER:
        return "OTHER";
    default:
        return "UNKNOWN";
    }
}
