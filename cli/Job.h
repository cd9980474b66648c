// The command of `run`: checked before the wait, then either become (the
// tool execs it) or, with --hold, run as a job the tool keeps an eye on.
//
// HeldJob runs the command as a child in a process group of its own, so
// that the whole job, whatever it starts, is stopped, continued and
// signalled as one. The child is made with posix_spawnp: the tool has
// threads by then, and nothing but the exec may run in the child of a
// threaded process (no allocation, no stdio, no environment edit).
//
// Threading: a HeldJob is made and reaped on the main thread; signal() is
// also called from the signal thread. mutex_ orders hold(), resume() and
// signal(), so that a stop can never land after the signal that ends the
// job (which would leave it stopped with the signal pending).
#ifndef OSCPROBE_CLI_JOB_H
#define OSCPROBE_CLI_JOB_H

#include <signal.h>
#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

namespace oscprobe_cli {

// What execvp would say of `name` now: 0 when it would run it, else the
// errno of the failure (ENOENT: not found anywhere).
int commandError(const std::string& name);

// Says that `name` cannot be run and gives the shells' status for it: 127
// not found, 126 found but not runnable.
int cannotRun(const std::string& name, int error);

// Replaces the process with `command`; on failure says why and exits as
// cannotRun() does.
[[noreturn]] void execCommand(const std::vector<std::string>& command);

class HeldJob {
public:
    // Starts `command` with `mask` as its signal mask and without the
    // service manager's notification socket (the tool keeps speaking for the
    // unit). Throws std::system_error with the errno when it cannot be run
    // (ENOENT: not found) or no process can be made; nothing runs then.
    HeldJob(const std::vector<std::string>& command, const sigset_t& mask);

    pid_t pid() const { return pid_; }
    bool held();

    // Stops the whole group (SIGSTOP cannot be caught), or continues it.
    // Once a signal was passed on, the job is never stopped again.
    void hold();
    void resume();

    // Passes `sig` to the group, continuing it first so that a stopped job
    // can act on it.
    void signal(int sig);

    // True once the command has ended, reaping it; *status is then its exit
    // status, or 128 + the signal that ended it. Never blocks.
    bool ended(int* status);

private:
    pid_t pid_;
    std::mutex mutex_;
    bool held_ = false;   // guarded by mutex_
    bool ending_ = false; // guarded by mutex_
};

} // namespace oscprobe_cli

#endif
