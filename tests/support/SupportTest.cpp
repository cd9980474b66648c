// The support library: CRC-32, addresses, settings, counted references, the
// monitor and the sleep.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "JxMonitor.h"
#include "SP.h"
#include "TestSupport.h"
#include "ZuNetwork.h"
#include "ZuUtils.h"
#include "internal/JXSettingsText.h"

TEST(SupportTest, Crc32ChainsARawRegister)
{
    for (unsigned int split = 0, reg = 0xFFFFFFFF; split <= 9; ++split, reg = 0xFFFFFFFF) {
        jx_crc32("123456789", split, &reg);
        EXPECT_EQ(~jx_crc32(&"123456789"[split], 9 - split, &reg), 0xCBF43926u) << split;
    }
}

TEST(SupportTest, AddressesTakeTheirPlaceInTheByteLayout)
{
    const struct { const char* text; uint16_t family; size_t at; std::vector<unsigned char> bytes; } rows[] = {
        {"192.168.1.20", 2, 4, {192, 168, 1, 20}},
        {"2001:db8::1:2", 10, 8, {0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2}}};
    for (const auto& r : rows) {
        ZUNET_SockAddr got, want = {};
        memset(&got, 0xAA, sizeof got);
        memcpy(want.raw, &r.family, 2);
        memcpy(want.raw + r.at, r.bytes.data(), r.bytes.size());
        EXPECT_TRUE(ZUNET_str2ip(r.text, &got) == 0 && memcmp(got.raw, want.raw, sizeof want) == 0) << r.text;
    }
    // No room for the terminator: cut short and terminated, nothing written beyond.
    ZUNET_SockAddr a;
    char buf[16] = "###############";
    ZUNET_str2ip("192.168.1.20", &a);
    EXPECT_NE(ZUNET_ip2str(&a, buf, 12), 0);
    EXPECT_EQ(std::string(buf, 13), std::string("192.168.1.2\0#", 13));
}

TEST(SupportTest, SettingIsFoundOnlyInItsOwnSection)
{
    const std::string text = "[Runtime]\nnHMONLINE = 1 \nhere=x\n[Other]\nnHMONLINE=0\n";
    const char* rows[][3] = {{"Runtime", "nHMONLINE", "1"}, {"Other", "nHMONLINE", "0"}, {"Other", "here", "-"}, {"No", "here", "-"}};
    for (auto& r : rows) {
        std::string value = "-";
        EXPECT_EQ(oscprobe::internal::findSetting(text, r[0], r[1], &value), *r[2] != '-') << r[0] << r[1];
        EXPECT_EQ(value, r[2]);
    }
}

// A line too long for the parser neither hides the setting around it nor
// lends its tail to a setting: only one that sets the key itself is refused.
TEST(SupportTest, OverlongLinesAreSkippedUnlessTheySetTheKey)
{
    const std::string big(300, 'x'), hm = "[Runtime]\nnHMONLINE=1\n";
    const struct { std::string text; const char* value; size_t skipped; } rows[] = {
        {hm + "; " + big + "\n", "1", 3},
        {"# " + big + "\n" + hm, "1", 1},
        {hm + "other=" + big + "\n", "1", 3},
        {hm + "other=" + big + "\n  nHMONLINE=0\n", "1", 3},          // continues other, not ours
        {"[Other]\nnHMONLINE=" + big + "\n" + hm, "1", 2},
        {"[" + big + "]\nnHMONLINE=0\n" + hm, "1", 1},
        {"[Runtime]\nnHMONLINE=" + big + "\n", nullptr, 0},
        {hm + "  " + big + "\n", nullptr, 0},                           // continues ours
        {"[Runtime]\nnHMONLINE=1 ;" + big + "\n", nullptr, 0}};
    for (const auto& r : rows) {
        std::string value = "-", why;
        oscprobe::internal::SkippedLines skipped;
        const bool found = oscprobe::internal::findSetting(r.text, "Runtime", "nHMONLINE", &value, &why, &skipped);
        EXPECT_EQ(found, r.value != nullptr) << r.text.substr(0, 40);
        EXPECT_EQ(value, r.value ? r.value : "-");
        EXPECT_EQ(why.empty(), r.value != nullptr) << why;
        EXPECT_TRUE(skipped.count == (r.skipped ? 1u : 0u) && skipped.first == r.skipped);
    }
}

struct Counted : SPEnabled { int* gone; explicit Counted(int* g) : gone(g) {} ~Counted() override { ++*gone; } };

TEST(SupportTest, LastReferenceDeletesOnceAndSelfAssignmentKeepsTheObject)
{
    int gone = 0;
    SP<Counted> a(new Counted(&gone)), &alias = a, b;
    a = alias;
    ASSERT_EQ(gone, 0);
    b = a;
    a = static_cast<Counted*>(nullptr), b = static_cast<Counted*>(nullptr);
    EXPECT_EQ(gone, 1);
}

TEST(SupportTest, MonitorWaitZeroReturnsAtOnceAndOneBroadcastWakesEveryWaiter)
{
    oscprobe_test::inChild([] {
        JxMonitor m;
        int waiting = 0, woken = 0; // guarded by m
        m.enter(); EXPECT_FALSE(m.wait(0)); m.leave();
        std::thread waiters[3];
        for (std::thread& t : waiters)
            t = std::thread([&] { m.enter(); ++waiting; woken += m.wait(-1); m.leave(); });
        // A waiter leaves the monitor only inside wait(): once all are counted, all wait.
        for (bool all = false; !all; std::this_thread::yield()) {
            m.enter();
            all = waiting == 3;
            if (all)
                m.broadcast();
            m.leave();
        }
        for (std::thread& t : waiters)
            t.join();
        EXPECT_EQ(woken, 3);
    }, 10);
}

TEST(SupportTest, SleepLastsItsWholeTimeThroughSignals)
{
    oscprobe_test::inChild([] {
        signal(SIGUSR1, [](int) {}); // a signal ends nanosleep with EINTR, restarting or not
        std::atomic<bool> done{false};
        std::thread signaller([&, sleeper = pthread_self()] { for (; !done; usleep(20000)) pthread_kill(sleeper, SIGUSR1); });
        const auto start = std::chrono::steady_clock::now();
        ZUSLEEP_InTeRnAl(300, __FILE__, __LINE__);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
        done = true;
        signaller.join();
    });
}
