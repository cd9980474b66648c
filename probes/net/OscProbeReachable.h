// OscProbeReachable: go while any of the given targets ("HOST:PORT",
// "[IPv6]:PORT") accepts a TCP connection within the timeout. Nothing is
// ever sent: each connection is closed as soon as it is made.
//
// A check resolves the names as the system does (getaddrinfo: /etc/hosts,
// the name service switch, mDNS where configured); literal addresses are
// not looked up. Each lookup runs on a short-lived thread of its own, which
// the check waits for no longer than the timeout: a lookup still running
// then is left to finish on its own (it holds what it writes and one
// descriptor, nothing of the probe's), and the next check of the same
// probe waits for it rather than starting another, so a name server that
// does not answer costs at most one thread per target of a probe. Every address of every target
// (IPv6 and IPv4, at most 16 each) is connected to at once, without
// blocking, as soon as it is known; the first accepted connection settles
// the check, and the deadline ends it.
//
// A check is repeated only when needed: probe() gives the last answer
// again while it is less than a second old and no address or route has
// changed since (nor the machine resumed). Changes are seen while the
// reachable probes' listener runs in the process (the first start()
// creates it); without it the second alone bounds the answer's age.
//
// start() wakes the host when an address is added or removed or its flags
// change, and when a route of any table but the local one is added or
// removed (a VPN routes through a table of its own); a notification that
// repeats an address's flags (IPv6 lifetimes refreshed by each router
// advertisement) wakes nobody, except the first time the listener sees
// that address. One listener thread per process serves every started
// reachable probe. So does the machine's resume from sleep, which logind
// announces on the system bus when it is there (the bus source's listener
// runs while a reachable probe is started).
//
// Threading: any host thread may call any operation, on one object at
// once too. A mutex of the object guards its last answer, its time and
// the change count it was found at; it is never held while connecting or
// resolving. A probe() that finds another thread's check of the same
// object in progress waits for that check and gives its answer. start()
// and stop() take the reachable listener's registry lock, which the
// listener holds while it broadcasts on the registered monitors; never
// call them while holding such a monitor.
//
// This class lives in liboscprobe-net (pkg-config oscprobe-net, CMake
// target oscprobe::oscprobe_net).
#ifndef OSCPROBE_OSCPROBEREACHABLE_H
#define OSCPROBE_OSCPROBEREACHABLE_H

#include <list>
#include <memory>
#include <string>

#include "OscProbe.h"

class OSCPROBE_EXPORT OscProbeReachable : public OscProbe {
public:
    struct Finding {
        bool reached = false;
        // "nas.local:22 answered (192.168.1.5)", "no target answered
        // within 3 s: nas.local:22 (connection refused), backup:873 (name
        // not known)".
        std::string text;
    };

    // `targets`: at least one, each "HOST:PORT" or "[IPv6]:PORT";
    // `timeoutMs` at least 1. Throws JxException whose message is the
    // one-line reason when a target is malformed, the list is empty or
    // the timeout is not positive.
    explicit OscProbeReachable(const std::list<std::string>& targets, int timeoutMs = 3000);
    ~OscProbeReachable() override;

    bool probe() override;
    // As probe(), and fills *finding when it is not null. Blocks for the
    // timeout at most, waiting for another thread's check of this object
    // included (should that check throw, this call then makes its own).
    // Throws JxException when no socket, descriptor or thread can be had
    // for the check; an address the kernel cannot reach is a no-go, not
    // an error.
    bool probe(Finding* finding);
    // OSCPROBE_REASON_UNREACHABLE.
    OscProbeReason getNoGoReason() override;

    // Registers the probe (or moves it to `monitor`; null: registered,
    // never woken) and starts the listener on first use. False once the
    // listener has failed in this process: the host must poll. Throws
    // JxException when the thread cannot be created. stop() withdraws it;
    // harmless without a start().
    bool start(JxMonitor* monitor) override;
    void stop() override;

    // Empty when `target` is well-formed, else the one-line reason.
    static std::string whyInvalid(const std::string& target);

private:
    struct State;
    // Set by the constructor; its own mutex guards what changes in it.
    std::unique_ptr<State> state_;
};

#endif
