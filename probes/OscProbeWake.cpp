#include "OscProbeWake.h"

#include "internal/OscProbePowerEvents.h"
#include "internal/WakeSource.h"

bool OscProbeWake::watchPower(JxMonitor* monitor) { return oscprobe::internal::watchPowerEvents(monitor); }

void OscProbeWake::unwatchPower(JxMonitor* monitor) { oscprobe::internal::unwatchPowerEvents(monitor); }

unsigned long long OscProbeWake::generation() { return oscprobe::internal::wakeGeneration(); }
