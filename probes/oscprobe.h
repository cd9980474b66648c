// oscprobe: everything a host needs, in one header.
//
//   #include <oscprobe/oscprobe.h>
//
// The probes, their reason codes, OscProbeWake (power wake-ups, the wake
// generation), and the host-facing support API: JxMonitor (wake-ups from
// OscProbeSubNet, OscProbeBattery and OscProbeWake), SP (ownership),
// EvDebug (log level and destination), JXPlatformInfo (settings file) and
// JxException (what a failed probe() throws).
#ifndef OSCPROBE_OSCPROBE_UMBRELLA_H
#define OSCPROBE_OSCPROBE_UMBRELLA_H

#include "EvDebug.h"
#include "JXPlatformInfo.h"
#include "JxException.h"
#include "JxMonitor.h"
#include "JxMonitorLock.h"
#include "OscProbe.h"
#include "OscProbeAC.h"
#include "OscProbeBattery.h"
#include "OscProbeCPU.h"
#include "OscProbeDiskSpace.h"
#include "OscProbeHM.h"
#include "OscProbeReason.h"
#include "OscProbeSubNet.h"
#include "OscProbeWake.h"
#include "SP.h"

#endif
