#include "OscProbeHM.h"

#include <cstdlib>
#include <string>

#include "JXPlatformInfo.h"
#include "internal/OscProbeHMInternal.h"

namespace oscprobe::internal {

bool hmSettingIsNonZero(const char* text)
{
    // atoi's reading without its undefined result for numbers beyond an
    // int: strtoll saturates instead, and any saturated value is non-zero.
    return strtoll(text, nullptr, 10) != 0;
}

} // namespace oscprobe::internal

OscProbeHM::OscProbeHM() : OscProbe(2, false)
{
    debug.Debug("OscProbeHM", "Initializing Hubmaster probe. Cost %d", cost);
}

OscProbeHM::~OscProbeHM() {}

bool OscProbeHM::probe()
{
    JXPlatformInfo settings;
    std::string value;
    if (settings.getString("Runtime", "nHMONLINE", &value) == 0)
        value = "0";
    bool reachable = oscprobe::internal::hmSettingIsNonZero(value.c_str());
    debug.DebugLvl("OscProbeHM::probe", 2, "HM is %s", reachable ? "REACHABLE" : "UNREACHABLE");
    return reachable;
}

OscProbeReason OscProbeHM::getNoGoReason() { return OSCPROBE_REASON_HUBMASTER; }
