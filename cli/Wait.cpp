// `oscprobe wait` and `oscprobe run`: the tool as a long-running host.
//
// The main thread owns one JxMonitor, starts every probe with it and runs
// the host loop (HostLoop.h): the wait below until every condition says go,
// then, for `run --hold`, the job's (Hold.h) in the same loop. Two other
// kinds of thread touch the monitor: the library's wake sources and the
// signal thread (SignalCatcher.h); each only enters it, broadcasts and
// leaves.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Commands.h"
#include "Conditions.h"
#include "Errors.h"
#include "Hold.h"
#include "HostLoop.h"
#include "Job.h"
#include "Notify.h"
#include "Report.h"
#include "SignalCatcher.h"
#include "StatusLine.h"
#include "Text.h"
#include "oscprobe.h"

namespace oscprobe_cli {

namespace {

enum class Outcome { WAITING, GO, TIMED_OUT, FAILED, SIGNALLED, OUTPUT_FAILED };

// The wait for every condition to say go, until --timeout.
class Waiter : public HostRole {
public:
    Waiter(const WaitOptions& options, SignalCatcher& signals, StatusLine& status,
           ServiceStatus& service, Clock::time_point begin)
        : options_(options), signals_(signals), status_(status), service_(service),
          timed_(options.timeout >= 0), deadline_(begin + seconds(timed_ ? options.timeout : 0)),
          begin_(begin)
    {
    }

    bool evaluated(const std::vector<Answer>& answers) override
    {
        if (options_.json) {
            printf("%s\n", answersJson(answers, secondsSince(begin_)).c_str());
            if (!flushed(stdout)) {
                writeError_ = errno;
                return end(Outcome::OUTPUT_FAILED);
            }
        }
        if (signals_.caught())
            return end(Outcome::SIGNALLED); // never run the command after one
        if (anyFailed(answers))
            return end(Outcome::FAILED);
        if (allGo(answers))
            return end(Outcome::GO);
        heldBack_ = heldBackBy(answers);
        return true;
    }

    Clock::time_point due() override
    {
        const Clock::time_point next = Clock::now() + seconds(options_.interval);
        return timed_ ? std::min(next, deadline_) : next;
    }

    bool pending() override { return signals_.caught() != 0; }

    void showWaiting() override
    {
        service_.say("waiting: held back by " + heldBack_);
        status_.show("waiting " + clockText(secondsSince(begin_)) + "  held back by: " + heldBack_);
    }

    bool waited(bool woken) override
    {
        if (signals_.caught())
            return end(Outcome::SIGNALLED);
        if (!woken && timed_ && Clock::now() >= deadline_)
            return end(Outcome::TIMED_OUT);
        return true;
    }

    Outcome outcome() const { return outcome_; }
    int writeError() const { return writeError_; }

private:
    bool end(Outcome outcome)
    {
        outcome_ = outcome;
        return false;
    }

    const WaitOptions& options_;
    SignalCatcher& signals_;
    StatusLine& status_;
    ServiceStatus& service_;
    const bool timed_;
    const Clock::time_point deadline_, begin_;
    Outcome outcome_ = Outcome::WAITING;
    int writeError_ = 0; // the errno of a failed write, kept from the moment it failed
    std::string heldBack_;
};

} // namespace

int runWait(const ConditionOptions& conditionOptions, const WaitOptions& options)
{
    const char* verb = options.command.empty() ? "wait" : "run";
    // Made before anything starts, so that bad input leaves nothing to undo.
    ConditionSet conditions(conditionOptions, namedConditions(conditionOptions));
    if (!options.command.empty()) {
        if (const int err = commandError(options.command.front()))
            return cannotRun(options.command.front(), err);
    }
    // A reader that went away fails our writes instead of ending us (and
    // leaving a held job stopped and orphaned); the command gets SIGPIPE back.
    ignorePipeSignal();
    JxMonitor monitor;
    SignalCatcher signals(monitor, options.hold);
    ServiceStatus service;
    if (!signals.problem().empty())
        fprintf(stderr, "oscprobe %s: can't start the signal thread (%s); SIGINT and SIGTERM end "
                        "it at once\n", verb, signals.problem().c_str());
    StatusLine status(!options.json && !options.quiet && isatty(STDERR_FILENO));
    // Output that did not reach its file ends the wait; `run` then runs nothing.
    auto outputFailed = [&](int err) {
        fprintf(stderr, "oscprobe %s: can't write standard output: %s%s\n", verb, strerror(err),
                options.command.empty() ? "" : "; not running the command");
        return static_cast<int>(EXIT_PROBE_FAILED);
    };

    const Clock::time_point begin = Clock::now();
    HostLoop loop(conditions, monitor, status, verb, options.interval);
    Waiter waiter(options, signals, status, service, begin);
    // The first evaluation may take a while (the CPU probe samples for two
    // seconds); say so rather than show nothing.
    status.show("waiting 0:00  checking the conditions");
    loop.run(waiter);

    if (waiter.outcome() == Outcome::GO && options.hold) {
        JobHolder holder(options, signals, status, service, begin);
        loop.run(holder, false);
        // Not with the monitor entered: stop() takes the probes' registries,
        // which their wake sources hold while they enter the monitor.
        conditions.stop();
        return holder.exitStatus();
    }
    conditions.stop();
    status.clear();
    const std::vector<Answer>& answers = loop.answers();
    const double elapsed = secondsSince(begin);

    switch (waiter.outcome()) {
    case Outcome::SIGNALLED:
        return EXIT_SIGNALLED + signals.caught();
    case Outcome::OUTPUT_FAILED:
        return outputFailed(waiter.writeError());
    case Outcome::GO:
        if (!options.command.empty()) {
            // What was written must be out before the command takes over.
            if (!flushed(stdout))
                return outputFailed(errno);
            fflush(stderr);
            service.say("all conditions go; running " + options.command.front());
            signals.release();
            execCommand(options.command);
        }
        if (!options.json) {
            printAnswers(stdout, answers);
            printf("all conditions go after %.1f s\n", elapsed);
        }
        return EXIT_ALL_GO;
    case Outcome::FAILED:
        if (!options.json)
            printAnswers(stderr, answers);
        fprintf(stderr, "oscprobe %s: a probe failed; %s\n", verb,
                options.command.empty() ? "giving up" : "not running the command");
        return EXIT_PROBE_FAILED;
    case Outcome::TIMED_OUT:
    default: {
        // With --json standard output carries JSON lines only.
        FILE* out = options.command.empty() && !options.json ? stdout : stderr;
        if (!options.json)
            printAnswers(out, answers);
        fprintf(out, "timed out after %.1f s%s\n", elapsed,
                options.command.empty() ? "" : "; not running the command");
        return EXIT_NO_GO;
    }
    }
}

} // namespace oscprobe_cli
