#include "Hold.h"

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "Report.h"
#include "Text.h"

namespace oscprobe_cli {

namespace {

// A job held past --hold-limit is asked to end with SIGTERM, and killed if
// it has not ended this much later.
constexpr std::chrono::seconds kKillGrace{10};

} // namespace

JobHolder::JobHolder(const WaitOptions& options, SignalCatcher& signals, StatusLine& status,
                     ServiceStatus& service, Clock::time_point begin)
    : options_(options), signals_(signals), status_(status), service_(service), begin_(begin),
      lines_(!options.json && !options.quiet && !isatty(STDERR_FILENO))
{
}

bool JobHolder::evaluated(const std::vector<Answer>& answers)
{
    if (!job_) {
        try {
            job_ = std::make_unique<HeldJob>(options_.command, signals_.savedMask());
        } catch (const std::system_error& e) {
            status_.clear();
            exitStatus_ = cannotRun(options_.command.front(), e.code().value());
            return false;
        }
        signals_.passTo(job_.get());
    } else if (!signals_.caught() && !ending_) {
        const bool noGo = std::any_of(answers.begin(), answers.end(),
                                      [](const Answer& a) { return a.state == Answer::NO_GO; });
        if (noGo) {
            if (!job_->held()) {
                job_->hold();
                heldSince_ = Clock::now();
            }
            state_ = "held: " + heldBackBy(answers);
        } else if (job_->held() && allGo(answers)) {
            job_->resume();
            state_ = "resumed";
        }
    }
    if (state_ != told_) {
        told_ = state_;
        service_.say(state_);
        if (lines_)
            fprintf(stderr, "oscprobe run: %s\n", printable(state_).c_str());
    }
    if (options_.json) {
        // A write that fails cannot stop the job: it only goes unseen.
        printf("%s\n", answersJson(answers, secondsSince(begin_), state_).c_str());
        fflush(stdout);
    }

    const Clock::time_point now = Clock::now();
    due_ = std::min(now + seconds(options_.interval), killAt_);
    if (job_->held() && options_.holdLimit >= 0 && !ending_) {
        if (now - heldSince_ >= seconds(options_.holdLimit)) {
            status_.clear();
            fprintf(stderr, "oscprobe run: held for longer than %g s; ending the job with "
                            "SIGTERM\n", options_.holdLimit);
            job_->signal(SIGTERM);
            ending_ = true;
            killAt_ = now + kKillGrace;
            due_ = killAt_;
        } else {
            due_ = std::min(due_, heldSince_ + seconds(options_.holdLimit));
        }
    } else if (ending_ && now >= killAt_) {
        status_.clear();
        fprintf(stderr, "oscprobe run: the job did not end %lld s after SIGTERM; killing it\n",
                static_cast<long long>(kKillGrace.count()));
        job_->signal(SIGKILL);
        killAt_ = Clock::time_point::max();
    }
    return true;
}

bool JobHolder::pending()
{
    // Looked for with the monitor entered: the SIGCHLD that says the job
    // ended then wakes the wait that follows at the latest.
    if (!ended_)
        ended_ = job_->ended(&exitStatus_);
    return ended_;
}

void JobHolder::showWaiting()
{
    status_.show(state_ + "  " + clockText(secondsSince(begin_)));
}

bool JobHolder::waited(bool woken)
{
    // The wake-up may be the SIGCHLD of the job's end: reaped now, no
    // evaluation follows it.
    if (woken)
        pending();
    if (ended_)
        status_.clear();
    return !ended_;
}

} // namespace oscprobe_cli
