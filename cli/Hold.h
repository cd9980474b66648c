// JobHolder: the HostRole of `run --hold` once every condition said go. The
// job runs while every condition says go and is stopped while one says
// no-go; a condition whose probe fails changes nothing, as it tells neither
// way. A job held past --hold-limit is asked to end with SIGTERM, and killed
// if it has not ended kKillGrace later; so is what is left of a job whose
// leader a signal ended. The loop ends once no process of the job is left,
// with the leader's status.
//
// Signals the tool takes go on to the job (SignalCatcher, HeldJob::pass),
// which is continued for them if held. Should it survive, it is held again
// at once, or kKillGrace later when the signal asked it to end (SIGINT,
// SIGTERM, SIGQUIT), so that it can end cleanly. On a terminal whose foreground the tool has,
// the running job has the foreground and the tool draws no status line
// over its output; the tool takes the foreground back while the job is
// held, and draws the line then.
//
// Threading: the main thread, inside HostLoop::run(); the signal thread
// passes signals to the job itself and wakes the loop on SIGCHLD, which
// pending() then reaps.
#ifndef OSCPROBE_CLI_HOLD_H
#define OSCPROBE_CLI_HOLD_H

#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "HostLoop.h"
#include "Job.h"
#include "Notify.h"
#include "SignalCatcher.h"
#include "StatusLine.h"
#include "Terminal.h"

namespace oscprobe_cli {

class JobHolder : public HostRole {
public:
    JobHolder(const WaitOptions& options, SignalCatcher& signals, StatusLine& status,
              ServiceStatus& service, Clock::time_point begin);
    ~JobHolder() override { signals_.dropJob(); }
    JobHolder(const JobHolder&) = delete;
    JobHolder& operator=(const JobHolder&) = delete;

    // The first call starts the job, unless a signal came first (said in
    // one line and the loop ends when it cannot be run).
    bool evaluated(const std::vector<Answer>& answers) override;
    Clock::time_point due() override { return due_; }
    bool pending() override;
    void showWaiting() override;
    bool waited(bool woken) override;

    // Once the loop ended: the leader's exit status (128 + the signal that
    // ended it), 126/127 when it could not be run, or 128 + the signal that
    // came before it started.
    int exitStatus() const { return exitStatus_; }

private:
    bool start();
    void follow(const std::vector<Answer>& answers, Clock::time_point now);
    void tell(const std::vector<Answer>& answers);
    void endJob(const char* why, Clock::time_point now);
    void stopped(int sig);

    const WaitOptions& options_;
    SignalCatcher& signals_;
    StatusLine& status_;
    ServiceStatus& service_;
    Terminal terminal_;
    const Clock::time_point begin_;
    const bool lines_; // state changes as lines on a standard error that is no terminal
    std::unique_ptr<HeldJob> job_;
    std::string state_ = "running", told_;
    bool holding_ = false; // a condition says no-go (since heldSince_)
    bool outputFailed_ = false;
    bool leaderSeen_ = false;
    Clock::time_point heldSince_, endAskedAt_ = Clock::time_point::min(),
        killAt_ = Clock::time_point::max(), due_;
    bool ended_ = false;
    int exitStatus_ = 0;
};

} // namespace oscprobe_cli

#endif
