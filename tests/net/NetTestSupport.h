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

// Whether a host that holds `m` while `action` runs, then waits on it, is
// woken. Holding `m` across start() is safe only for the process's first,
// which starts the watcher.
inline bool wokenBy(JxMonitor& m, const std::function<void()>& action, int ms = kWakeMs)
{
    JxMonitorLock lock(&m);
    action();
    return m.wait(ms);
}

} // namespace oscprobe_test
