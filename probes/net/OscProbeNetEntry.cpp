#include "OscProbeNetEntry.h"

#include "OscProbeNetwork.h"

namespace {

OscProbe* makeNetwork(const std::list<std::string>& ids)
{
    return new OscProbeNetwork(ids);
}

bool probe(OscProbe* probe, std::string* text)
{
    if (auto* network = dynamic_cast<OscProbeNetwork*>(probe)) {
        OscProbeNetwork::Finding finding;
        const bool go = network->probe(&finding);
        if (text != nullptr)
            *text = finding.text;
        return go;
    }
    return probe->probe();
}

const OscProbeNetEntry kEntry = {
    sizeof(OscProbeNetEntry),
    makeNetwork,
    OscProbeNetwork::whyInvalid,
    probe,
};

} // namespace

const OscProbeNetEntry* oscprobe_net_entry()
{
    return &kEntry;
}
