#include "Job.h"

#include <errno.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>
#include <utility>

#include "Errors.h"
#include "Text.h"

namespace oscprobe_cli {

int commandError(const std::string& name)
{
    // PATH is searched as execvp searches it, so that a typo fails before
    // the wait, not after.
    auto runnable = [](const std::string& path) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            return errno == ENOTDIR ? ENOENT : errno;
        if (!S_ISREG(st.st_mode) || access(path.c_str(), X_OK) != 0)
            return EACCES;
        return 0;
    };
    if (name.empty())
        return ENOENT;
    if (name.find('/') != std::string::npos)
        return runnable(name);
    const char* path = getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/bin:/usr/bin";
    int error = ENOENT;
    for (size_t start = 0;;) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = dirs.substr(start, end - start);
        const int e = runnable((dir.empty() ? "." : dir) + "/" + name);
        if (e == 0)
            return 0;
        if (e == EACCES)
            error = EACCES; // found, but not runnable: unless a later one is
        if (end == dirs.size())
            return error;
        start = end + 1;
    }
}

int cannotRun(const std::string& name, int error)
{
    fprintf(stderr, "oscprobe run: can't run %s: %s\n", printable(name).c_str(), strerror(error));
    return error == ENOENT ? EXIT_NOT_FOUND : EXIT_CANNOT_RUN;
}

namespace {

// The command as exec wants it: pointers into `command`, then a null.
std::vector<char*> argvOf(const std::vector<std::string>& command)
{
    std::vector<char*> argv;
    for (const std::string& arg : command)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    return argv;
}

} // namespace

void execCommand(const std::vector<std::string>& command)
{
    if (pipeSignalWasDefault())
        signal(SIGPIPE, SIG_DFL);
    std::vector<char*> argv = argvOf(command);
    execvp(argv[0], argv.data());
    _exit(cannotRun(command.front(), errno));
}

namespace {

bool pipeWasDefault = true;

} // namespace

void ignorePipeSignal()
{
    struct sigaction old;
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    if (sigaction(SIGPIPE, &ignore, &old) == 0)
        pipeWasDefault = old.sa_handler != SIG_IGN;
}

bool pipeSignalWasDefault()
{
    return pipeWasDefault;
}

HeldJob::HeldJob(const std::vector<std::string>& command, const sigset_t& mask, int terminal)
{
    std::vector<char*> argv = argvOf(command);
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (strncmp(*e, "NOTIFY_SOCKET=", 14) != 0)
            env.push_back(*e);
    env.push_back(nullptr);
    // What the job leaves when its leader exits comes to us, not to init.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    // The group is set in the child before the exec, and posix_spawnp
    // returns only after the exec: a stop sent at once reaches the job. So
    // is the terminal's foreground, else a job that reads at once would be
    // stopped by the terminal before we gave it. The signals the tool takes
    // have no handler of ours, so their actions need no reset; one ignored
    // when the tool began stays ignored, as a shell leaves it.
    sigset_t defaults;
    sigemptyset(&defaults);
    if (pipeWasDefault)
        sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    int err = posix_spawnattr_init(&attr);
    if (err == 0) {
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                            POSIX_SPAWN_SETSIGDEF);
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setsigmask(&attr, &mask);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        err = posix_spawn_file_actions_init(&actions);
        if (err == 0) {
            if (terminal >= 0)
                err = posix_spawn_file_actions_addtcsetpgrp_np(&actions, terminal);
            if (err == 0)
                err = posix_spawnp(&group_, argv[0], &actions, &attr, argv.data(), env.data());
            posix_spawn_file_actions_destroy(&actions);
        }
        posix_spawnattr_destroy(&attr);
    }
    if (err != 0)
        throw std::system_error(err, std::generic_category(), command.front());
}

bool HeldJob::held()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
}

void HeldJob::hold()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (ending_ || held_)
        return;
    kill(-group_, SIGSTOP);
    held_ = true;
}

void HeldJob::resume()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (ending_ || !held_)
        return;
    kill(-group_, SIGCONT);
    held_ = false;
}

void HeldJob::pass(int sig)
{
    std::lock_guard<std::mutex> lock(mutex_);
    kill(-group_, sig);
    // A stopped process acts on no signal but SIGKILL until continued.
    if (held_) {
        kill(-group_, SIGCONT);
        held_ = false;
        if (sig == SIGINT || sig == SIGTERM || sig == SIGQUIT)
            continuedFor_ = sig;
    }
}

int HeldJob::takeStoppedBy()
{
    return std::exchange(stoppedBy_, 0);
}

void HeldJob::carryOn()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!held_)
        kill(-group_, SIGCONT);
}

int HeldJob::takeContinuedFor()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(continuedFor_, 0);
}

void HeldJob::end(int sig)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
    held_ = false;
    kill(-group_, sig);
    kill(-group_, SIGCONT);
}

bool HeldJob::ending()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return ending_;
}

HeldJob::Progress HeldJob::reap()
{
    for (;;) {
        int raw = 0;
        const pid_t done = waitpid(-1, &raw, WNOHANG | WUNTRACED);
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0)
            return Progress::GONE; // no child left: nothing of the job runs
        if (done == 0)
            break;
        if (WIFSTOPPED(raw)) {
            // Our own holds stop with SIGSTOP; Ctrl-Z or the terminal
            // stop the group with these.
            const int sig = WSTOPSIG(raw);
            if ((sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU) && getpgid(done) == group_)
                stoppedBy_ = sig;
            continue;
        }
        if (done == group_) {
            leaderEnded_ = true;
            leaderSignalled_ = WIFSIGNALED(raw);
            leaderStatus_ =
                leaderSignalled_ ? EXIT_SIGNALLED + WTERMSIG(raw) : WEXITSTATUS(raw);
        }
    }
    if (!leaderEnded_)
        return Progress::RUNNING;
    // A process of the group that is not our child (its parent, of the
    // group too, runs) keeps the group alive; its parent's end comes to us.
    return kill(-group_, 0) == 0 || errno == EPERM ? Progress::LEADER_ENDED : Progress::GONE;
}

} // namespace oscprobe_cli
