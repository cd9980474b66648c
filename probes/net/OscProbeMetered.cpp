// OscProbeMetered: NetworkManager's word on the connection, counted; the
// bus side is in internal/Bus_linux.cpp, what it means in
// internal/BusInternal.cpp.
#include "OscProbeMetered.h"

#include "internal/Bus.h"

namespace {

const char* const kClassName = "OscProbeMetered";

} // namespace

OscProbeMetered::OscProbeMetered(bool strict) : OscProbe(3, true), strict_(strict)
{
    debug.Debug(kClassName, "Initializing Metered probe. Cost %d", cost);
}

OscProbeMetered::~OscProbeMetered()
{
    // Not through the virtual table: the object is already an OscProbeMetered only.
    OscProbeMetered::stop();
}

bool OscProbeMetered::probe() { return probe(nullptr); }

bool OscProbeMetered::probe(Finding* finding)
{
    using namespace oscprobe::internal;
    std::string why;
    const MeteredVerdict verdict = decideMetered(readMetered(&why), strict_);
    if (why.empty())
        debug.DebugLvl("OscProbeMetered::probe", 2, "%s", verdict.text.c_str());
    else
        debug.DebugLvl("OscProbeMetered::probe", 2, "%s (%s)", verdict.text.c_str(), why.c_str());
    if (finding != nullptr) {
        finding->kind = verdict.kind == MeteredKind::METERED       ? Finding::METERED
                        : verdict.kind == MeteredKind::NOT_METERED ? Finding::NOT_METERED
                                                                   : Finding::UNKNOWN;
        finding->text = verdict.text;
    }
    return !verdict.metered;
}

OscProbeReason OscProbeMetered::getNoGoReason() { return OSCPROBE_REASON_METERED; }

bool OscProbeMetered::start(JxMonitor* monitor)
{
    oscprobe::internal::startBusEvents(this, monitor, oscprobe::internal::BUS_METERED);
    return true;
}

void OscProbeMetered::stop() { oscprobe::internal::stopBusEvents(this); }
