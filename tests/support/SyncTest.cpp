// Monitors, critical sections, scoped locks, detached threads and sleeping
// through signals.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "JxCriticalSection.h"
#include "JxCriticalSectionLock.h"
#include "JxMonitor.h"
#include "JxMonitorLock.h"
#include "JxThread.h"
#include "TestSupport.h"
#include "ZuUtils.h"

namespace {

// Waits (outside the monitor) until `count` threads are inside wait(). A
// waiter bumps the counter while it holds the monitor and releases the
// monitor only inside wait(), so seeing the count under the monitor means
// every counted waiter is already waiting. Returns with the monitor entered.
void enterWhenWaiting(JxMonitor& monitor, const int& waiting, int count)
{
    for (;;) {
        monitor.enter();
        if (waiting >= count)
            return;
        monitor.leave();
        std::this_thread::yield();
    }
}

TEST(JxMonitorTest, OneBroadcastWakesEveryWaiterWhichOwnsMonitorAgainOnReturn)
{
    // Waiters with no time limit (negative, or so far off that the deadline
    // arithmetic must not overflow) return only if the broadcast really woke
    // them; the child process bounds the test if it does not.
    const std::string failure = oscprobe_test::runInChild(
        []() -> std::string {
            const long limits[] = {-1, LONG_MAX, 10000};
            JxMonitor monitor;
            int waiting = 0; // guarded by monitor
            int payload = 0; // guarded by monitor
            std::vector<int> seen(3, -1);
            std::vector<std::thread> threads;
            for (int i = 0; i < 3; ++i) {
                threads.emplace_back([&, i] {
                    JxMonitorLock lock(&monitor);
                    ++waiting;
                    seen[i] = monitor.wait(limits[i]) ? payload : -1;
                });
            }
            enterWhenWaiting(monitor, waiting, 3);
            monitor.broadcast(); // once: every waiter must take it
            // Written after the broadcast but before leaving: a waiter may
            // read it only once it owns the monitor again.
            payload = 42;
            monitor.leave();
            for (std::thread& t : threads)
                t.join();
            for (int i = 0; i < 3; ++i)
                if (seen[i] != 42)
                    return "waiter " + std::to_string(i) + " saw " + std::to_string(seen[i]);
            return "";
        },
        20);
    EXPECT_EQ(failure, "");
}

TEST(JxMonitorTest, WaitTimesOutKeepingMonitorAndEarlierBroadcastIsNotRemembered)
{
    JxMonitor monitor;
    monitor.enter();
    monitor.broadcast();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(monitor.wait(50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

    // Still owned: another thread cannot get in until we leave.
    std::atomic<bool> otherEntered{false};
    std::thread other([&] {
        JxMonitorLock lock(&monitor);
        otherEntered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(otherEntered.load());
    monitor.leave();
    other.join();
    EXPECT_TRUE(otherEntered.load());
}

TEST(JxCriticalSectionTest, ScopedLocksKeepCounterExact)
{
    JxCriticalSection section;
    long counter = 0; // a data race here also shows under ThreadSanitizer
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                JxCriticalSectionLock lock(&section);
                ++counter;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(counter, 4 * 20000);
}

struct ThreadArg {
    std::promise<void> release;
    std::promise<std::thread::id> ran;
};

void* threadEntry(void* arg)
{
    auto* a = static_cast<ThreadArg*>(arg);
    a->release.get_future().wait();
    a->ran.set_value(std::this_thread::get_id());
    return nullptr;
}

TEST(JxThreadTest, DetachedThreadRunsEntryWithArgumentAfterObjectIsGone)
{
    // Static: the detached thread may still touch it after the test returns.
    static ThreadArg arg;
    std::future<std::thread::id> ran = arg.ran.get_future();
    {
        JxThread thread;
        EXPECT_EQ(thread.createDetachedThread(threadEntry, &arg), 0);
    }
    arg.release.set_value();
    ASSERT_EQ(ran.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_NE(ran.get(), std::this_thread::get_id());
}

std::atomic<int> g_handled{0};

void countSignal(int) { g_handled.fetch_add(1, std::memory_order_relaxed); }

TEST(ZusleepTest, SleepsWholeTimeThoughSignalsInterruptIt)
{
    // A handler without SA_RESTART, so that the blocked sleep fails with
    // EINTR instead of being restarted by the kernel.
    struct sigaction sa = {};
    struct sigaction old = {};
    sa.sa_handler = countSignal;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

    const pthread_t sleeper = pthread_self();
    std::atomic<bool> awake{false};
    std::thread signaller([&] {
        while (!awake.load()) {
            pthread_kill(sleeper, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
    });

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ZUSLEEP_InTeRnAl(300, __FILE__, __LINE__), 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const int handledDuringSleep = g_handled.load();
    awake = true;
    signaller.join();
    sigaction(SIGUSR1, &old, nullptr);

    // A lower bound only: the sleep must not end early because of a signal.
    EXPECT_GE(elapsed, std::chrono::milliseconds(300));
    EXPECT_GT(handledDuringSleep, 1) << "no signal arrived during the sleep";
}

} // namespace
