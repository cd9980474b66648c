// The support library: CRC-32, addresses, settings, counted references, the
// monitor and the sleep.
#include <gtest/gtest.h>

#include <signal.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>

#include "JxMonitor.h"
#include "SP.h"
#include "TestSupport.h"
#include "ZuNetwork.h"
#include "ZuUtils.h"
#include "internal/JXSettingsText.h"

namespace {

TEST(SupportTest, Crc32ChainsARawRegister)
{
    for (unsigned long split = 0; split <= 9; ++split) {
        unsigned int reg = 0xFFFFFFFF;
        jx_crc32("123456789", split, &reg);
        EXPECT_EQ(~jx_crc32(&"123456789"[split], 9 - split, &reg), 0xCBF43926u) << split;
    }
}

TEST(SupportTest, AddressTextsRoundTripThroughTheByteLayout)
{
    const struct { const char* text; uint16_t family; size_t at; std::vector<unsigned char> bytes; } rows[] = {
        {"192.168.1.20", 2, 4, {192, 168, 1, 20}}, {"1.2.3", 0, 0, {}}, {"fe80::g", 0, 0, {}},
        {"2001:db8::1:2", 10, 8, {0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2}}};
    for (const auto& r : rows) {
        ZUNET_SockAddr got, want = {}; // a rejected text leaves zeroes
        memset(&got, 0xAA, sizeof got);
        EXPECT_EQ(ZUNET_str2ip(r.text, &got) == 0, r.family != 0) << r.text;
        if (r.family != 0)
            memcpy(want.raw, &r.family, 2), memcpy(want.raw + r.at, r.bytes.data(), r.bytes.size());
        char text[64] = "";
        EXPECT_TRUE(!memcmp(got.raw, want.raw, sizeof want) && !ZUNET_ip2str(&got, text, sizeof text)) << r.text;
        EXPECT_STREQ(text, r.family != 0 ? r.text : "?");
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
    for (auto r : std::vector<std::array<const char*, 3>>{
             {"Runtime", "nHMONLINE", "1"}, {"Other", "nHMONLINE", "0"}, {"Other", "here", "-"}, {"No", "here", "-"}}) {
        std::string value = "-";
        EXPECT_EQ(oscprobe::internal::findSetting(text, r[0], r[1], &value), *r[2] != '-') << r[0] << r[1];
        EXPECT_EQ(value, r[2]);
    }
}

struct Counted : SPEnabled {
    explicit Counted(int* g) : gone(g) {}
    ~Counted() override { ++*gone; }
    int* gone;
};

TEST(SupportTest, LastReferenceDeletesOnceAndSelfAssignmentKeepsTheObject)
{
    int gone = 0;
    SP<Counted> a(new Counted(&gone)), &alias = a, b;
    a = alias;
    ASSERT_EQ(gone, 0);
    b = a, a = static_cast<Counted*>(nullptr);
    ASSERT_EQ(gone, 0);
    b = static_cast<Counted*>(nullptr);
    EXPECT_EQ(gone, 1);
}

TEST(SupportTest, MonitorWaitZeroReturnsAtOnceAndOneBroadcastWakesEveryWaiter)
{
    oscprobe_test::inChild([] {
        JxMonitor m;
        int waiting = 0, woken = 0; // guarded by m
        m.enter();
        EXPECT_FALSE(m.wait(0));
        m.leave();
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i)
            waiters.emplace_back([&] { m.enter(), ++waiting, woken += m.wait(-1), m.leave(); });
        // A waiter leaves the monitor only inside wait(): once all are counted, all wait.
        for (bool all = false; !all; m.leave(), std::this_thread::yield())
            if (m.enter(), all = waiting == 3)
                m.broadcast();
        for (std::thread& t : waiters)
            t.join();
        EXPECT_EQ(woken, 3);
    }, 10);
}

TEST(SupportTest, SleepLastsItsWholeTimeThroughSignals)
{
    oscprobe_test::inChild([] {
        struct sigaction sa = {}; // no SA_RESTART: every signal ends nanosleep with EINTR
        sa.sa_handler = [](int) {};
        sigaction(SIGUSR1, &sa, nullptr);
        const pthread_t sleeper = pthread_self();
        std::atomic<bool> done{false};
        std::thread signaller([&] { for (; !done; usleep(20000)) pthread_kill(sleeper, SIGUSR1); });
        const auto start = std::chrono::steady_clock::now();
        ZUSLEEP_InTeRnAl(300, __FILE__, __LINE__);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
        done = true, signaller.join();
    });
}

} // namespace
