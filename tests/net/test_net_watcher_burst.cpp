// The watcher against bursts of address notifications, in a private
// network namespace: a burst that queued up while the watcher was busy costs
// one interface listing, not one per notification, and a burst of removals
// costs none; a new address wakes hosts once, and once more only when
// something changed while they were being woken. Listings are counted
// through InterfaceReadCounter.
#include <gtest/gtest.h>

#include <memory>

#include "InterfaceReadCounter.h"
#include "JxMonitor.h"
#include "JxMonitorLock.h"
#include "NetTestSupport.h"

using namespace oscprobe_test;

namespace {

const char* const kChangeLine = "New IP address just came up.";
constexpr int kWakeMs = 5000;
constexpr int kQuietMs = 1000;
constexpr int kBurst = 50;

size_t changeLines(const LogCapture& log)
{
    size_t n = 0;
    for (const std::string& t : log.texts("OscProbeSubNet::thread_func"))
        n += t == kChangeLine;
    return n;
}

// Waits until no listing has been made for kQuietMs; false if that never
// happens within the bound.
bool listingsSettle()
{
    uint64_t seen = InterfaceReadCounter::listings();
    auto quietSince = std::chrono::steady_clock::now();
    return eventually(
        [&] {
            if (InterfaceReadCounter::listings() != seen) {
                seen = InterfaceReadCounter::listings();
                quietSince = std::chrono::steady_clock::now();
            }
            return std::chrono::steady_clock::now() - quietSince >
                   std::chrono::milliseconds(kQuietMs);
        },
        30000);
}

std::string burst(const std::string& verb, int first)
{
    std::string batch;
    for (int i = first; i < first + kBurst; ++i)
        batch += "addr " + verb + " 10.60.0." + std::to_string(i) + "/32 dev wb0\n";
    return batch;
}

class WatcherBurstTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        OSCPROBE_REQUIRE_NAMESPACES();
        link_ = std::make_unique<TestLink>("wb0", TestLink::Veth);
        ASSERT_TRUE(link_->ok());
        probe_ = subnetProbe({"192.0.2.0/24"});
        ASSERT_TRUE(probe_->start(&monitor_));
        // The watcher's start-up (first listing, first pass) is behind us.
        ASSERT_TRUE(listingsSettle());
    }
    void TearDown() override
    {
        if (probe_)
            probe_->stop();
    }

    std::unique_ptr<TestLink> link_;
    SP<OscProbeSubNet> probe_;
    JxMonitor monitor_;
    TempDir dir_;
};

TEST_F(WatcherBurstTest, ListsInterfacesOnceForABurstQueuedWhileItWasBusy)
{
    LogCapture log(1);
    const uint64_t before = InterfaceReadCounter::listings();
    {
        // Held monitor: the watcher stalls in the wake-up for the first
        // address, before its re-read, and the burst queues up behind it.
        JxMonitorLock stall(&monitor_);
        ASSERT_TRUE(link_->add("10.60.0.1/32"));
        ASSERT_TRUE(eventually([&] { return changeLines(log) == 1; }, kWakeMs));
        ASSERT_EQ(sh("ip -batch " + dir_.write("adds", burst("add", 2))), 0);
        EXPECT_TRUE(monitor_.wait(kWakeMs)) << "the stalled broadcast never came";
    }
    // The first address's re-read already sees the burst, which came after
    // the wake-up began: one more wake-up. The burst's own fifty
    // notifications then cost one listing together.
    ASSERT_TRUE(eventually([&] { return changeLines(log) == 2; }, kWakeMs))
        << "the queued addresses were never reported";
    ASSERT_TRUE(listingsSettle());
    EXPECT_EQ(InterfaceReadCounter::listings() - before, 2u);
    EXPECT_EQ(changeLines(log), 2u);
}

TEST_F(WatcherBurstTest, WakesOnceAndListsOnceForOneNewAddress)
{
    LogCapture log(1);
    const uint64_t before = InterfaceReadCounter::listings();
    {
        JxMonitorLock lock(&monitor_);
        ASSERT_TRUE(link_->add("10.61.0.1/32"));
        EXPECT_TRUE(monitor_.wait(kWakeMs));
    }
    ASSERT_TRUE(listingsSettle());
    EXPECT_EQ(InterfaceReadCounter::listings() - before, 1u);
    EXPECT_EQ(changeLines(log), 1u) << "woken more than once for one address";
}

TEST_F(WatcherBurstTest, WakesAgainWhenTheNewAddressGoesAndComesBackDuringTheWakeUp)
{
    LogCapture log(1);
    {
        JxMonitorLock lock(&monitor_);
        ASSERT_TRUE(link_->add("10.62.0.1/32"));
        // The watcher now waits for this monitor to wake it. A host woken
        // then may list the interfaces just while the address is away, and
        // the watcher's re-read would find it back: only a second wake-up
        // tells.
        ASSERT_TRUE(eventually([&] { return changeLines(log) == 1; }, kWakeMs));
        ASSERT_TRUE(link_->del("10.62.0.1/32"));
        ASSERT_TRUE(link_->add("10.62.0.1/32"));
        EXPECT_TRUE(monitor_.wait(kWakeMs)) << "the first wake-up never came";
    }
    // A waiter slow to run again takes two broadcasts as one wake-up, so the
    // change lines (one before each broadcast) tell whether there was a
    // second.
    EXPECT_TRUE(eventually([&] { return changeLines(log) == 2; }, kWakeMs))
        << "no second wake-up";
    ASSERT_TRUE(listingsSettle());
    EXPECT_EQ(changeLines(log), 2u);
}

TEST_F(WatcherBurstTest, ListsNothingAndWakesNobodyForABurstOfRemovals)
{
    ASSERT_EQ(sh("ip -batch " + dir_.write("adds", burst("add", 100))), 0);
    ASSERT_TRUE(listingsSettle());
    LogCapture log(1);
    const uint64_t before = InterfaceReadCounter::listings();
    {
        JxMonitorLock lock(&monitor_);
        ASSERT_EQ(sh("ip -batch " + dir_.write("dels", burst("del", 100))), 0);
        EXPECT_FALSE(monitor_.wait(kQuietMs));
    }
    ASSERT_TRUE(listingsSettle());
    EXPECT_EQ(InterfaceReadCounter::listings(), before);
    EXPECT_EQ(changeLines(log), 0u);
}

} // namespace
