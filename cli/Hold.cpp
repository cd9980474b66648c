#include "Hold.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "Errors.h"
#include "Report.h"
#include "Text.h"

namespace oscprobe_cli {

namespace {

// A job held past --hold-limit is asked to end with SIGTERM, and killed if
// it has not ended this much later. A held job continued so that it can act
// on a signal that asks it to end is left running this long, too.
constexpr std::chrono::seconds kKillGrace{10};

std::string signalName(int sig)
{
    const char* abbrev = sigabbrev_np(sig);
    return abbrev != nullptr ? std::string("SIG") + abbrev : "signal " + std::to_string(sig);
}

} // namespace

JobHolder::JobHolder(const WaitOptions& options, SignalCatcher& signals, StatusLine& status,
                     ServiceStatus& service, Clock::time_point begin)
    : options_(options), signals_(signals), status_(status), service_(service), begin_(begin),
      lines_(!options.json && !options.quiet && !isatty(STDERR_FILENO))
{
}

bool JobHolder::start()
{
    bool started = false;
    try {
        started = signals_.startJob([this] {
            job_ = std::make_unique<HeldJob>(options_.command, signals_.savedMask(),
                                             terminal_.ours() ? terminal_.fd() : -1);
            return job_.get();
        });
    } catch (const std::system_error& e) {
        status_.clear();
        exitStatus_ = cannotRun(options_.command.front(), e.code().value());
        return false;
    }
    if (!started) {
        // The caller wants us gone: the job never starts.
        status_.clear();
        exitStatus_ = EXIT_SIGNALLED + signals_.caught();
        return false;
    }
    status_.clear();
    terminal_.give(job_->group()); // given in the child already; noted here
    return true;
}

void JobHolder::follow(const std::vector<Answer>& answers, Clock::time_point now)
{
    if (job_->ending())
        return;
    if (const int sig = job_->takeContinuedFor()) {
        endAskedAt_ = now;
        state_ = "running: continued for " + signalName(sig);
    }
    const bool noGo = std::any_of(answers.begin(), answers.end(),
                                  [](const Answer& a) { return a.state == Answer::NO_GO; });
    if (noGo) {
        if (!holding_) {
            holding_ = true;
            heldSince_ = now;
        }
        if (now < endAskedAt_ + kKillGrace) {
            due_ = std::min(due_, endAskedAt_ + kKillGrace);
            return; // let it end; held again should it survive
        }
        if (!job_->held()) {
            job_->hold();
            terminal_.takeBack();
        }
        state_ = "held: " + heldBackBy(answers);
        if (options_.holdLimit < 0)
            return;
        if (now - heldSince_ >= seconds(options_.holdLimit)) {
            status_.clear();
            fprintf(stderr, "oscprobe run: held for longer than %g s; ", options_.holdLimit);
            endJob("ending the job", now);
        } else {
            due_ = std::min(due_, heldSince_ + seconds(options_.holdLimit));
        }
    } else if (holding_ && allGo(answers)) {
        holding_ = false;
        status_.clear();
        terminal_.give(job_->group());
        job_->resume();
        state_ = "resumed";
    }
}

void JobHolder::stopped(int sig)
{
    if (terminal_.fd() < 0) {
        // In the background the job would stop again at once: left to the
        // one who controls the terminal, and said.
        state_ = "stopped by " + signalName(sig);
        return;
    }
    // Ctrl-Z, or a read in the background: the tool stops with its job, as
    // the shell expects of its own job, and both carry on when the shell
    // continues the tool (fg, or bg, when a read stops the job again).
    status_.clear();
    terminal_.takeBack();
    raise(SIGTSTP);
    if (!job_->held())
        terminal_.give(job_->group());
    job_->carryOn();
}

void JobHolder::endJob(const char* what, Clock::time_point now)
{
    fprintf(stderr, "%s with SIGTERM\n", what);
    job_->end(SIGTERM);
    terminal_.give(job_->group());
    state_ = told_ = "ending: SIGTERM"; // as the line just said
    killAt_ = now + kKillGrace;
}

void JobHolder::tell(const std::vector<Answer>& answers)
{
    if (state_ != told_) {
        told_ = state_;
        if (lines_)
            fprintf(stderr, "oscprobe run: %s\n", printable(state_).c_str());
    }
    service_.say(state_);
    if (options_.json && !outputFailed_) {
        printf("%s\n", answersJson(answers, secondsSince(begin_), state_).c_str());
        if (!flushed(stdout)) {
            // The reader went away: said once, and nothing of it touches
            // the job, which goes on with its own output.
            outputFailed_ = true;
            fprintf(stderr, "oscprobe run: can't write standard output: %s; the job goes on\n",
                    strerror(errno));
            if (freopen("/dev/null", "w", stdout) == nullptr)
                clearerr(stdout);
        }
    }
}

bool JobHolder::evaluated(const std::vector<Answer>& answers)
{
    if (!job_ && !start())
        return false;
    const Clock::time_point now = Clock::now();
    due_ = now + seconds(options_.interval);
    if (job_->leaderSignalled() && !job_->ending() && !ended_) {
        // Nothing of a job whose leader was killed may run on unmanaged.
        status_.clear();
        fprintf(stderr, "oscprobe run: the job's leader was ended by %s; ",
                signalName(job_->leaderStatus() - EXIT_SIGNALLED).c_str());
        endJob("ending what is left of the job", now);
    }
    if (const int sig = job_->takeStoppedBy())
        stopped(sig);
    follow(answers, now);
    if (job_->ending() && now >= killAt_) {
        status_.clear();
        fprintf(stderr, "oscprobe run: the job did not end %lld s after SIGTERM; killing it\n",
                static_cast<long long>(kKillGrace.count()));
        job_->end(SIGKILL);
        state_ = told_ = "ending: SIGKILL";
        killAt_ = Clock::time_point::max();
    }
    due_ = std::min(due_, killAt_);
    tell(answers);
    return true;
}

bool JobHolder::pending()
{
    // Looked for with the monitor entered: the SIGCHLD of an end then wakes
    // the wait that follows at the latest.
    if (ended_)
        return true;
    switch (job_->reap()) {
    case HeldJob::Progress::GONE:
        ended_ = true;
        exitStatus_ = job_->leaderStatus();
        return true;
    case HeldJob::Progress::LEADER_ENDED:
        if (leaderSeen_)
            return false;
        leaderSeen_ = true;
        return job_->leaderSignalled(); // what is left is ended at once
    case HeldJob::Progress::RUNNING:
        break;
    }
    return job_->stoppedBy() != 0;
}

void JobHolder::showWaiting()
{
    service_.say(state_);
    // Never over the job's own output: only while it is stopped.
    if (job_->held())
        status_.show(state_ + "  " + clockText(secondsSince(begin_)));
}

bool JobHolder::waited(bool woken)
{
    // The wake-up may be the SIGCHLD of the job's end: reaped now, no
    // evaluation follows it.
    if (woken)
        pending();
    if (ended_) {
        status_.clear();
        terminal_.takeBack();
    }
    return !ended_;
}

} // namespace oscprobe_cli
