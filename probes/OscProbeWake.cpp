#include "OscProbeWake.h"

#include "EvDebug.h"
#include "internal/OscProbePowerEvents.h"

bool OscProbeWake::watchPower(JxMonitor* monitor)
{
    EvDebug log(nullptr);
    return oscprobe::internal::startPowerEvents(monitor, nullptr, monitor, log);
}

void OscProbeWake::unwatchPower(JxMonitor* monitor) { oscprobe::internal::stopPowerEvents(monitor); }

unsigned long long OscProbeWake::generation() { return oscprobe::internal::wakeGeneration(); }
