// OscProbeMetered: go while the connection in use is not metered, as
// NetworkManager judges it (a mobile broadband link, a phone's hotspot, a
// connection the user marked so); no-go on a metered one. When
// NetworkManager does not know, or is not on the system bus, the answer
// counts as not metered, or as metered when the probe is strict.
//
// probe() reads NetworkManager's Metered property over the system bus
// (DBUS_SYSTEM_BUS_ADDRESS when set), on a connection of its own: one call,
// given up after one second. It never starts NetworkManager.
//
// start() wakes the host when Metered changes and when NetworkManager
// comes or goes; nothing else NetworkManager announces (an access point's
// signal strength, say) does. One listener thread per process, on a bus
// connection of its own, serves every started probe of liboscprobe-net
// that needs the bus; the first start() makes it and the last stop() ends
// it. Its wake-ups count in OscProbeWake::generation(). A bus that drops
// the listener wakes the host once (the answer is then unknown), and the
// listener tries again every five seconds; its return wakes the host too.
//
// This class lives in liboscprobe-net (pkg-config oscprobe-net, CMake
// target oscprobe::oscprobe_net), which links liboscprobe and libsystemd.
//
// Threading: probe() writes no member, so threads may probe one object at
// once. start() and stop() take the bus source's locks, which its listener
// holds while it broadcasts on the registered monitors; never call them
// while holding such a monitor.
#ifndef OSCPROBE_OSCPROBEMETERED_H
#define OSCPROBE_OSCPROBEMETERED_H

#include <string>

#include "OscProbe.h"

class OSCPROBE_EXPORT OscProbeMetered : public OscProbe {
public:
    // What settled an answer, for the caller to word it.
    struct Finding {
        enum Kind {
            NOT_METERED, // NetworkManager says or guesses no
            METERED,     // NetworkManager says or guesses yes
            UNKNOWN      // NetworkManager does not know, or is not there
        };
        Kind kind = UNKNOWN;
        // "not metered (NetworkManager says no)", "metered (NetworkManager
        // guesses yes)", "NetworkManager does not know whether the
        // connection is metered; counted as not metered", "no
        // NetworkManager on the system bus; counted as metered (strict)".
        std::string text;
    };

    // `strict`: an unknown answer counts as metered. Throws nothing.
    explicit OscProbeMetered(bool strict = false);
    ~OscProbeMetered() override;

    // Go when not metered (as counted). Blocks on one bus call, at most a
    // second; a bus that is not there answers at once. Throws nothing for
    // what the bus does: its faults are an unknown answer, said in one
    // level-2 log line.
    bool probe() override;
    // As probe(), and fills *finding when it is not null.
    bool probe(Finding* finding);
    // OSCPROBE_REASON_METERED.
    OscProbeReason getNoGoReason() override;

    // Registers the probe (or moves it to `monitor`; null: registered,
    // never woken) and starts the listener on first use; returns once its
    // matches are in place (at most a second on a bus that does not
    // answer). True: without a bus for now, the listener tries again every
    // five seconds. Throws JxException when its thread cannot be created.
    // stop() withdraws it, ending the listener with the last registrant;
    // harmless without a start().
    bool start(JxMonitor* monitor) override;
    void stop() override;

    bool isStrict() const { return strict_; }

private:
    const bool strict_;
};

#endif
