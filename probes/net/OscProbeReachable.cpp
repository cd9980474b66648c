// OscProbeReachable: the targets, the last answer and when a check is due;
// the system side is in OscProbeReachable_linux.cpp, the words and the
// rules in internal/ReachableInternal.cpp.
#include "OscProbeReachable.h"

#include <condition_variable>
#include <mutex>
#include <vector>

#include "JxException.h"
#include "internal/NetworkInternal.h"
#include "internal/Bus.h"
#include "internal/ReachableKernel.h"

using oscprobe::internal::Lookup;
using oscprobe::internal::ReachTarget;
using oscprobe::internal::TargetOutcome;

struct OscProbeReachable::State {
    // Set by the constructor, read-only after.
    std::vector<ReachTarget> targets;
    int timeoutMs = 0;

    std::mutex mutex;
    std::condition_variable checkEnded;
    // Guarded by mutex.
    bool checking = false;
    unsigned long long checksEnded = 0;
    bool have = false;
    Finding last;
    std::chrono::steady_clock::time_point at;
    unsigned long long changesAt = 0;
    // The checking thread's alone (`checking` is its token): each name's
    // lookup left running by an earlier check.
    std::vector<std::shared_ptr<Lookup>> pending;
};

namespace {

const char* const kClassName = "OscProbeReachable";

} // namespace

OscProbeReachable::OscProbeReachable(const std::list<std::string>& targets, int timeoutMs)
    : OscProbe(5, true)
{
    debug.Debug(kClassName, "Initializing Reachable probe. Cost %d", cost);
    std::unique_ptr<State> state(new State);
    if (targets.empty())
        throw JxException(kClassName, "no target given (HOST:PORT or [IPv6]:PORT)", kClassName, 1,
                          -1);
    if (timeoutMs < 1)
        throw JxException(kClassName, "the timeout must be at least 1 ms", kClassName, 2, -1);
    for (const std::string& text : targets) {
        oscprobe::internal::Target parsed;
        std::string why;
        if (!oscprobe::internal::parseTarget(text, &parsed, &why))
            throw JxException(kClassName, why, kClassName, 3, -1);
        state->targets.emplace_back();
        oscprobe::internal::prepareTarget(text, parsed.host, parsed.port, &state->targets.back());
    }
    state->timeoutMs = timeoutMs;
    state_ = std::move(state);
}

OscProbeReachable::~OscProbeReachable()
{
    // Not through the virtual table: the object is already an OscProbeReachable only.
    OscProbeReachable::stop();
}

bool OscProbeReachable::probe() { return probe(nullptr); }

bool OscProbeReachable::probe(Finding* finding)
{
    using namespace oscprobe::internal;
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    // Another thread's check is as fresh as one of our own, and waiting for
    // it keeps this call within the timeout.
    const unsigned long long ended = s.checksEnded;
    s.checkEnded.wait(lock, [&s] { return !s.checking; });
    const auto now = std::chrono::steady_clock::now();
    const unsigned long long changes = reachChanges();
    if (s.have && (s.checksEnded != ended || reuseLast(s.have, now - s.at, s.changesAt, changes))) {
        if (finding != nullptr)
            *finding = s.last;
        return s.last.reached;
    }
    s.checking = true;
    lock.unlock();
    Finding found;
    try {
        std::vector<TargetOutcome> outcome;
        checkTargets(s.targets, &s.pending, now + std::chrono::milliseconds(s.timeoutMs), &outcome);
        found.reached = decideReach(outcome, s.timeoutMs, &found.text);
    } catch (...) {
        lock.lock();
        s.checking = false;
        s.checkEnded.notify_all();
        throw;
    }
    debug.DebugLvl("OscProbeReachable::probe", 2, "%s", found.text.c_str());
    lock.lock();
    s.have = true;
    s.last = found;
    s.at = now;
    s.changesAt = changes;
    s.checking = false;
    ++s.checksEnded;
    s.checkEnded.notify_all();
    if (finding != nullptr)
        *finding = found;
    return found.reached;
}

OscProbeReason OscProbeReachable::getNoGoReason() { return OSCPROBE_REASON_UNREACHABLE; }

bool OscProbeReachable::start(JxMonitor* monitor)
{
    const bool started = oscprobe::internal::startReachEvents(this, monitor, debug);
    // Registered, never woken through the bus: a resume counts as a change
    // of the reachable source, whose pass wakes the host.
    oscprobe::internal::startBusEvents(this, nullptr, oscprobe::internal::BUS_RESUME);
    return started;
}

void OscProbeReachable::stop()
{
    oscprobe::internal::stopReachEvents(this);
    oscprobe::internal::stopBusEvents(this);
}

std::string OscProbeReachable::whyInvalid(const std::string& target)
{
    oscprobe::internal::Target parsed;
    std::string why;
    return oscprobe::internal::parseTarget(target, &parsed, &why) ? std::string() : why;
}
