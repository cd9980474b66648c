// The subnet probe against the real kernel, in a child of a process in a
// private network namespace that starts with lo alone (a child, since the
// watcher is one per process): the listing, then the watcher waking a host.
#include <errno.h>

#include "NetTestSupport.h"

using namespace oscprobe_test;
using Counter = InterfaceReadCounter;

// The listing count once the watcher has made none for half a second.
static uint64_t settledListings()
{
    uint64_t seen = ~0u;
    for (int i = 0; i < 60 && seen != Counter::listings(); ++i, usleep(500000))
        seen = Counter::listings();
    return seen;
}

TEST(NetKernel, ListingAndWatcherAgainstTheKernel)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    inChild([] {
        TestLink v("tv0"), br("tbr0", "ip link add tbr0 type bridge"),
            tun("ttun0", "ip tuntap add ttun0 mode tun");
        ASSERT_TRUE(v.ok && br.ok && tun.ok && v.add("10.1.0.1/24") && v.add("2001:db8::1/64") &&
                    br.add("10.2.0.1/24") && tun.add("10.3.0.1/24"));
        const uint64_t asked = Counter::wirelessRequests;
        std::string listed;
        char text[64];
        for (const OscProbeSubNet::Iface& i : OscProbeSubNet::getIFList()) {
            listed += i.name + " " + OscProbeSubNet::iftype2str(i.type);
            for (const ZUNET_SockAddr& a : i.addrs)
                listed += std::string(" ") + (ZUNET_ip2str(&a, text, sizeof text), text);
            listed += "; ";
        }
        EXPECT_EQ(listed, "lo UNKNOWN 127.0.0.1 ::1; tbr0 WIRED 10.2.0.1; ttun0 UNKNOWN 10.3.0.1; "
                          "tv0 WIRED 10.1.0.1 2001:db8::1; ");
        // A kernel without wireless extensions says so for every link at once.
        EXPECT_EQ(Counter::wirelessRequests - asked,
                  Counter::wirelessError == ENOTTY ? 1u : 4u);
        // More addresses than the first request has room for.
        ASSERT_EQ(sh("for i in $(seq 60); do ip addr add 10.9.0.$i/32 dev tv0 || exit 1; done"), 0);
        size_t addresses = 0;
        for (const OscProbeSubNet::Iface& i : OscProbeSubNet::getIFList())
            addresses += i.addrs.size();
        EXPECT_EQ(addresses, 66u);

        // The host's monitor, and one registered after it whose holder holds
        // the watcher in a pass after it woke the host.
        JxMonitor m, s;
        SP<OscProbeSubNet> host = subnetProbe("10.99.0.0/16"), stall = subnetProbe("10.0.0.0/8");
        // The first pass follows the first listing: the watcher listens.
        ASSERT_TRUE(host->start(&m) && listening(m, "tv0") && stall->start(&s));
        EXPECT_FALSE(woken(m, [] { sh("ip addr del 10.1.0.1/24 dev tv0"); }, 1000));
        EXPECT_FALSE(host->probe());
        // Held in the pass that `trigger` causes while `meanwhile` runs, does
        // the watcher, let go, wake the host once more?
        const auto wokenAgain = [&](const std::string& trigger, const std::string& meanwhile) {
            s.enter();
            JxMonitorLock lock(&m);
            EXPECT_EQ(sh(trigger), 0) << trigger;
            const bool first = m.wait(kWakeMs);
            EXPECT_EQ(sh(meanwhile), 0) << meanwhile;
            s.leave();
            return first && m.wait(kWakeMs);
        };
        // A new address wakes the host; gone and back while the host is woken
        // for it (and may look just then), it wakes the host again.
        const std::string back = "ip addr add 10.62.0.1/32 dev tv0";
        EXPECT_TRUE(wokenAgain(back, "ip addr del 10.62.0.1/32 dev tv0 && " + back));
        const auto storm = [](const char* verb, int from, const char* then) {
            return "(for i in $(seq " + std::to_string(from) + " 1999); do echo addr " + verb +
                   " 10.200.$((i/250)).$((i%250+1))/32 dev tv0; done; " + then +
                   ") | ip -force -batch -";
        };
        // Held in its pass for the first address of a storm, the watcher
        // finds the rest queued or lost: a listing or two cover them all.
        const uint64_t before = settledListings();
        s.enter();
        EXPECT_EQ(sh(storm("add", 0, "")), 0);
        s.leave();
        EXPECT_LT(settledListings() - before, 5u);
        // Held after a re-read (for a removal, announced by an address
        // listed already), it loses the host's address among removals that
        // overflow its queue: only a re-read finds it.
        EXPECT_TRUE(wokenAgain("ip addr del 10.200.0.1/32 dev tv0 && ip addr replace 10.200.0.2/32 "
                               "dev tv0 valid_lft 3000 preferred_lft 3000",
                               storm("del", 2, "echo addr add 10.99.0.1/32 dev tv0")));
        // A go answer leaves the registry and its reference (as stop() does:
        // the churn in StressTest.cpp).
        EXPECT_TRUE(host->probe());
        EXPECT_EQ(host->refCount(), 1);
    });
}
