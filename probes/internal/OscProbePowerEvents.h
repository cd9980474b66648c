// Power events for the power probes (AC, battery): a registry of started
// probes and the one listener thread that wakes their monitors when the
// kernel announces a power-supply change. Not exported.
//
// Threading: any host thread; both take the power registry's lock, which
// the listener holds while it broadcasts, so never call them while holding
// a monitor a started probe uses.
#ifndef OSCPROBE_INTERNAL_OSCPROBEPOWEREVENTS_H
#define OSCPROBE_INTERNAL_OSCPROBEPOWEREVENTS_H

#include "EvDebug.h"
#include "JxMonitor.h"

class OscProbe;

namespace oscprobe::internal {

// Registers `probe` (holding a reference) to be woken on `monitor`, or moves
// it there, and starts the listener on first use. False when the listener
// cannot work: no uevent socket (said on `debug`), or it has failed since.
// Throws JxException when the thread cannot be created.
bool startPowerEvents(OscProbe* probe, JxMonitor* monitor, EvDebug& debug);

// As above for any key (a watched monitor); `probe` may be null.
bool startPowerEvents(const void* key, OscProbe* probe, JxMonitor* monitor, EvDebug& debug);

// Withdraws the registration; harmless without one.
void stopPowerEvents(const void* key);

// Every wake source's broadcast passes, counted before each pass.
void countWakePass();
unsigned long long wakeGeneration();

} // namespace oscprobe::internal

#endif
