// Helpers of the network and stress tests: links that live as long as the
// object, a host's view of the watcher's wake-ups, and descriptors.
#pragma once
#include <fcntl.h>
#include <sys/resource.h>

#include <functional>
#include <thread>

#include "InterfaceReadCounter.h"
#include "TestSupport.h"
#include "oscprobe.h"

namespace oscprobe_test {

constexpr int kWakeMs = 5000; // a bound, not an expectation

// A link made by `make` (a veth when empty), up, that gets no address of its
// own and goes with the object.
struct TestLink {
    const std::string name;
    const bool ok;
    TestLink(const std::string& n, const std::string& make = "")
        : name(n), ok(sh((make.empty() ? "ip link add " + n + " type veth peer name " + n + "p"
                                       : make) + " && ip link set " + n +
                         " addrgenmode none && ip link set " + n + " up") == 0)
    {
    }
    ~TestLink() { sh("ip link del " + name); }
    bool add(const std::string& a) const { return !sh("ip addr add " + a + " nodad dev " + name); }
};

inline SP<OscProbeSubNet> subnetProbe(const std::string& definition)
{
    return SP<OscProbeSubNet>(new OscProbeSubNet(std::list<std::string>{definition}));
}

// Once a probe was started on `m`: whether the watcher wakes `m` for one of
// a few fresh addresses on `dev`, and so listens from then on. Returns when
// half a second passed without a wake-up, so that none is still under way.
inline bool listening(JxMonitor& m, const std::string& dev)
{
    bool heard = false;
    for (int i = 1; i <= 50 && !heard; ++i)
        heard = woken(m, [&] { sh("ip addr add 10.254.0." + std::to_string(i) + "/32 dev " + dev); }, 100);
    while (heard && woken(m, [] {}, 500)) {
    }
    return heard;
}

} // namespace oscprobe_test
