#include "OscProbeNetEntry.h"

#include "OscProbeMetered.h"
#include "OscProbeNetwork.h"
#include "OscProbeReachable.h"

namespace {

OscProbe* makeNetwork(const std::list<std::string>& ids)
{
    return new OscProbeNetwork(ids);
}

OscProbe* makeMetered(bool strict)
{
    return new OscProbeMetered(strict);
}

OscProbe* makeReachable(const std::list<std::string>& targets, int timeoutMs)
{
    return new OscProbeReachable(targets, timeoutMs);
}

// Asks `probe` as its class `P` says, when it is one.
template <class P>
bool asked(OscProbe* probe, std::string* text, bool* go)
{
    auto* p = dynamic_cast<P*>(probe);
    if (p == nullptr)
        return false;
    typename P::Finding finding;
    *go = p->probe(&finding);
    if (text != nullptr)
        *text = finding.text;
    return true;
}

bool probe(OscProbe* probe, std::string* text)
{
    bool go = false;
    if (asked<OscProbeNetwork>(probe, text, &go) || asked<OscProbeMetered>(probe, text, &go) ||
        asked<OscProbeReachable>(probe, text, &go))
        return go;
    return probe->probe();
}

const OscProbeNetEntry kEntry = {
    sizeof(OscProbeNetEntry),
    makeNetwork,
    OscProbeNetwork::whyInvalid,
    OscProbeNetwork::currentIds,
    makeMetered,
    makeReachable,
    OscProbeReachable::whyInvalid,
    probe,
};

} // namespace

const OscProbeNetEntry* oscprobe_net_entry()
{
    return &kEntry;
}
