// SignalCatcher: how `wait` and `run` take SIGINT and SIGTERM (and, for
// `run --hold`, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2 and SIGCHLD) without a
// signal handler.
//
// The signals are blocked in every thread (the library's threads, created
// later, inherit the mask) and taken by one thread of ours with sigwait,
// which records the signal and wakes the host's monitor. A handler could
// not: waking a monitor is not async-signal-safe. Should the main thread not
// have ended the wait a second later (a probe in its first sleep, a file
// system that does not answer), the signal thread ends the process itself: a
// signal is never left waiting on a probe.
//
// A signal ignored when the tool began stays ignored (a shell ignores
// SIGINT for a background job, nohup SIGHUP), and the job inherits that, as
// from any shell. The job is started through startJob(), under the lock the
// signal thread records signals with: a signal taken before means it never
// starts; one taken after goes on to it (HeldJob::pass), once, and the tool
// waits for the job's end. SIGCHLD only wakes the monitor, so that the job
// is reaped at once. SIGTTOU is blocked too: the tool may take the
// terminal back from its job, or write to it, from the background.
//
// Threading: made, released and destroyed on the main thread, before any
// probe starts (so that the mask is inherited) and after every probe
// stopped. The signal thread only enters the monitor around a broadcast and
// takes mutex_ (never while in the monitor); mutex_ guards the job and the
// end of the thread. caught() may be read anywhere.
#ifndef OSCPROBE_CLI_SIGNALCATCHER_H
#define OSCPROBE_CLI_SIGNALCATCHER_H

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "Job.h"
#include "oscprobe.h"

namespace oscprobe_cli {

class SignalCatcher {
public:
    // Blocks the signals and starts the thread that takes them; `forJob`
    // adds those a job is passed and SIGCHLD. Never throws: without a
    // thread the signals keep their usual effect, and problem() says why.
    SignalCatcher(JxMonitor& monitor, bool forJob);
    ~SignalCatcher() { release(); }
    SignalCatcher(const SignalCatcher&) = delete;
    SignalCatcher& operator=(const SignalCatcher&) = delete;

    // Why there is no signal thread, or "".
    const std::string& problem() const { return problem_; }

    // The mask the process had before: the command's own.
    const sigset_t& savedMask() const { return saved_; }

    // Unless a signal was taken already, calls `start` (which may throw)
    // and passes every signal taken from then on to the job it returns,
    // until release(). False, and nothing called, when a signal came first.
    bool startJob(const std::function<HeldJob*()>& start);

    // Signals no longer go to the job, which may be destroyed now.
    void dropJob();

    // Ends the signal thread (blocks until it has) and gives the process its
    // own mask back, as the command of `run` must find it. A signal that
    // arrives from here on has its usual effect.
    void release();

    // The last signal taken (SIGCHLD aside), or 0. Read with the monitor
    // entered, so that a signal recorded after the read still wakes the
    // following wait.
    int caught() const { return caught_.load(); }

private:
    void run();

    JxMonitor& monitor_;
    sigset_t set_;
    int wakeSignal_ = 0; // one of set_, to end sigwait with
    sigset_t saved_;
    std::atomic<int> caught_{0};
    std::mutex mutex_;
    std::condition_variable done_;
    bool quitting_ = false;     // guarded by mutex_
    HeldJob* job_ = nullptr;    // guarded by mutex_
    std::string problem_;
    std::thread thread_;
};

} // namespace oscprobe_cli

#endif
