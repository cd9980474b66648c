// The support library: CRC-32, address texts, settings, counted references,
// the monitor and the sleep.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "JXPlatformInfo.h"
#include "JxMonitor.h"
#include "SP.h"
#include "TestSupport.h"
#include "ZuNetwork.h"
#include "ZuUtils.h"

namespace {

TEST(SupportTest, Crc32ChainsARawRegister)
{
    const char* data = "123456789";
    for (unsigned long split = 0; split <= 9; ++split) {
        unsigned int reg = 0xFFFFFFFF;
        jx_crc32(data, split, &reg);
        EXPECT_EQ(~jx_crc32(data + split, 9 - split, &reg), 0xCBF43926u) << split;
    }
}

TEST(SupportTest, AddressTextsRoundTripThroughTheByteLayout)
{
    const struct {
        const char* text;
        uint16_t family; // 0: rejected, all bytes zero
        size_t offset;
        std::vector<unsigned char> bytes;
    } rows[] = {{"192.168.1.20", 2, 4, {192, 168, 1, 20}},
                {"2001:db8::1:2", 10, 8, {0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2}},
                {"1.2.3", 0, 0, {}}, {"fe80::g", 0, 0, {}}, {" 1.2.3.4", 0, 0, {}}};
    for (const auto& row : rows) {
        ZUNET_SockAddr got, want = {};
        memset(&got, 0xAA, sizeof got);
        EXPECT_EQ(ZUNET_str2ip(row.text, &got) == 0, row.family != 0) << row.text;
        if (row.family != 0) {
            memcpy(want.raw, &row.family, 2);
            memcpy(want.raw + row.offset, row.bytes.data(), row.bytes.size());
        }
        EXPECT_EQ(memcmp(got.raw, want.raw, sizeof want), 0) << row.text;
        char text[64] = "";
        EXPECT_EQ(ZUNET_ip2str(&got, text, sizeof text), 0);
        EXPECT_STREQ(text, row.family != 0 ? row.text : "?");
    }
    // No room for the terminator: cut short, terminated, nothing written beyond.
    ZUNET_SockAddr a;
    ZUNET_str2ip("192.168.1.20", &a);
    char buf[16];
    memset(buf, '#', sizeof buf);
    EXPECT_NE(ZUNET_ip2str(&a, buf, 12), 0);
    EXPECT_STREQ(buf, "192.168.1.2");
    EXPECT_EQ(buf[12], '#');
}

TEST(SupportTest, SettingComesFromItsOwnSectionOfTheFileTheEnvironmentNames)
{
    oscprobe_test::TempDir dir;
    const std::string file = dir.write("s.ini", "[Runtime]\nnHMONLINE = 1 \nhere=x\n[Other]\nnHMONLINE=0\nthere=y\n");
    oscprobe_test::inChild([&] {
        setenv("OSCPROBE_SETTINGS", file.c_str(), 1);
        const struct {
            const char *section, *key, *value;
        } rows[] = {{"Runtime", "nHMONLINE", "1"}, {"Other", "nHMONLINE", "0"},
                    {"Runtime", "there", nullptr}, {"Missing", "here", nullptr}};
        for (const auto& row : rows) {
            std::string value = "unset";
            EXPECT_EQ(JXPlatformInfo().getString(row.section, row.key, &value) != 0, row.value != nullptr);
            EXPECT_EQ(value, row.value != nullptr ? row.value : "unset") << row.section << row.key;
        }
    });
}

struct Counted : SPEnabled {
    explicit Counted(int* g) : gone(g) {}
    ~Counted() override { ++*gone; }
    int* gone;
};

TEST(SupportTest, LastReferenceDeletesOnceAndSelfAssignmentKeepsTheObject)
{
    int gone = 0;
    SP<Counted> a(new Counted(&gone));
    SP<Counted>& alias = a;
    a = alias;
    ASSERT_EQ(gone, 0);
    SP<Counted> b(a);
    a = static_cast<Counted*>(nullptr);
    ASSERT_EQ(gone, 0);
    b = static_cast<Counted*>(nullptr);
    EXPECT_EQ(gone, 1);
}

TEST(SupportTest, MonitorWaitZeroReturnsAtOnceAndOneBroadcastWakesEveryWaiter)
{
    oscprobe_test::inChild([] {
        JxMonitor m;
        m.enter();
        EXPECT_FALSE(m.wait(0));
        m.leave();
        int waiting = 0, woken = 0; // guarded by m
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i)
            waiters.emplace_back([&] { m.enter(); ++waiting; woken += m.wait(-1); m.leave(); });
        // A waiter leaves the monitor only inside wait(): once all three are
        // counted, all three wait.
        for (bool all = false; !all; std::this_thread::yield()) {
            m.enter();
            if ((all = waiting == 3))
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
        struct sigaction sa = {}; // no SA_RESTART: each signal ends nanosleep with EINTR
        sa.sa_handler = [](int) {};
        sigaction(SIGUSR1, &sa, nullptr);
        const pthread_t sleeper = pthread_self();
        std::atomic<bool> done{false};
        std::thread signaller([&] {
            for (; !done; usleep(20000))
                pthread_kill(sleeper, SIGUSR1);
        });
        const auto start = std::chrono::steady_clock::now();
        ZUSLEEP_InTeRnAl(300, __FILE__, __LINE__);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
        done = true;
        signaller.join();
    });
}

} // namespace
