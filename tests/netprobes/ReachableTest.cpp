// The reachable probe: its words, addresses and rate limit by table, and
// against the real kernel in a child with a veth pair whose other end is a
// second network namespace (a process of its own), names from bind-mounted
// /etc/hosts and resolver files.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "JxException.h"
#include "OscProbeReachable.h"
#include "SP.h"
#include "TestSupport.h"
#include "internal/ReachableInternal.h"
#include "internal/ReachableKernel.h"

using namespace oscprobe::internal;
using namespace oscprobe_test;
using T = TargetOutcome;

namespace {

TEST(ReachableRules, ANoGoSaysWhyOfEachTarget)
{
    const auto target = [](const char* text, T::Lookup lookup, std::vector<int> errors, int gai = 0) {
        T t;
        t.text = text, t.lookup = lookup, t.errors = std::move(errors), t.lookupError = gai;
        return t;
    };
    const std::string none = "no target answered within ";
    for (const auto& [targets, ms, want] : std::vector<std::tuple<std::vector<T>, int, std::string>>{
             // A refusal anywhere says the host is there; else a silent address, else the first error.
             {{target("a:1", T::LITERAL, {ENETUNREACH, 0, ECONNREFUSED}), target("b:1", T::LITERAL, {EHOSTUNREACH, 0})}, 300,
              none + "0.3 s: a:1 (connection refused), b:1 (no answer)"},
             {{target("a:1", T::RESOLVED, {ENETUNREACH, EHOSTUNREACH}), target("b:1", T::LITERAL, {EACCES}), target("c:1", T::RESOLVED, {})}, 1250,
              none + "1.25 s: a:1 (network unreachable), b:1 (connection not permitted), c:1 (no address)"},
             {{target("a:1", T::LATE, {}), target("b:1", T::FAILED, {}, EAI_AGAIN), target("c:1", T::FAILED, {}, EAI_FAIL),
               target("d:1", T::LITERAL, {EADDRNOTAVAIL})}, 1,
              none + "0.001 s: a:1 (name not resolved in time), b:1 (name lookup failed for now), c:1 (name lookup failed), d:1 (cannot assign requested address)"}}) {
        std::string text;
        EXPECT_FALSE(decideReach(targets, ms, &text));
        EXPECT_EQ(text, want);
    }
}

TEST(ReachableRules, BothFamiliesOfANameAreTakenInTurnEachAddressOnce)
{
    std::vector<addrinfo*> list;
    for (const char* address : {"fd00::1", "fd00::2", "10.0.0.1", "fd00::2", "fd00::3", "10.0.0.2"}) {
        addrinfo hints{AI_NUMERICHOST, AF_UNSPEC, SOCK_STREAM, 0, 0, nullptr, nullptr, nullptr}, *one = nullptr;
        ASSERT_EQ(getaddrinfo(address, nullptr, &hints, &one), 0);
        if (!list.empty())
            list.back()->ai_next = one;
        list.push_back(one);
    }
    for (const auto& [first, max, want] : std::vector<std::tuple<size_t, size_t, std::string>>{
             {0, 16, " fd00::1 10.0.0.1 fd00::2 10.0.0.2 fd00::3"}, {0, 3, " fd00::1 10.0.0.1 fd00::2"}, {2, 16, " 10.0.0.1 fd00::2 10.0.0.2 fd00::3"}}) {
        std::string got;
        for (const SocketAddress& a : pickAddresses(list[first], max))
            got += " " + formatSocketAddress(a);
        EXPECT_EQ(got, want);
    }
    for (addrinfo* one : list)
        one->ai_next = nullptr, freeaddrinfo(one);
}

TEST(ReachableRules, MalformedTargetsAndTimeoutsAreRefusedWithTheirReason)
{
    for (const auto& [targets, ms, want] : std::vector<std::tuple<std::list<std::string>, int, std::string>>{
             {{}, 3000, "no target given (HOST:PORT or [IPv6]:PORT)"}, {{"h:1"}, 0, "the timeout must be at least 1 ms"},
             {{"h:1", "[::1]"}, 3000, "'[::1]' is not HOST:PORT or [IPv6]:PORT: no ]:PORT after the address"}}) {
        try {
            OscProbeReachable(targets, ms);
            ADD_FAILURE() << want;
        } catch (const JxException& e) {
            EXPECT_EQ(e.getMessage(), want);
        }
    }
    EXPECT_EQ(OscProbeReachable::whyInvalid("[fd00::1]:22") + "|" + OscProbeReachable::whyInvalid("h:0"), "|'h:0' is not HOST:PORT or [IPv6]:PORT: the port must be 1 to 65535");
    EXPECT_EQ(OscProbeReachable({"h:1"}).getNoGoReason(), 0x0300002Cu);
}

// A network namespace held by a process of its own, killed at the end.
struct Peer {
    pid_t pid = -1;
    int ns = -1;
    Peer()
    {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        if ((pid = fork()) == 0) {
            const char ok = unshare(CLONE_NEWNET) == 0;
            if (write(ready[1], &ok, 1) == 1)
                pause();
            _exit(0);
        }
        char ok = 0;
        EXPECT_TRUE(read(ready[0], &ok, 1) == 1 && ok);
        close(ready[0]), close(ready[1]), ns = open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    }
    ~Peer() { close(ns), kill(pid, SIGKILL), waitpid(pid, nullptr, 0); }
    std::string in(const std::string& command) const { return "nsenter -t " + std::to_string(pid) + " -n sh -c '" + command + "'"; }
};

// A TCP listener in the peer's namespace that counts what it accepted.
struct Listener {
    int fd = -1;
    Listener(const Peer& peer, const char* address, uint16_t port)
    {
        const int own = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        ReachTarget t;
        prepareTarget("", address, port, &t);
        SocketAddress a = t.addresses.at(0);
        setPort(&a, port);
        EXPECT_EQ(setns(peer.ns, CLONE_NEWNET), 0);
        fd = socket(a.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a.storage), a.length) | listen(fd, 16), 0) << strerror(errno);
        EXPECT_EQ(setns(own, CLONE_NEWNET), 0);
        close(own);
    }
    ~Listener() { close(fd); }
    int accepted() const
    {
        int n = 0;
        for (int c; (c = accept(fd, nullptr, nullptr)) >= 0; ++n)
            close(c);
        return n;
    }
};

