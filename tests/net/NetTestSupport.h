// Helpers for the network tests: interfaces made for one test and deleted
// with it, address inspection, and bounded waits.
#ifndef OSCPROBE_TESTS_NET_NETTESTSUPPORT_H
#define OSCPROBE_TESTS_NET_NETTESTSUPPORT_H

#include <arpa/inet.h>
#include <string.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <thread>

#include "OscProbeSubNet.h"
#include "SP.h"
#include "TestSupport.h"

namespace oscprobe_test {

// A network interface that exists for the lifetime of the object. Links come
// up without automatic IPv6 link-local addresses, so the only addresses are
// those a test adds (and only its own changes reach the watcher).
class TestLink {
public:
    enum Kind { Veth, Bridge, Tun };

    TestLink(const std::string& name, Kind kind) : name_(name)
    {
        const char* make[] = {" type veth peer name ", " type bridge", " mode tun"};
        std::string cmd = (kind == Tun ? "ip tuntap add " : "ip link add ") + name + make[kind];
        if (kind == Veth)
            cmd += name + "p && ip link set " + name + "p addrgenmode none && ip link set " +
                   name + "p up";
        cmd += " && ip link set " + name + " addrgenmode none && ip link set " + name + " up";
        ok_ = sh(cmd) == 0;
    }
    ~TestLink() { sh("ip link del " + name_); }
    TestLink(const TestLink&) = delete;
    TestLink& operator=(const TestLink&) = delete;

    bool ok() const { return ok_; }
    const std::string& name() const { return name_; }

    // `cidr` as "10.0.0.1/24" or "2001:db8::1/64"; IPv6 skips duplicate
    // address detection so the address is final at once.
    bool add(const std::string& cidr, const std::string& extra = std::string()) const
    {
        std::string v6 = cidr.find(':') != std::string::npos ? " nodad" : "";
        return sh("ip addr add " + cidr + " dev " + name_ + v6 + " " + extra) == 0;
    }
    bool del(const std::string& cidr) const
    {
        return sh("ip addr del " + cidr + " dev " + name_) == 0;
    }

private:
    std::string name_;
    bool ok_ = false;
};

inline uint16_t familyOf(const ZUNET_SockAddr& a)
{
    uint16_t family;
    memcpy(&family, a.raw, sizeof family);
    return family;
}

// Text of an address read straight from the 28-byte layout.
inline std::string addrText(const ZUNET_SockAddr& a)
{
    char buf[INET6_ADDRSTRLEN] = "";
    if (familyOf(a) == AF_INET || familyOf(a) == AF_INET6)
        inet_ntop(familyOf(a), a.raw + (familyOf(a) == AF_INET ? 4 : 8), buf, sizeof buf);
    return buf;
}

inline const OscProbeSubNet::Iface* findIface(const std::list<OscProbeSubNet::Iface>& list,
                                             const std::string& name)
{
    for (const OscProbeSubNet::Iface& i : list)
        if (i.name == name)
            return &i;
    return nullptr;
}

inline SP<OscProbeSubNet> subnetProbe(std::list<std::string> defs)
{
    return SP<OscProbeSubNet>(new OscProbeSubNet(defs));
}

// Polls `done` every few milliseconds until it holds or `ms` have passed.
inline bool eventually(const std::function<bool()>& done, int ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace oscprobe_test

#endif
