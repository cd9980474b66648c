// The known-network probe against the real kernel, in a child in a network
// namespace of its own (a child, since the listener is one per process): a
// veth pair whose default gateway's hardware address is set by hand.
#include "OscProbeNetwork.h"
#include "OscProbeWake.h"
#include "SP.h"
#include "TestSupport.h"

using namespace oscprobe_test;

namespace {

std::string answer(const std::string& id)
{
    OscProbeNetwork::Finding f;
    return (OscProbeNetwork({id}).probe(&f) ? "go: " : "no-go: ") + f.text;
}

TEST(NetworkKernel, GatewayHardwareAddressDecidesAndItsChangesWakeTheHost)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    inChild([] {
        isolate({});
        const std::string mac = "02:00:00:00:00:01", other = "02:00:00:00:00:09",
                          notYet = "no-go: gateway 10.9.0.1 not recognised yet (the kernel does not know its hardware address)";
        ASSERT_EQ(sh("ip link add oscn0 type veth peer name oscn1 && sysctl -qw net.ipv6.conf.oscn0.accept_dad=0 && "
                     "ip addr add 10.9.0.2/24 dev oscn0 && ip link set oscn0 up && ip link set oscn1 up && "
                     "ip route add default via 10.9.0.1 dev oscn0"), 0);
        EXPECT_EQ(answer(mac), notYet);
        SP<OscProbeNetwork> p(new OscProbeNetwork({mac}));
        JxMonitor m;
        ASSERT_TRUE(p->start(&m));
        const unsigned long long passes = OscProbeWake::generation();
        EXPECT_TRUE(woken(m, "ip neigh replace 10.9.0.1 lladdr " + mac + " dev oscn0 nud permanent"));
        EXPECT_GT(OscProbeWake::generation(), passes);
        EXPECT_EQ(answer(mac), "go: on a known network: gateway 10.9.0.1 is " + mac);
        EXPECT_EQ(answer(other), "no-go: gateway 10.9.0.1 is " + mac + ", not a known network");
        EXPECT_FALSE(woken(m, "ip neigh change 10.9.0.1 lladdr " + mac + " dev oscn0 nud stale", 1000));
        EXPECT_TRUE(woken(m, "ip neigh del 10.9.0.1 dev oscn0"));
        EXPECT_EQ(answer(mac), notYet);
        EXPECT_TRUE(woken(m, "ip route del default"));
        EXPECT_EQ(answer(mac), "no-go: no default gateway");
        EXPECT_TRUE(woken(m, "ip -6 route add default via fe80::1 dev oscn0"));
        EXPECT_TRUE(woken(m, "ip -6 neigh replace fe80::1 lladdr " + other + " dev oscn0 nud permanent"));
        EXPECT_EQ(answer(other), "go: on a known network: gateway fe80::1 is " + other);
        p->stop();
        EXPECT_EQ(p->refCount(), 1);
        EXPECT_EQ(p->getNoGoReason(), 0x0300002Bu);
    });
}

} // namespace