std::string answer(OscProbeReachable& p)
{
    OscProbeReachable::Finding f;
    const bool go = p.probe(&f);
    EXPECT_EQ(go, f.reached);
    return (go ? "go: " : "no-go: ") + f.text;
}

void bindFile(const std::string& text, const char* over)
{
    const std::string path = std::string("/tmp") + strrchr(over, '/');
    put(path, text);
    ASSERT_EQ(mount(path.c_str(), over, nullptr, MS_BIND, nullptr), 0) << over << ": " << strerror(errno);
}

TEST(ReachableKernel, AnyTargetAcceptingIsGoAndAChangedRouteIsCheckedAgainAtOnce)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    inChild([] {
        isolate({"/tmp"});
        bindFile("10.9.2.1 peer.test\nfd00:9:2::1 peer.test\n", "/etc/hosts");
        bindFile("hosts: files\n", "/etc/nsswitch.conf");
        const Peer peer;
        ASSERT_EQ(sh("ip link add r0 type veth peer name r1 netns " + std::to_string(peer.pid) +
                     " && ip link set r0 addrgenmode none && ip addr add 10.9.1.2/24 dev r0 && ip addr add fd00:9:1::2/64 dev r0 nodad && ip link set r0 up && " +
                     peer.in("ip link set lo up && ip link set r1 up && ip addr add 10.9.1.1/24 dev r1 && ip addr add fd00:9:1::1/64 dev r1 nodad && "
                             "ip addr add 10.9.2.1/32 dev lo && ip addr add fd00:9:2::1/128 dev lo nodad") +
                     " && ip route add default via 10.9.1.1 && ip -6 route add default via fd00:9:1::1 && ip route add unreachable 10.9.3.0/24"), 0);
        const Listener v4(peer, "10.9.2.1", 4004), v6(peer, "fd00:9:2::1", 6006);
        const std::string none = "no-go: no target answered within 2 s: ";
        for (const auto& [targets, want] : std::vector<std::pair<std::list<std::string>, std::string>>{
                 {{"10.9.2.1:4004"}, "go: 10.9.2.1:4004 answered (10.9.2.1)"},
                 {{"[fd00:9:2::1]:6006"}, "go: [fd00:9:2::1]:6006 answered (fd00:9:2::1)"},
                 // Both addresses of a name are tried, whichever family listens.
                 {{"peer.test:4004"}, "go: peer.test:4004 answered (10.9.2.1)"},
                 {{"peer.test:6006"}, "go: peer.test:6006 answered (fd00:9:2::1)"},
                 // A silent target does not hold up the others.
                 {{"10.9.1.77:22", "[fd00:9:1::77]:22", "peer.test:6006"}, "go: peer.test:6006 answered (fd00:9:2::1)"},
                 {{"peer.test:7", "10.9.1.77:22", "[fd00:9:1::77]:22", "nowhere.test:22", "10.9.3.1:22"},
                  none + "peer.test:7 (connection refused), 10.9.1.77:22 (no answer), [fd00:9:1::77]:22 (no answer), nowhere.test:22 (name not known), 10.9.3.1:22 (host unreachable)"}}) {
            OscProbeReachable p(targets, 2000);
            EXPECT_EQ(answer(p), want);
        }
        EXPECT_EQ(v4.accepted() + v6.accepted(), 5);
        SP<OscProbeReachable> p(new OscProbeReachable({"10.9.2.1:4004"}, 2000));
        JxMonitor m;
        ASSERT_TRUE(p->start(&m));
        // Nothing changed: one connection for two answers.
        const std::string go = "go: 10.9.2.1:4004 answered (10.9.2.1)";
        EXPECT_EQ(answer(*p) + "|" + answer(*p), go + "|" + go);
        EXPECT_EQ(v4.accepted(), 1);
        EXPECT_TRUE(woken(m, "ip route del default"));
        EXPECT_EQ(answer(*p), none + "10.9.2.1:4004 (network unreachable)");
        EXPECT_TRUE(woken(m, "ip route add default via 10.9.1.1"));
        EXPECT_EQ(answer(*p), go);
        // An IPv6 address's lifetimes refreshed as by a router advertisement:
        // news the first time the listener sees the address, not after.
        const std::string refresh = "ip -6 addr change fd00:9:1::2/64 dev r0 valid_lft 900 preferred_lft 600";
        EXPECT_TRUE(woken(m, refresh));
        EXPECT_FALSE(woken(m, refresh, 1000));
        EXPECT_TRUE(woken(m, "ip -6 addr del fd00:9:1::2/64 dev r0"));
        p->stop();
        EXPECT_EQ(p->refCount(), 1);
    });
}

TEST(ReachableKernel, ALookupUnansweredAtTheDeadlineIsLeftRunningOnceAndEndsOnItsOwn)
{
    OSCPROBE_REQUIRE_NAMESPACES();
    inChild([] {
        isolate({"/tmp"});
        bindFile("hosts: dns\n", "/etc/nsswitch.conf");
        bindFile("nameserver 10.9.1.77\noptions timeout:1 attempts:1\n", "/etc/resolv.conf");
        ASSERT_EQ(sh("ip link add d0 type veth peer name d1 && ip addr add 10.9.1.2/24 dev d0 && ip link set d0 up && ip link set d1 up"), 0);
        long during = 0; // with the first check's lookup (and a sanitizer's threads, made by then)
        {
            OscProbeReachable p({"slow.test:22"}, 100);
            for (int i = 0; i < 2; ++i) {
                reachResumed(); // a change, so the second probe checks again
                EXPECT_EQ(answer(p), "no-go: no target answered within 0.1 s: slow.test:22 (name not resolved in time)");
                during = during ? during : threadCount();
            }
            EXPECT_EQ(threadCount(), during);
        }
        for (int i = 0; i < 500 && threadCount() >= during; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(threadCount(), during - 1);
    });
}

} // namespace
