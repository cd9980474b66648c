// OscProbeNetwork: go while the machine is on one of the networks it was
// given, each named by its default gateway's hardware address
// ("aa:bb:cc:dd:ee:ff") or its Wi-Fi name ("ssid:NAME"). No-go on any other
// network, on none, and while a default gateway's hardware address is not
// known to the kernel yet (it is learnt with the first packet sent there).
//
// probe() asks the kernel over a NETLINK_ROUTE socket for the default
// routes of the main table (IPv4 and IPv6, lowest metric first) and the
// neighbour table, and compares each gateway's hardware address with the
// ids. With an "ssid:" id it also asks NetworkManager over the system bus
// for the Wi-Fi name: the primary connection's when it is a Wi-Fi one, else
// the first active Wi-Fi connection's. Without NetworkManager the name is
// unknown, and the finding says so.
//
// start() wakes the host when a default route comes or goes and when a
// default gateway's hardware address appears, changes or goes; the
// neighbour table's reachability states (REACHABLE, STALE, DELAY...) wake
// nobody. One listener thread per process serves every started network
// probe; the first start() creates it. With an "ssid:" id, start() also
// registers with the bus source (see OscProbeMetered.h), which wakes the
// host when the Wi-Fi network may be another one and when NetworkManager
// comes or goes; an access point's signal strength wakes nobody. Their
// wake-ups count in OscProbeWake::generation() like those of liboscprobe's
// own sources.
//
// This class lives in liboscprobe-net (pkg-config oscprobe-net, CMake
// target oscprobe::oscprobe_net), which links liboscprobe.
//
// Threading: probe() writes no member, so threads may probe one object at
// once. start() and stop() take the network listener's registry lock,
// which the listener holds while it broadcasts on the registered
// monitors; never call them while holding such a monitor.
#ifndef OSCPROBE_OSCPROBENETWORK_H
#define OSCPROBE_OSCPROBENETWORK_H

#include <list>
#include <memory>
#include <string>

#include "OscProbe.h"

class OSCPROBE_EXPORT OscProbeNetwork : public OscProbe {
public:
    // What settled an answer, for the caller to word it.
    struct Finding {
        enum Kind {
            KNOWN,  // go: an id matched
            OTHER,  // no-go: another network, or no default gateway
            NOT_YET // no-go: a gateway's hardware address is not known yet
        };
        Kind kind = NOT_YET;
        // "on a known network: gateway 10.0.0.1 is aa:bb:cc:dd:ee:ff",
        // "gateway 10.0.0.1 not recognised yet (the kernel does not know
        // its hardware address)", "no default gateway", "gateway 10.0.0.1
        // is aa:bb:cc:dd:ee:ff, not a known network".
        std::string text;
    };

    // `ids`: at least one, each a MAC address (':' or '-' between the
    // octets, any case) or "ssid:NAME". Throws JxException whose message
    // is the one-line reason when one is malformed or the list is empty.
    explicit OscProbeNetwork(const std::list<std::string>& ids);
    ~OscProbeNetwork() override;

    bool probe() override;
    // As probe(), and fills *finding when it is not null. Throws
    // JxException when the kernel cannot be asked (socket, send or receive
    // failing, or no reply within two seconds).
    bool probe(Finding* finding);
    // OSCPROBE_REASON_NETWORK.
    OscProbeReason getNoGoReason() override;

    // Registers the probe (or moves it to `monitor`; null: registered, never
    // woken) and starts the listener on first use. False once the listener
    // has failed in this process: the host must poll. Throws JxException
    // when the thread cannot be created. stop() withdraws it; harmless
    // without a start().
    bool start(JxMonitor* monitor) override;
    void stop() override;

    // Empty when `id` is well-formed, else the one-line reason.
    static std::string whyInvalid(const std::string& id);

    // The ids of the network the machine is on now, ready to be given to
    // the constructor: each default gateway's hardware address the kernel
    // knows ("aa:bb:cc:dd:ee:ff", lowest metric first, each once), then
    // "ssid:NAME" when NetworkManager tells a Wi-Fi name. Empty: none
    // known. Blocks as probe() does; throws JxException when the kernel
    // cannot be asked.
    static std::list<std::string> currentIds();

private:
    struct Ids;
    // Set by the constructor, read-only after.
    std::unique_ptr<const Ids> ids_;
};

#endif
