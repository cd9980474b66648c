// What NetworkManager's answers mean, by table; then the bus source and the
// probes that use it against NetworkManager's and logind's mocks on a
// private bus (MockBus), never the machine's.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <thread>

#include "MockBus.h"
#include "OscProbeMetered.h"
#include "OscProbeNetwork.h"
#include "OscProbeReachable.h"
#include "SP.h"
#include "TestSupport.h"
#include "internal/Bus.h"
#include "internal/ReachableKernel.h"

using namespace oscprobe::internal;
using namespace oscprobe_test;

namespace {

const char* const kNm = "org.freedesktop.NetworkManager";
const char* const kNmPath = "/org/freedesktop/NetworkManager";
const char* const kAp = "org.freedesktop.NetworkManager.AccessPoint";

TEST(BusDecision, MeteredVerdictByValueAndStrictness)
{
    const auto V = MeteredRead::VALUE, N = MeteredRead::NO_VALUE, A = MeteredRead::ABSENT;
    const std::string unknown = "NetworkManager does not know whether the connection is metered", absent = "no NetworkManager on the system bus",
                      lax = "; counted as not metered", strict = "; counted as metered (strict)";
    struct Row { MeteredRead::Status status; uint32_t value; bool strict; MeteredKind kind; bool metered; std::string text; };
    for (const Row& r : std::vector<Row>{
             {V, 1, false, MeteredKind::METERED, true, "metered (NetworkManager says yes)"},
             {V, 2, true, MeteredKind::NOT_METERED, false, "not metered (NetworkManager says no)"},
             {V, 3, false, MeteredKind::METERED, true, "metered (NetworkManager guesses yes)"},
             {V, 4, true, MeteredKind::NOT_METERED, false, "not metered (NetworkManager guesses no)"},
             {V, 0, false, MeteredKind::UNKNOWN, false, unknown + lax}, {V, 0, true, MeteredKind::UNKNOWN, true, unknown + strict},
             {V, 5, false, MeteredKind::UNKNOWN, false, unknown + lax}, {N, 1, true, MeteredKind::UNKNOWN, true, unknown + strict},
             {A, 1, false, MeteredKind::UNKNOWN, false, absent + lax}, {A, 2, true, MeteredKind::UNKNOWN, true, absent + strict}}) {
        const MeteredVerdict v = decideMetered({r.status, r.value}, r.strict);
        EXPECT_EQ(v.text, r.text) << r.value << r.strict;
        EXPECT_TRUE(v.kind == r.kind && v.metered == r.metered) << r.text;
    }
}

TEST(BusDecision, SsidBytesAndWhichChangesWake)
{
    for (const auto& [in, want] : std::vector<std::pair<std::string, std::string>>{
             {"HomeNet", "HomeNet"}, {"Caf\xc3\xa9: 2nd", "Caf\xc3\xa9: 2nd"}, {std::string(32, 'x'), std::string(32, 'x')},
             {std::string(33, 'x'), "-"}, {"", "-"}, {std::string(4, '\0'), "-"}, {std::string("ab\0c", 4), "-"}}) {
        std::string name = "-";
        EXPECT_EQ(ssidName(reinterpret_cast<const uint8_t*>(in.data()), in.size(), &name) ? name : "-", want);
    }
    const std::string active = "org.freedesktop.NetworkManager.Connection.Active";
    for (const auto& [iface, property, want] : std::vector<std::tuple<std::string, std::string, unsigned>>{
             {kNm, "Metered", BUS_METERED}, {kNm, "PrimaryConnection", BUS_WIFI}, {kNm, "ActiveConnections", BUS_WIFI},
             {kNm, "State", 0}, {kNm, "Connectivity", 0}, {active, "SpecificObject", BUS_WIFI}, {active, "State", 0},
             {kAp, "Ssid", BUS_WIFI}, {kAp, "Strength", 0}, {kAp, "LastSeen", 0}, {"org.freedesktop.NetworkManager.Device", "Ssid", 0}})
        EXPECT_EQ(propertyEvents(iface, property), want) << iface << " " << property;
}

std::string metered(bool strict = false)
{
    OscProbeMetered::Finding f;
    return (OscProbeMetered(strict).probe(&f) ? "go: " : "no-go: ") + f.text;
}
std::string network(const std::string& id)
{
    OscProbeNetwork::Finding f;
    return (OscProbeNetwork({id}).probe(&f) ? "go: " : "no-go: ") + f.text;
}

class BusScenario : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!bus.why().empty())
            GTEST_SKIP() << "skipped: " << bus.why();
    }
    template <class... A> void update(const char* path, const char* iface, A... args) { bus.mock(kNm, path, "UpdateProperties", "sa{sv}", iface, 1, args...); }
    MockBus bus;
};

