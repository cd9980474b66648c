// OscProbeSubNet: go when the machine is attached to a wanted network.
//
// Subnet mode: some interface carries an address inside one of a list of
// subnets ("address/bits", IPv4 or IPv6). Type mode: some interface is of a
// wanted kind (WIRED or WIRELESS). Every probe() lists the interfaces
// afresh.
//
// start(monitor) registers the probe with the process's one address-change
// watcher, a detached thread on a netlink routing socket: when an address
// comes up and the interface list changed, it broadcasts on the monitor of
// every registered probe. An address that no interface had is announced at
// once, before the watcher lists the interfaces to confirm it, so a host may
// now and then be woken for an address that has gone again by the time it
// looks. A go answer calls stop(), so a probe is woken only while its
// answers are no-go.
//
// Threading: host threads call every public operation; probe() writes no
// member, so threads may probe one object at once. A process-wide
// registry lock guards the registered probes; the watcher holds it for each
// broadcast pass and enters each monitor only around its broadcast. Lock
// order: registry, then a monitor. A host must therefore not call start()
// or stop() while it holds a monitor that a started probe uses. Call stop()
// before releasing a started probe: the registry holds a reference.
#ifndef OSCPROBE_OSCPROBESUBNET_H
#define OSCPROBE_OSCPROBESUBNET_H

#include <atomic>
#include <list>
#include <string>

#include "OscProbe.h"
#include "ZuNetwork.h"

class OSCPROBE_EXPORT OscProbeSubNet : public OscProbe {
public:
    enum IFTYPE : int32_t { UNKNOWN = 0, WIRED = 1, WIRELESS = 2, OTHER = 3 };

    // One interface: its name, kind and every address (IPv4 first, then
    // IPv6), in the 28-byte layout of ZuNetwork.h.
    struct Iface {
        std::string name;
        IFTYPE type = UNKNOWN;
        std::list<ZUNET_SockAddr> addrs;

        // Same name, kind and set of addresses (order does not matter).
        bool operator==(const Iface& other) const;
    };

    // One parsed subnet: the network address (host bits cleared) and the
    // mask, both in the same 28-byte layout.
    struct SubNet {
        ZUNET_SockAddr addr;
        ZUNET_SockAddr mask;
    };

    // Subnet mode. Throws JxException at the first definition without
    // "/bits", with an address that does not parse, or with a prefix
    // outside 1..32 (IPv4) or 1..128 (IPv6).
    explicit OscProbeSubNet(const std::list<std::string>& definitions);
    // Subnet mode with no subnets: never goes. Logs nothing.
    OscProbeSubNet();
    // Type mode for `kind`; UNKNOWN gives subnet mode without subnets.
    explicit OscProbeSubNet(IFTYPE kind);
    ~OscProbeSubNet() override;

    // Lists the interfaces (throws JxException when that fails). On a go
    // answer the probe is stopped first.
    bool probe() override;

    // What a go answer found: the interface, and the address that matched
    // (subnet mode) or the interface's first address (type mode).
    struct Match {
        std::string iface;
        ZUNET_SockAddr addr{};
    };
    // As probe(), and on a go answer fills *match when it is not null.
    bool probe(Match* match);

    // Records `monitor` (null allowed: registered, never woken) and
    // registers the probe, starting the watcher on the first call in the
    // process. False, with nothing recorded, once the watcher has failed.
    // Throws JxException when the watcher thread cannot be created.
    bool start(JxMonitor* monitor) override;

    // Forgets the monitor and leaves the registry. Once it returns, the
    // watcher no longer uses the old monitor.
    void stop() override;

    OscProbeReason getNoGoReason() override;

    // Every interface that carries an address, ascending by name. Throws
    // JxException when the kernel cannot be asked.
    static std::list<Iface> getIFList();

    // CRC-32 register over names, kinds and addresses of getIFList().
    static uint32_t getIfaceConfigCRC32();

    // "UNKNOWN", "WIRED", "WIRELESS" or "OTHER".
    static const char* iftype2str(IFTYPE kind);

private:
    static void* thread_func(void* arg);

    std::list<SubNet> subnets;
    IFTYPE iftype;
    // Written by host threads in start()/stop(), read by the watcher.
    std::atomic<JxMonitor*> monitor;
};

#endif
