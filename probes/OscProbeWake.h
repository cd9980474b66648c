// OscProbeWake: wake-ups a host asks for itself, and the count that lets it
// wait without losing one.
//
// watchPower(monitor) has the monitor broadcast on every power-supply change
// the kernel announces (a charger plugged in or pulled, a battery changing
// state), so a host that waits for AC power or a battery level need not
// poll. One listener thread per process serves every watched monitor and
// every started OscProbeBattery; it is created by the first watchPower() or
// OscProbeBattery::start() in the process. A host that calls neither gets
// no thread for it. An event is only a hint to look again: the answer
// always comes from the probes.
//
// generation() counts the broadcast passes that every wake source has run
// (the address watcher, the power listener, and liboscprobe-net's network
// listener when a host uses it): a pass adds one
// before it enters any monitor. A host that reads it before an evaluation,
// and again with its monitor entered just before it waits, sees a
// different value whenever a wake-up may have landed while it was not
// waiting; it then evaluates again instead of waiting.
//
// Threading: any host thread. watchPower() and unwatchPower() take the power
// listener's registry lock, which the listener holds while it broadcasts on
// the watched monitors and enters each of them only around its broadcast.
// Lock order: registry, then a monitor. Never call them while holding a
// monitor that is watched or that a started probe uses. generation() takes
// no lock.
#ifndef OSCPROBE_OSCPROBEWAKE_H
#define OSCPROBE_OSCPROBEWAKE_H

#include "JxMonitor.h"
#include "OscProbeExport.h"

class OSCPROBE_EXPORT OscProbeWake {
public:
    // Registers `monitor` to be broadcast on every power-supply change and
    // starts the listener on first use. True: registered (null: registered,
    // never woken; watching a monitor twice keeps one registration). False:
    // the listener has failed in this process (no socket, or a socket that
    // failed), nothing is registered, and the host must poll. A listener
    // that fails broadcasts once on every watched monitor before it ends.
    // Throws JxException when the thread cannot be created; the monitor
    // stays registered then, and the next call tries again.
    static bool watchPower(JxMonitor* monitor);

    // Withdraws `monitor`; harmless without watchPower(). Once it returns,
    // the listener no longer uses the monitor and the host may destroy it.
    static void unwatchPower(JxMonitor* monitor);

    // Broadcast passes run so far by every wake source of the library
    // together. Never blocks.
    static unsigned long long generation();

    OscProbeWake() = delete;
};

#endif
