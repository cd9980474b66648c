// The command of `run`: checked before the wait, then either become (the
// tool execs it) or, with --hold, run as a job the tool keeps an eye on.
//
// HeldJob runs the command as a child in a process group of its own, so
// that the whole job, whatever it starts, is stopped, continued and
// signalled as one. The child is made with posix_spawnp: the tool has
// threads by then, and nothing but the exec may run in the child of a
// threaded process (no allocation, no stdio, no environment edit).
//
// The tool is the subreaper of its processes: what the job leaves behind
// when its leader exits is reparented to the tool, not to init, so the
// tool keeps holding and resuming the group until none of it is left, and
// reaps whatever of the job ends.
//
// Threading: a HeldJob is made and reaped on the main thread; pass() is
// called from the signal thread. mutex_ orders hold(), resume(), pass() and
// end(), so that a stop can never land after the continue that lets the
// job end.
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
    // What reap() found.
    enum class Progress {
        RUNNING,       // the leader runs
        LEADER_ENDED,  // the leader ended; processes of its group remain
        GONE,          // the leader ended and no process of the group is left
    };

    // Starts `command` with `mask` as its signal mask, SIGPIPE as the tool
    // found it (pipeSignal()), and without the service manager's
    // notification socket (the tool keeps speaking for the unit). With
    // `terminal` a descriptor of the terminal whose foreground the tool
    // has, the job gets the foreground before it runs. Throws
    // std::system_error with the errno when it cannot be run (ENOENT: not
    // found) or no process can be made; nothing runs then.
    HeldJob(const std::vector<std::string>& command, const sigset_t& mask, int terminal);

    // The job's process group (the leader's pid).
    pid_t group() const { return group_; }
    bool held();

    // Stops the whole group (SIGSTOP cannot be caught), or continues it.
    // Neither once the tool is ending the job.
    void hold();
    void resume();

    // Passes a signal the tool took on to the group, once. A held job is
    // continued after it, as shells and service managers do (a stopped
    // process acts on no signal but SIGKILL), and is no longer held():
    // the host holds it again should it survive.
    void pass(int sig);

    // The signal that asks the job to end (SIGINT, SIGTERM, SIGQUIT) for
    // which pass() last continued a held job, once; else 0.
    int takeContinuedFor();

    // The tool ends the job: `sig` to the group, continued so that it can
    // act; never held again.
    void end(int sig);
    bool ending();

    // Reaps every process of ours that ended (the leader, and each process
    // of the job left to the tool as their subreaper), and notes a stop of
    // the group that was not ours. Never blocks.
    Progress reap();

    // The signal that last stopped the group for the terminal (SIGTSTP:
    // Ctrl-Z; SIGTTIN, SIGTTOU: the job in the background touched the
    // terminal), once; else 0.
    int takeStoppedBy();
    int stoppedBy() const { return stoppedBy_; }

    // Continues a group that such a stop left stopped, unless it is held.
    void carryOn();

    // Once the leader ended: its exit status, or 128 + the signal that
    // ended it; whether a signal ended it.
    bool leaderEnded() const { return leaderEnded_; }
    int leaderStatus() const { return leaderStatus_; }
    bool leaderSignalled() const { return leaderSignalled_; }

private:
    pid_t group_;
    bool leaderEnded_ = false;
    int leaderStatus_ = 0;
    bool leaderSignalled_ = false;
    int stoppedBy_ = 0;
    std::mutex mutex_;
    bool held_ = false;     // guarded by mutex_
    int continuedFor_ = 0;  // guarded by mutex_
    bool ending_ = false;   // guarded by mutex_
};

// Whether SIGPIPE had its default action when the tool began. The tool
// ignores it from the start (a reader that went away must not end it, nor
// leave its job orphaned and stopped); the command of `run` gets it back.
void ignorePipeSignal();
bool pipeSignalWasDefault();

} // namespace oscprobe_cli

#endif
