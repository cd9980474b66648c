#include "HostLoop.h"

#include <stdio.h>

#include <algorithm>

#include "Text.h"

namespace oscprobe_cli {

Clock::duration seconds(double s)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

HostLoop::HostLoop(ConditionSet& conditions, JxMonitor& monitor, StatusLine& status,
                   const char* verb, double interval)
    : conditions_(conditions), monitor_(monitor), status_(status), verb_(verb),
      interval_(interval)
{
}

void HostLoop::run(HostRole& role, bool evaluateFirst)
{
    for (;;) {
        if (evaluateFirst) {
            // Started before every evaluation: a subnet probe that said go
            // left the watcher, and must be back before the next wait.
            std::string problem;
            conditions_.start(&monitor_, &problem);
            if (!problem.empty() && !toldStartProblem_) {
                status_.clear();
                fprintf(stderr, "oscprobe %s: can't watch for address changes (%s); "
                                "re-evaluating every %g s\n",
                        verb_, printable(problem).c_str(), interval_);
                toldStartProblem_ = true;
            }
            seen_ = OscProbeWake::generation();
            answers_ = conditions_.evaluate();
        }
        evaluateFirst = true;
        if (!role.evaluated(answers_))
            return;
        const Clock::time_point due = role.due();
        bool woken = false;
        {
            JxMonitorLock lock(&monitor_);
            // A pass that ran while the probes looked found no one waiting.
            woken = OscProbeWake::generation() != seen_;
            while (!woken && !role.pending()) {
                const Clock::time_point now = Clock::now();
                if (now >= due)
                    break;
                role.showWaiting();
                // On a terminal the elapsed time is redrawn every second.
                const Clock::time_point until = std::min(due, now + std::chrono::seconds(1));
                woken = monitor_.wait(std::max<long>(
                    1, std::chrono::ceil<std::chrono::milliseconds>(until - now).count()));
            }
        }
        if (!role.waited(woken))
            return;
    }
}

} // namespace oscprobe_cli
