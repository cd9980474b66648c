// OscProbeNetwork: the ids, and the answer worded from what the kernel
// said; the kernel side is in OscProbeNetwork_linux.cpp, what it means in
// internal/NetworkInternal.cpp.
#include "OscProbeNetwork.h"

#include <algorithm>
#include <vector>

#include "JxException.h"
#include "internal/Bus.h"
#include "internal/NetworkInternal.h"
#include "internal/NetworkKernel.h"

using oscprobe::internal::NetworkId;
using oscprobe::internal::NetworkVerdict;

struct OscProbeNetwork::Ids {
    std::vector<NetworkId> ids;
    bool wantsSsid = false;
};

namespace {

const char* const kClassName = "OscProbeNetwork";

} // namespace

OscProbeNetwork::OscProbeNetwork(const std::list<std::string>& ids) : OscProbe(3, true)
{
    debug.Debug(kClassName, "Initializing Network probe. Cost %d", cost);
    std::unique_ptr<Ids> parsed(new Ids);
    if (ids.empty())
        throw JxException(kClassName, "no network given (aa:bb:cc:dd:ee:ff or ssid:NAME)",
                          kClassName, 1, -1);
    for (const std::string& text : ids) {
        NetworkId id;
        std::string why;
        if (!oscprobe::internal::parseNetworkId(text, &id, &why))
            throw JxException(kClassName, why, kClassName, 2, -1);
        parsed->wantsSsid = parsed->wantsSsid || id.isSsid;
        parsed->ids.push_back(id);
    }
    ids_ = std::move(parsed);
}

OscProbeNetwork::~OscProbeNetwork()
{
    // Not through the virtual table: the object is already an OscProbeNetwork only.
    OscProbeNetwork::stop();
}

bool OscProbeNetwork::probe() { return probe(nullptr); }

bool OscProbeNetwork::probe(Finding* finding)
{
    using namespace oscprobe::internal;
    const std::vector<GatewaySeen> now = readGateways();
    std::string ssid, text;
    const bool haveSsid = ids_->wantsSsid && readWifiName(&ssid);
    const NetworkVerdict verdict = decideNetwork(ids_->ids, now, haveSsid ? &ssid : nullptr, &text);
    debug.DebugLvl("OscProbeNetwork::probe", 2, "%s", text.c_str());
    if (finding != nullptr) {
        finding->kind = verdict == NetworkVerdict::KNOWN   ? Finding::KNOWN
                        : verdict == NetworkVerdict::OTHER ? Finding::OTHER
                                                           : Finding::NOT_YET;
        finding->text = text;
    }
    return verdict == NetworkVerdict::KNOWN;
}

OscProbeReason OscProbeNetwork::getNoGoReason() { return OSCPROBE_REASON_NETWORK; }

bool OscProbeNetwork::start(JxMonitor* monitor)
{
    using namespace oscprobe::internal;
    if (ids_->wantsSsid)
        startBusEvents(this, monitor, BUS_WIFI);
    return startNetworkEvents(this, monitor, debug);
}

void OscProbeNetwork::stop()
{
    if (ids_->wantsSsid)
        oscprobe::internal::stopBusEvents(this);
    oscprobe::internal::stopNetworkEvents(this);
}

std::string OscProbeNetwork::whyInvalid(const std::string& id)
{
    NetworkId parsed;
    std::string why;
    return oscprobe::internal::parseNetworkId(id, &parsed, &why) ? std::string() : why;
}

std::list<std::string> OscProbeNetwork::currentIds()
{
    using namespace oscprobe::internal;
    std::list<std::string> ids;
    for (const GatewaySeen& g : readGateways()) {
        const std::string mac = formatMac(g.mac);
        if (g.known && std::find(ids.begin(), ids.end(), mac) == ids.end())
            ids.push_back(mac);
    }
    std::string ssid;
    if (readWifiName(&ssid))
        ids.push_back("ssid:" + ssid);
    return ids;
}
