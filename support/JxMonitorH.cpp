#include "JxMonitorH.h"

#include <chrono>

JxMonitorH::JxMonitorH() = default;
JxMonitorH::~JxMonitorH() = default;

void JxMonitorH::enter() { mutex_.lock(); }

void JxMonitorH::leave() { mutex_.unlock(); }

void JxMonitorH::broadcast()
{
    ++generation_;
    cond_.notify_all();
}

bool JxMonitorH::wait(long milliseconds)
{
    // The caller already owns mutex_; adopt it for the wait and hand it back.
    std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
    const unsigned long seen = generation_;
    auto broadcastSeen = [&] { return generation_ != seen; };
    // The deadline is computed in nanoseconds on the steady clock, which
    // overflows for times near LONG_MAX (a host's "forever"); about 30 years
    // is as good as no limit and keeps the arithmetic in range.
    constexpr long kLongestWaitMs = 1000L * 1000 * 1000 * 1000;
    if (milliseconds > kLongestWaitMs)
        milliseconds = kLongestWaitMs;
    bool woken;
    if (milliseconds < 0) {
        cond_.wait(lock, broadcastSeen);
        woken = true;
    } else {
        woken = cond_.wait_for(lock, std::chrono::milliseconds(milliseconds), broadcastSeen);
    }
    lock.release();
    return woken;
}
