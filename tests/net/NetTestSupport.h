// Helpers of the network and stress tests: links that live as long as the
// object, a host's view of the watcher's wake-ups, and descriptors.
#pragma once
#include <fcntl.h>
#include <sys/resource.h>

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
    bool add(const std::string& a) const { return !sh("ip addr add " + a + " dev " + name + " nodad"); }
};

inline SP<OscProbeSubNet> subnetProbe(const std::string& definition)
{
    return SP<OscProbeSubNet>(new OscProbeSubNet(std::list<std::string>{definition}));
}

// Whether a host waiting on `m` from before `action` runs is woken. The
// waiter holds `m`, not this thread, so `action` may call start().
inline bool wokenDuring(JxMonitor& m, const std::function<void()>& action, int ms = kWakeMs)
{
    std::atomic<bool> waiting{false}, woke{false};
    std::thread waiter([&] {
        JxMonitorLock lock(&m);
        waiting = true;
        woke = m.wait(ms);
    });
    for (int i = 0; i < 5000 && !waiting; ++i)
        usleep(1000);
    m.enter(), m.leave(); // granted once the waiter sleeps in wait()
    action();
    waiter.join();
    return woke;
}

} // namespace oscprobe_test