TEST_F(BusScenario, MeteredChangesAndNetworkManagerComingAndGoingWakeTheHost)
{
    bus.mock(kNm, kNmPath, "AddProperty", "ssv", kNm, "Metered", "u", 1);
    EXPECT_EQ(metered(), "no-go: metered (NetworkManager says yes)");
    SP<OscProbeMetered> p(new OscProbeMetered);
    JxMonitor m;
    ASSERT_TRUE(p->start(&m));
    EXPECT_TRUE(woken(m, [&] { update(kNmPath, kNm, "Metered", "u", 2); }));
    EXPECT_EQ(metered(true), "go: not metered (NetworkManager says no)");
    EXPECT_TRUE(woken(m, [&] { bus.kill(kNm); }));
    EXPECT_EQ(metered(), "go: no NetworkManager on the system bus; counted as not metered");
    EXPECT_EQ(metered(true), "no-go: no NetworkManager on the system bus; counted as metered (strict)");
    EXPECT_TRUE(woken(m, [&] { ASSERT_TRUE(bus.start(kNm)); }));
    EXPECT_EQ(metered(), "go: NetworkManager does not know whether the connection is metered; counted as not metered");
    bus.mock(kNm, kNmPath, "AddProperty", "ssv", kNm, "Metered", "s", "yes"); // of the wrong type
    EXPECT_EQ(metered(true), "no-go: NetworkManager does not know whether the connection is metered; counted as metered (strict)");
    EXPECT_TRUE(woken(m, [&] { bus.killDaemon(); }));
    p->stop();
    EXPECT_EQ(p->refCount(), 1);
    EXPECT_EQ(p->getNoGoReason(), 0x0300002Au);
}

TEST_F(BusScenario, WifiNameMatchesAndOnlyItsChangesWake)
{
    const std::string dev = bus.mock(kNm, kNmPath, "AddWiFiDevice", "ssi", "mock_WiFi0", "wlan0", 100);
    const std::string ap = bus.mock(kNm, kNmPath, "AddAccessPoint", "ssssuuuyu", dev.c_str(), "AP1", "HomeNet", "00:23:F8:7E:12:BB", 2, 2425, 5400, 82, 0x100);
    const std::string con = bus.mock(kNm, kNmPath, "AddWiFiConnection", "ssss", dev.c_str(), "Con1", "HomeNet", "wpa-psk");
    const std::string ac = bus.mock(kNm, kNmPath, "AddActiveConnection", "assssu", 1, dev.c_str(), con.c_str(), ap.c_str(), "Active1", 2);
    EXPECT_EQ(network("ssid:HomeNet"), "go: on a known network: Wi-Fi network 'HomeNet'");
    bus.mock(kNm, kNmPath, "AddProperty", "ssv", kNm, "PrimaryConnection", "o", ac.c_str());
    EXPECT_EQ(network("ssid:Other"), "no-go: Wi-Fi network 'HomeNet', not a known network");
    EXPECT_EQ(OscProbeNetwork::currentIds(), std::list<std::string>{"ssid:HomeNet"});
    SP<OscProbeNetwork> p(new OscProbeNetwork({"ssid:Other"}));
    JxMonitor m;
    ASSERT_TRUE(p->start(&m));
    EXPECT_FALSE(woken(m, [&] { update(ap.c_str(), kAp, "Strength", "y", 40); }, 300));
    EXPECT_TRUE(woken(m, [&] { update(ap.c_str(), kAp, "Ssid", "ay", 5, 'O', 't', 'h', 'e', 'r'); }));
    EXPECT_TRUE(p->probe());
    p->stop();
}

