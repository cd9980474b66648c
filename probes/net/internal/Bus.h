// The network probes' side of the system bus: bounded reads of
// NetworkManager's properties, and the bus source of the wake mechanism
// (probes/internal/WakeSource.h), whose passes go through liboscprobe's one
// count. Not exported. The decisions on what is read are in
// internal/BusInternal.h; the Wi-Fi name's reader is declared with the
// kernel's readers in internal/NetworkKernel.h.
//
// Reads open a connection of their own each (DBUS_SYSTEM_BUS_ADDRESS, else
// the usual socket), never start a service, and give up one second after
// they began, whatever the bus does: a host is never held longer. A bus
// that is not there fails at once.
//
// The source: one listener thread per process on one connection of its
// own, which exists only while some registrant is started. Registrants say
// which of BusEvent they want; a pass wakes only the registrants of the
// events seen. Lock order: the source's lock, then an event's registry
// lock, then one monitor; the listener takes only the last two, so a
// host must not call startBusEvents or stopBusEvents while it holds a
// registered monitor.
//
// Threading: any host thread.
#ifndef OSCPROBE_NET_INTERNAL_BUS_H
#define OSCPROBE_NET_INTERNAL_BUS_H

#include <string>

#include "JxMonitor.h"
#include "internal/BusInternal.h"

class OscProbe;

namespace oscprobe::internal {

// NetworkManager's Metered property. Anything but VALUE comes with *why,
// one line for the log.
MeteredRead readMetered(std::string* why);

// Registers `probe` (holding a reference until stopBusEvents) to be woken
// on `monitor` (null: registered, never woken) for `events` (BusEvent
// bits), or moves it to `monitor`; a probe keeps the events of its first
// registration. The first registrant of the process opens the connection,
// adds its matches and starts the listener; returns once the matches are
// in place, so a change after it wakes the host (a bus that does not
// answer holds it one second at most; one that is not there is tried
// again every five seconds, and its coming wakes everyone). Throws
// JxException when the thread cannot be made; the registration stays, and
// the next call tries again.
//
// OscProbeReachable, say, asks for resumes from sleep with
// startBusEvents(this, monitor, BUS_RESUME) in start() and
// stopBusEvents(this) in stop().
void startBusEvents(OscProbe* probe, JxMonitor* monitor, unsigned events);

// Withdraws `probe`; harmless without a registration. The last one ends
// the listener: its thread is woken, joined (no lock held) and its
// connection closed before this returns.
void stopBusEvents(OscProbe* probe);

} // namespace oscprobe::internal

#endif
