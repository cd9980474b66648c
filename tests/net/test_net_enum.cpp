// Interface enumeration, the subnet probe, and how the address-change
// watcher begins and ends, against the real kernel in a private network
// namespace that starts with lo alone. This process never starts the
// watcher itself: each watcher case needs a process in which none ran yet
// and runs in a child.
#include <gtest/gtest.h>

#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>

#include "InterfaceReadCounter.h"
#include "JxException.h"
#include "JxMonitor.h"
#include "JxMonitorLock.h"
#include "NetTestSupport.h"

using namespace oscprobe_test;
using Iface = OscProbeSubNet::Iface;

namespace {

class NetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        OSCPROBE_REQUIRE_NAMESPACES(); // before any link exists outside a private namespace
        v = std::make_unique<TestLink>("tv0", TestLink::Veth);
        ASSERT_TRUE(v->ok());
    }
    std::unique_ptr<TestLink> v;
};

// "name KIND addr addr; name KIND addr" in list order.
std::string describe(const std::list<Iface>& list)
{
    std::string out;
    for (const Iface& i : list) {
        out += (out.empty() ? "" : "; ") + i.name + " " + OscProbeSubNet::iftype2str(i.type);
        for (const ZUNET_SockAddr& a : i.addrs)
            out += " " + addrText(a);
    }
    return out;
}

using EnumerationTest = NetTest;

TEST_F(EnumerationTest, ClassifiesLinksByKindInNameOrder)
{
    TestLink bridge("tbr0", TestLink::Bridge);
    TestLink tun("ttun0", TestLink::Tun);
    ASSERT_TRUE(bridge.ok() && tun.ok());
    ASSERT_TRUE(v->add("10.1.0.1/24") && bridge.add("10.2.0.1/24") && tun.add("10.3.0.1/24"));
    // The veth's peer has no address and so is not listed.
    EXPECT_EQ(describe(OscProbeSubNet::getIFList()),
              "lo UNKNOWN 127.0.0.1 ::1; tbr0 WIRED 10.2.0.1; ttun0 UNKNOWN 10.3.0.1; "
              "tv0 WIRED 10.1.0.1");

    // A kernel without wireless extensions is asked once per listing, any
    // other once per interface.
    const uint64_t before = InterfaceReadCounter::wirelessRequests();
    const size_t listed = OscProbeSubNet::getIFList().size();
    const uint64_t asked = InterfaceReadCounter::wirelessRequests() - before;
    if (InterfaceReadCounter::lastWirelessError() == ENOTTY)
        EXPECT_EQ(asked, 1u);
    else
        EXPECT_EQ(asked, listed);
}

