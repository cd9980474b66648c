// JobHolder: the HostRole of `run --hold` once every condition said go. The
// job runs while every condition says go and is stopped while one says
// no-go; a condition whose probe fails changes nothing, as it tells neither
// way. A job held past --hold-limit is asked to end with SIGTERM, and killed
// if it has not ended kKillGrace later. The loop ends with the job.
//
// Threading: the main thread, inside HostLoop::run(); the signal thread
// passes signals to the job itself (SignalCatcher::passTo) and wakes the
// loop on SIGCHLD, which pending() then reaps.
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

namespace oscprobe_cli {

class JobHolder : public HostRole {
public:
    JobHolder(const WaitOptions& options, SignalCatcher& signals, StatusLine& status,
              ServiceStatus& service, Clock::time_point begin);

    // The first call starts the job (said in one line and ends the loop when
    // it cannot be run).
    bool evaluated(const std::vector<Answer>& answers) override;
    Clock::time_point due() override { return due_; }
    bool pending() override;
    void showWaiting() override;
    bool waited(bool woken) override;

    // Once the loop ended: the job's exit status (128 + the signal that ended
    // it), or 126/127 when it could not be run.
    int exitStatus() const { return exitStatus_; }

private:
    const WaitOptions& options_;
    SignalCatcher& signals_;
    StatusLine& status_;
    ServiceStatus& service_;
    const Clock::time_point begin_;
    const bool lines_; // state changes as lines on a standard error that is no terminal
    std::unique_ptr<HeldJob> job_;
    std::string state_ = "running", told_;
    Clock::time_point heldSince_, killAt_ = Clock::time_point::max(), due_;
    bool ending_ = false; // SIGTERM sent for the hold limit
    bool ended_ = false;
    int exitStatus_ = 0;
};

} // namespace oscprobe_cli

#endif