TEST_F(BusScenario, ResumeFromSleepWakesOnlyWhoAskedForItAndVoidsReachableAnswers)
{
    ASSERT_TRUE(bus.start("org.freedesktop.login1"));
    SP<OscProbeMetered> resume(new OscProbeMetered), other(new OscProbeMetered);
    SP<OscProbeReachable> reachable(new OscProbeReachable({"127.0.0.1:9"}, 100));
    JxMonitor m, n, r;
    startBusEvents(resume, &m, BUS_RESUME);
    other->start(&n);
    reachable->start(&r);
    const auto sleep = [&](int going) { bus.mock("org.freedesktop.login1", "/org/freedesktop/login1", "EmitSignal", "sssav", "org.freedesktop.login1.Manager", "PrepareForSleep", "b", 1, "b", going); };
    EXPECT_FALSE(woken(m, [&] { sleep(1); }, 300));
    const unsigned long long changes = reachChanges();
    EXPECT_TRUE(woken(r, [&] { sleep(0); })); // through the reachable source's own pass
    EXPECT_GT(reachChanges(), changes);
    EXPECT_TRUE(woken(m, [&] { sleep(0); }));
    EXPECT_FALSE(woken(n, [&] { sleep(0); }, 300));
    stopBusEvents(resume), other->stop(), reachable->stop();
}

TEST_F(BusScenario, HostsStartingAndStoppingAtOnceShareOneListenerThatEndsWithTheLast)
{
    std::thread([] {}).join(); // a sanitizer's own thread, if any, comes with the first
    const long before = threadCount();
    std::vector<std::thread> hosts;
    for (int t = 0; t < 4; ++t)
        hosts.emplace_back([&, t] {
            for (int i = 0; i < 30; ++i) {
                SP<OscProbeMetered> p(new OscProbeMetered);
                JxMonitor m;
                p->start(&m);
                if (t == 0)
                    update(kNmPath, kNm, "State", "u", 70 + i);
                EXPECT_TRUE(p->probe());
                p->stop();
            }
        });
    for (std::thread& h : hosts)
        h.join();
    EXPECT_EQ(threadCount(), before);
}

// A bus that is not there fails at once; one that takes the connection and
// never answers is given up after the read's deadline.
TEST(BusAbsent, NoBusOrOneThatNeverAnswersIsUnknownWithoutHanging)
{
    const char* old = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string saved = old ? old : "", silent = "/tmp/oscprobe-silent-bus";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/oscprobe-bus", 1);
    EXPECT_EQ(metered(), "go: no NetworkManager on the system bus; counted as not metered");
    EXPECT_NE(network("ssid:HomeNet").find("the Wi-Fi name is not known without NetworkManager"), std::string::npos);
    SP<OscProbeMetered> p(new OscProbeMetered(true));
    EXPECT_TRUE(p->start(nullptr));
    EXPECT_FALSE(p->probe());
    p->stop();
    const int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    silent.copy(address.sun_path, silent.size());
    unlink(silent.c_str());
    ASSERT_TRUE(bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(listening, 8) == 0);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + silent).c_str(), 1);
    EXPECT_EQ(metered(true), "no-go: NetworkManager does not know whether the connection is metered; counted as metered (strict)");
    EXPECT_TRUE(p->start(nullptr));
    p->stop();
    close(listening), unlink(silent.c_str());
    old ? setenv("DBUS_SYSTEM_BUS_ADDRESS", saved.c_str(), 1) : unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

} // namespace
