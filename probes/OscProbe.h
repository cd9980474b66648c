// OscProbe: the contract every condition probe fulfils for its host.
//
// Calling order per probe: construct; start(monitor); any number of probe()
// calls, each no-go answer followed by getNoGoReason(); stop(); release.
// Probes are heap objects held through SP; the last reference deletes the
// probe through its virtual destructor.
//
// Threading: the host's threads call every operation. The base takes no
// lock; state shared between probes is locked by the probe that owns it.
// Everything here is inline and compiled into the host as well.
#ifndef OSCPROBE_OSCPROBE_H
#define OSCPROBE_OSCPROBE_H

#include <cstdint>

#include "EvDebug.h"
#include "JxMonitor.h"
#include "OscProbeExport.h"
#include "OscProbeReason.h"
#include "SPEnabled.h"

class OSCPROBE_EXPORT OscProbe : public SPEnabled {
public:
    virtual ~OscProbe() {}

    // Go (true) or no-go (false) for the condition now. Throws JxException
    // when a system call the probe relies on fails.
    virtual bool probe() = 0;

    // Asks to be woken on `monitor` when the answer may have changed. True
    // means a wake-up will come; the default never wakes and says false.
    virtual bool start(JxMonitor* monitor)
    {
        (void)monitor;
        return false;
    }

    // Withdraws a start(); harmless without one.
    virtual void stop() {}

    // The reason behind a no-go; valid at any time.
    virtual OscProbeReason getNoGoReason() = 0;

    // Relative expense of one probe() on a scale of 0 to 10.
    int getCost() const { return cost; }
    // Whether start() can ever wake the host's monitor.
    bool getWakesMonitor() const { return wakesMonitor; }

protected:
    // The cost is clamped to 0..10.
    OscProbe(int probeCost, bool wakes)
        : cost(probeCost < 0 ? 0 : (probeCost > 10 ? 10 : probeCost)), wakesMonitor(wakes),
          debug(nullptr)
    {
    }

    int32_t cost;
    bool wakesMonitor;
    EvDebug debug;
};

#endif
