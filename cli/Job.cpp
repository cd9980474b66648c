#include "Job.h"

#include <errno.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

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
    std::vector<char*> argv = argvOf(command);
    execvp(argv[0], argv.data());
    _exit(cannotRun(command.front(), errno));
}

HeldJob::HeldJob(const std::vector<std::string>& command, const sigset_t& mask)
{
    std::vector<char*> argv = argvOf(command);
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (strncmp(*e, "NOTIFY_SOCKET=", 14) != 0)
            env.push_back(*e);
    env.push_back(nullptr);
    // The group is set in the child before the exec, and posix_spawnp
    // returns only after the exec: a stop sent at once reaches the job. The
    // signals the tool takes have no handler of ours, so their actions need
    // no reset; one ignored when the tool began stays ignored, as a shell
    // leaves it.
    posix_spawnattr_t attr;
    int err = posix_spawnattr_init(&attr);
    if (err == 0) {
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setsigmask(&attr, &mask);
        err = posix_spawnp(&pid_, argv[0], nullptr, &attr, argv.data(), env.data());
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
    kill(-pid_, SIGSTOP);
    held_ = true;
}

void HeldJob::resume()
{
    std::lock_guard<std::mutex> lock(mutex_);
    kill(-pid_, SIGCONT);
    held_ = false;
}

void HeldJob::signal(int sig)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
    held_ = false;
    kill(-pid_, SIGCONT);
    kill(-pid_, sig);
}

bool HeldJob::ended(int* status)
{
    int raw = 0;
    pid_t done;
    while ((done = waitpid(pid_, &raw, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (done != pid_)
        return false;
    *status = WIFSIGNALED(raw) ? EXIT_SIGNALLED + WTERMSIG(raw) : WEXITSTATUS(raw);
    return true;
}

} // namespace oscprobe_cli