TEST_F(EnumerationTest, TypesWiFiBySysfsMarksOnlyWhenSomeWiFiDeviceIsListed)
{
    // Veths answer no wireless request, so only sysfs can make them wireless.
    TestLink w("tw1", TestLink::Veth);
    ASSERT_TRUE(w.ok() && v->add("10.1.0.1/24") && v->add("10.1.0.9/24", "label tv0:1") &&
                w.add("10.2.0.1/24"));
    // Directories laid out on a tmpfs over /sys/class.
    const std::pair<std::vector<const char*>, const char*> cases[] = {
        {{"ieee80211/phy0", "net/tv0/phy80211"}, "WIRELESS WIRELESS WIRED"},
        {{"ieee80211/phy0", "net/tw1/wireless"}, "WIRED WIRED WIRELESS"},
        // With no device in the class the marks are never looked at.
        {{"ieee80211", "net/tv0/phy80211"}, "WIRED WIRED WIRED"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(runInChild([&c]() -> std::string {
                      std::string why = enterPrivateMountNamespace();
                      if (!why.empty() || mount("none", "/sys/class", "tmpfs", 0, nullptr) != 0)
                          return "cannot mount a tmpfs over /sys/class " + why;
                      for (const char* dir : c.first)
                          std::filesystem::create_directories(std::string("/sys/class/") + dir);
                      std::string kinds;
                      for (const Iface& i : OscProbeSubNet::getIFList())
                          if (i.name != "lo")
                              kinds += (kinds.empty() ? "" : " ") +
                                       std::string(OscProbeSubNet::iftype2str(i.type));
                      return kinds;
                  }),
                  c.second)
            << c.first[1];
    }
}

TEST_F(EnumerationTest, KeepsFamiliesInOneRecordIPv4FirstAndListsAliasesAndIPv6Only)
{
    TestLink six("tv6", TestLink::Veth);
    ASSERT_TRUE(six.ok() && six.add("2001:db8:6::1/64"));
    for (const char* a : {"2001:db8::1/64", "10.1.0.1/24", "10.1.0.2/24"})
        ASSERT_TRUE(v->add(a));
    ASSERT_TRUE(v->add("10.1.0.9/24", "label tv0:1"));

    const std::list<Iface> list = OscProbeSubNet::getIFList();
    EXPECT_EQ(describe(list), "lo UNKNOWN 127.0.0.1 ::1; tv0 WIRED 10.1.0.1 10.1.0.2 2001:db8::1; "
                              "tv0:1 WIRED 10.1.0.9; tv6 WIRED 2001:db8:6::1");
    // The 28-byte layout: every byte outside family and address is zero.
    for (const Iface& i : list)
        for (const ZUNET_SockAddr& a : i.addrs)
            for (int b = 2; b < 28; ++b)
                EXPECT_TRUE((familyOf(a) == AF_INET ? (b >= 4 && b < 8) : (b >= 8 && b < 24)) ||
                            a.raw[b] == 0)
                    << addrText(a) << " byte " << b;
}

TEST_F(EnumerationTest, GrowsTheBufferUntilEveryIPv4AddressIsListed)
{
    // 1024 bytes hold 25 records: 25 fill it exactly and 26 overflow it;
    // 51 and 52 do the same for the doubled buffer. lo brings one address.
    size_t total = 1;
    for (size_t want : {25u, 26u, 51u, 52u, 120u}) {
        TempDir dir;
        std::string batch;
        for (; total < want; ++total)
            batch += "addr add 10.9." + std::to_string(total / 200) + "." +
                     std::to_string(total % 200 + 1) + "/32 dev tv0\n";
        ASSERT_EQ(sh("ip -batch " + dir.write("batch", batch)), 0);
        const std::list<Iface> list = OscProbeSubNet::getIFList();
        const Iface* rec = findIface(list, "tv0");
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(rec->addrs.size(), want - 1);
    }
}

TEST_F(EnumerationTest, ChecksumIsStableUntilAnAddressIsAdded)
{
    ASSERT_TRUE(v->add("10.1.0.1/24"));
    const uint32_t before = OscProbeSubNet::getIfaceConfigCRC32();
    EXPECT_EQ(OscProbeSubNet::getIfaceConfigCRC32(), before);
    ASSERT_TRUE(v->add("10.1.0.2/24"));
    EXPECT_NE(OscProbeSubNet::getIfaceConfigCRC32(), before);
}

// The interface list, or every part of the exception that getIFList threw.
std::string listOrException()
{
    try {
        return "list: " + describe(OscProbeSubNet::getIFList());
    } catch (JxException& e) {
        return std::string(e.getFuncName()) + " " + e.getFile() + ":" +
               std::to_string(e.getLine()) + " " + std::to_string(e.getCode()) + " " +
               e.getMessage();
    }
}

// The interface list (or the exception) as read in a child with its own
// mount namespace and a tmpfs over /proc holding `ifInet6` as
// /proc/net/if_inet6 (no file when null).
std::string listWithFakeIfInet6(const char* ifInet6)
{
    return runInChild(
        [&]() -> std::string {
            if (unshare(CLONE_NEWNS) != 0 || mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
                return "cannot mount a tmpfs over /proc";
            if (ifInet6 != nullptr) {
                mkdir("/proc/net", 0755);
                std::ofstream("/proc/net/if_inet6") << ifInet6;
            }
            return listOrException();
        },
        20);
}

TEST_F(EnumerationTest, ReadsIfInet6StrictlyButAcceptsUpperCaseShortLinesAndNoFile)
{
    ASSERT_TRUE(v->add("10.1.0.1/24") && v->add("2001:db8::1/64"));
    const std::pair<const char*, std::string> cases[] = {
        {"00000000000000000000000000000001 01 80 10 80 lo\n"
         "fe8000000000000000000000000000z1 02 40 20 80 eth0\n",
         "OscProbeSubNet::getIFList OscProbeSubNet_linux:118 -1 Invalid contents of "
         "/proc/net/if_inet6: fe8000000000000000000000000000z1 02 40 20 80 eth0\n"},
        {"fe80000000000000000000000000001", // ends inside the last byte, no line end
         "OscProbeSubNet::getIFList OscProbeSubNet_linux:126 -1 Invalid contents of "
         "/proc/net/if_inet6: fe80000000000000000000000000001"},
        // A short line gives a record with an empty name, which sorts first.
        {"20010DB8000000000000000000ABCDEF 05 40 00 80 tv0\n"
         "fe800000000000000000000000000001 07 40\n",
         "list:  UNKNOWN fe80::1; lo UNKNOWN 127.0.0.1; tv0 WIRED 10.1.0.1 2001:db8::ab:cdef"},
        {nullptr, "list: lo UNKNOWN 127.0.0.1; tv0 WIRED 10.1.0.1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(listWithFakeIfInet6(c.first), c.second);

    // Only a missing file is no error: here descriptors run out right after
    // the listing's socket, so that just the open of the file fails. The
    // exception's type is shown to UBSan beforehand: its first check of a
    // type needs a descriptor.
    EXPECT_EQ(runInChild([]() -> std::string {
                  try {
                      throw JxException("", "", "", 0, 0);
                  } catch (const std::exception& e) {
                      (void)e.what();
                  }
                  const int lowestFree = dup(0);
                  close(lowestFree);
                  struct rlimit limit;
                  getrlimit(RLIMIT_NOFILE, &limit);
                  limit.rlim_cur = static_cast<rlim_t>(lowestFree) + 1;
                  setrlimit(RLIMIT_NOFILE, &limit);
                  return listOrException();
              }),
              "OscProbeSubNet::getIFList OscProbeSubNet_linux:103 -1 Couldn't open "
              "/proc/net/if_inet6: Too many open files");
}

// ---- the probe ----

using SubNetProbeTest = NetTest;

TEST_F(SubNetProbeTest, MatchesAnIPv4SubnetLoggingAtLevelTwoOnly)
{
    ASSERT_TRUE(v->add("192.168.0.5/24"));
    LogCapture log(2);
    SP<OscProbeSubNet> p = subnetProbe({"192.168.1.77/24", "172.16.0.0/12"});
    EXPECT_EQ(log.texts("OscProbeSubNet"),
              (std::vector<std::string>{"Initializing SubNet Probe. Cost 3",
                                        "   Subnet: ip=192.168.1.0, mask=255.255.255.0",
                                        "   Subnet: ip=172.16.0.0, mask=255.240.0.0"}));
    EXPECT_EQ(p->getCost(), 3);
    EXPECT_TRUE(p->getWakesMonitor());
    EXPECT_FALSE(p->probe());
    EXPECT_EQ(p->getNoGoReason(), 0x03000018u);

    ASSERT_TRUE(v->add("192.168.1.200/24"));
    log.clear();
    EXPECT_TRUE(p->probe());
    const std::vector<std::string> lines = log.texts("OscProbeSubNet::probe");
    for (const char* want : {"Found interface: tv0 (WIRED): 192.168.0.5",
                             "Found interface: tv0 (WIRED): 192.168.1.200",
                             "Found interface: lo (UNKNOWN): 127.0.0.1"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end()) << want;
    EXPECT_EQ(lines.back(), "Interface 192.168.1.0 became ACTIVE");

    EvDebug::setDebugLevel(1);
    log.clear();
    EXPECT_TRUE(p->probe());
    EXPECT_TRUE(log.texts("OscProbeSubNet::probe").empty());
}

TEST_F(SubNetProbeTest, MatchesHostOddPrefixAndIPv6SubnetsOnlyWhenAnAddressIsInside)
{
    // Near misses for every row: just outside each subnet.
    for (const char* a : {"10.1.2.4/16", "10.1.48.1/16", "10.1.31.255/16", "10.0.0.1/24",
                          "2001:db9::1/64"})
        ASSERT_TRUE(v->add(a));
    // The IPv4-mapped block shares its low bytes with 10.0.0.1; only the
    // family check keeps it from matching, so it never goes.
    const struct {
        const char* def;
        const char* logged;
        const char* inside;
    } rows[] = {
        {"10.1.2.3/32", "   Subnet: ip=10.1.2.3, mask=255.255.255.255", "10.1.2.3/16"},
        {"10.1.47.9/20", "   Subnet: ip=10.1.32.0, mask=255.255.240.0", "10.1.40.1/16"},
        {"2001:db8::/32", "   Subnet: ip=2001:db8::, mask=ffff:ffff::", "2001:db8:1::5/64"},
        {"::ffff:10.0.0.0/104", nullptr, nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.def);
        LogCapture log(1);
        SP<OscProbeSubNet> p = subnetProbe({r.def});
        EXPECT_TRUE(r.logged == nullptr || log.contains(r.logged));
        EXPECT_FALSE(p->probe());
        if (r.inside != nullptr) {
            ASSERT_TRUE(v->add(r.inside));
            EXPECT_TRUE(p->probe());
            ASSERT_TRUE(v->del(r.inside));
        }
    }
}

TEST_F(SubNetProbeTest, TypeModeGoesForAPresentKindAndLoopbackCountsInSubnetModeOnly)
{
    LogCapture log(2);
    SP<OscProbeSubNet> wired(new OscProbeSubNet(OscProbeSubNet::WIRED));
    SP<OscProbeSubNet> wireless(new OscProbeSubNet(OscProbeSubNet::WIRELESS));
    SP<OscProbeSubNet> other(new OscProbeSubNet(OscProbeSubNet::OTHER));
    SP<OscProbeSubNet> unknown(new OscProbeSubNet(OscProbeSubNet::UNKNOWN));
    SP<OscProbeSubNet> bare(new OscProbeSubNet());
    EXPECT_EQ(log.texts("OscProbeSubNet"),
              (std::vector<std::string>{
                  "Initializing SubNet Probe. Cost 3", "   Interface type: WIRED",
                  "Initializing SubNet Probe. Cost 3", "   Interface type: WIRELESS",
                  "Initializing SubNet Probe. Cost 3", "   Interface type: OTHER",
                  "Initializing SubNet Probe. Cost 3", "   Interface type: UNKNOWN"}));
    const std::pair<SP<OscProbeSubNet>, uint32_t> reasons[] = {
        {wired, 0x03000027u}, {wireless, 0x03000028u}, {other, 0x03000018u},
        {unknown, 0x03000018u}, {bare, 0x03000018u}};
    for (const auto& r : reasons)
        EXPECT_EQ(r.first->getNoGoReason(), r.second);

    // Only lo (UNKNOWN, 127.0.0.1) carries an address so far.
    EXPECT_TRUE(subnetProbe({"127.0.0.0/8"})->probe());
    EXPECT_FALSE(wired->probe());
    ASSERT_TRUE(v->add("10.1.0.1/24"));
    log.clear();
    EXPECT_TRUE(wired->probe());
    EXPECT_EQ(log.texts("OscProbeSubNet::probe").back(), "WIRED interface became active");
    for (const SP<OscProbeSubNet>& p : {wireless, other, unknown, bare})
        EXPECT_FALSE(p->probe());
}

TEST_F(SubNetProbeTest, RejectsBadDefinitionsWithExactMessages)
{
    struct Case {
        std::list<std::string> defs;
        std::string message;
        int line;
    } cases[] = {
        {{"10.1.2.3"}, "Invalid subnet definition 10.1.2.3: lacks the \"/bits\" part", 64},
        {{"abc/8"}, "Couldn't convert string abc to an IP address.", 68},
        {{"10.1.2.3/33"}, "Invalid subnet length 33 passed in address 10.1.2.3/33", 73},
        {{"10.1.2.3/0"}, "Invalid subnet length 0 passed in address 10.1.2.3/0", 73},
        {{"10.1.2.3/abc"}, "Invalid subnet length abc passed in address 10.1.2.3/abc", 73},
        // 2^32 + 8: a wrapped int would read 8.
        {{"10.1.2.3/4294967304"},
         "Invalid subnet length 4294967304 passed in address 10.1.2.3/4294967304", 73},
        {{"2001:db8::/129"}, "Invalid subnet length 129 passed in address 2001:db8::/129", 73},
        // The first bad definition ends construction, good ones before it too.
        {{"10.0.0.0/8", "10.0.0.0/40", "x"},
         "Invalid subnet length 40 passed in address 10.0.0.0/40", 73},
    };
    for (const Case& c : cases) {
        try {
            OscProbeSubNet p(c.defs);
            ADD_FAILURE() << "accepted " << c.defs.back();
        } catch (JxException& e) {
            EXPECT_EQ(e.getMessage(), c.message);
            EXPECT_STREQ(e.getFuncName(), "OscProbeSubNet");
            EXPECT_STREQ(e.getFile(), "OscProbeSubNet");
            EXPECT_EQ(e.getLine(), c.line) << c.message;
            EXPECT_EQ(e.getCode(), -1);
        }
    }
}

// ---- the watcher's beginning and end ----

// From now on, in this process, creating a netlink socket fails with
// EACCES; nothing else changes (unlike exhausting descriptors, which the
// sanitizer runtimes need too).
bool refuseNetlinkSockets()
{
#if defined(__x86_64__)
    const unsigned int arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    const unsigned int arch = AUDIT_ARCH_AARCH64;
#else
#error "add the audit architecture of this machine"
#endif
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EACCES),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]),
                                 filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// A host thread waiting on `m` from before `action` runs, so that a
// broadcast made by the watcher at any time after it cannot be missed.
// Returns whether the waiter was woken within the bound.
bool wokenDuring(JxMonitor& m, const std::function<void()>& action)
{
    std::atomic<bool> entered{false}, woke{false};
    std::thread waiter([&] {
        JxMonitorLock lock(&m);
        entered = true;
        woke = m.wait(5000);
    });
    eventually([&] { return entered.load(); }, 5000);
    m.enter(); // granted once the waiter sleeps inside wait()
    m.leave();
    action();
    waiter.join();
    return woke;
}

TEST(WatcherLifecycle, FirstPassWakesHostsThatProbedBeforeTheWatcherListened)
{
    EXPECT_EQ(runInChild([]() -> std::string {
                  SP<OscProbeSubNet> p = subnetProbe({"192.0.2.0/24"});
                  JxMonitor m;
                  bool started = false;
                  const bool woke = wokenDuring(m, [&] { started = p->start(&m); });
                  p->stop();
                  return !started ? "start() said false"
                                  : woke ? "" : "no wake-up after the watcher began listening";
              }),
              "");
}

TEST(WatcherLifecycle, FailedWatcherLogsWakesOnceAndRefusesEveryLaterStart)
{
    EXPECT_EQ(runInChild([]() -> std::string {
                  LogCapture log(1);
                  SP<OscProbeSubNet> p = subnetProbe({"192.0.2.0/24"});
                  JxMonitor m;
                  // The failure path's last pass wakes the registered monitor.
                  bool refused = false, started = false;
                  const bool woke = wokenDuring(m, [&] {
                      refused = refuseNetlinkSockets();
                      started = p->start(&m);
                  });
                  if (!refused || !started || !woke)
                      return "seccomp filter, first start() or last wake-up missing";
                  bool logged = false;
                  for (const LogCapture::Line& l : log.lines())
                      logged |= l.severity == EvDebug::SEVERITY_ERROR &&
                                l.tag == "OscProbeSubNet::thread_func" &&
                                l.text == "Couldn't create netlink routing socket: Permission "
                                          "denied";
                  if (!logged)
                      return "missing the error line";
                  SP<OscProbeSubNet> q = subnetProbe({"192.0.2.0/24"});
                  JxMonitor other;
                  if (q->start(&other) || q->start(nullptr) || q->refCount() != 1)
                      return "start() after the failure should say false and not register";
                  if (p->refCount() != 2)
                      return "a probe registered before the failure should stay registered";
                  p->stop();
                  return p->refCount() == 1 ? "" : "stop() after the failure should deregister";
              }),
              "");
}

TEST(WatcherLifecycle, ProcessExitsCleanlyWithAProbeStillRegistered)
{
    EXPECT_EQ(runInChild([]() -> std::string {
                  fflush(nullptr);
                  const pid_t pid = fork();
                  if (pid == 0) {
                      // Released without stop(): the registry keeps the probe,
                      // while exit() runs every static destructor and the
                      // watcher thread is still alive.
                      subnetProbe({"192.0.2.0/24"})->start(nullptr);
                      sh("ip addr add 10.123.0.1/32 dev lo");
                      exit(0);
                  }
                  int status = 0;
                  if (pid < 0 || waitpid(pid, &status, 0) != pid)
                      return "fork or wait failed";
                  return WIFEXITED(status) && WEXITSTATUS(status) == 0
                             ? ""
                             : "exit did not succeed: status " + std::to_string(status);
              }),
              "");
}

} // namespace
