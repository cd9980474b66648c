// HostLoop: the one loop by which `wait` and `run --hold` host the probes:
// start them, evaluate, and wait on the monitor until a wake source of the
// library, an event of the tool's own or the next due time calls for the
// next evaluation. What is done with each evaluation is a HostRole's: the
// wait for all go (cli/Wait.cpp), the job held while a condition says no-go
// (cli/Hold.h).
//
// No wake-up is lost: the loop reads OscProbeWake::generation() before each
// evaluation and again with the monitor entered before it waits. A broadcast
// pass that ran while the probes looked (a charger plugged in after the AC
// probe read its files) found no one waiting; the changed count says so,
// and the loop evaluates again at once instead of waiting. The tool's own
// events (a signal taken, the job's end) are looked for the same way, with
// the monitor entered, by HostRole::pending().
//
// Threading: the main thread runs the loop; the library's threads and the
// signal thread only enter the monitor around a broadcast. The monitor is
// never held while a probe starts, answers or stops (the library takes its
// registries before a host's monitor).
#ifndef OSCPROBE_CLI_HOSTLOOP_H
#define OSCPROBE_CLI_HOSTLOOP_H

#include <chrono>
#include <string>
#include <vector>

#include "Conditions.h"
#include "StatusLine.h"
#include "oscprobe.h"

namespace oscprobe_cli {

using Clock = std::chrono::steady_clock;

Clock::duration seconds(double s);
double secondsSince(Clock::time_point start);

// What one host does with the loop's evaluations. Called on the main thread.
class HostRole {
public:
    virtual ~HostRole() = default;

    // Acts on one evaluation (the monitor not entered); false ends the loop.
    virtual bool evaluated(const std::vector<Answer>& answers) = 0;

    // When to evaluate again if nothing wakes the loop; asked once after
    // each evaluated() that returned true.
    virtual Clock::time_point due() = 0;

    // With the monitor entered, before every wait: true when an event of the
    // tool's own calls for action without waiting. Whoever records such an
    // event broadcasts on the monitor after recording it, so one recorded
    // after this look still wakes the wait.
    virtual bool pending() = 0;

    // Puts the wait into words (status line, service status); called with
    // the monitor entered at least once a second while waiting.
    virtual void showWaiting() = 0;

    // After the wait, the monitor left; `woken` when something may have
    // changed (a wake source ran, a signal, the job). False ends the loop.
    virtual bool waited(bool woken) = 0;
};

class HostLoop {
public:
    // `verb` and `interval` word the one line said when a probe cannot be
    // started (the loop then wakes only when due).
    HostLoop(ConditionSet& conditions, JxMonitor& monitor, StatusLine& status, const char* verb,
             double interval);

    // Evaluates and waits as `role` says until it ends the loop. With
    // `evaluateFirst` false the first evaluation is the last one of the
    // previous run() (the role taking over from another), so that a wake
    // source that ran during it is not lost in the hand-over.
    void run(HostRole& role, bool evaluateFirst = true);

    // The answers of the last evaluation.
    const std::vector<Answer>& answers() const { return answers_; }

private:
    ConditionSet& conditions_;
    JxMonitor& monitor_;
    StatusLine& status_;
    const char* verb_;
    double interval_;
    bool toldStartProblem_ = false;
    unsigned long long seen_ = 0; // the wake generation before the last evaluation
    std::vector<Answer> answers_;
};

} // namespace oscprobe_cli

#endif
