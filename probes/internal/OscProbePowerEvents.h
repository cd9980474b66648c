// Power events for the battery probe and OscProbeWake: the power source's
// registry and its one listener thread, which wakes the registered
// monitors when the kernel announces a power-supply change. Not exported;
// the contract (locks, threads, failure) is the wake mechanism's, in
// WakeSource.h.
//
// Threading: any host thread; each call takes the power registry's lock,
// which the listener holds while it broadcasts, so never call them while
// holding a registered monitor.
#ifndef OSCPROBE_INTERNAL_OSCPROBEPOWEREVENTS_H
#define OSCPROBE_INTERNAL_OSCPROBEPOWEREVENTS_H

#include "EvDebug.h"
#include "JxMonitor.h"

class OscProbe;

namespace oscprobe::internal {

// Registers `probe` (holding a reference) to be woken on `monitor`, or moves
// it there (null: registered, never woken), and starts the listener on
// first use. False, said at level 2 on `debug`, when the listener has failed
// in this process: the host must poll. Throws JxException when the thread
// cannot be created.
bool startPowerEvents(OscProbe* probe, JxMonitor* monitor, EvDebug& debug);

// Withdraws the registration; harmless without one.
void stopPowerEvents(OscProbe* probe);

// As above with the monitor as its own key and no reference held.
bool watchPowerEvents(JxMonitor* monitor);
void unwatchPowerEvents(JxMonitor* monitor);

} // namespace oscprobe::internal

#endif
