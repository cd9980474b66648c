#include "TestSupport.h"

#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <utility>

#include "JxMonitorLock.h"

namespace oscprobe_test {

namespace {
std::string skipReason = "namespaces were not set up (test not linked with the namespace main)";
// Written by whichever thread logs (the watcher's too), taken by the test.
std::mutex logMutex;
std::vector<std::string> logLines;
} // namespace

const std::string& namespaceSkipReason() { return skipReason; }

void isolate(std::initializer_list<const char*> hidden)
{
    ASSERT_EQ(unshare(CLONE_NEWNS | CLONE_NEWNET), 0) << strerror(errno);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << strerror(errno);
    for (const char* dir : hidden)
        ASSERT_EQ(mount("tmpfs", dir, "tmpfs", 0, nullptr), 0) << dir << ": " << strerror(errno);
}

void put(const std::string& path, const std::string& text)
{
    std::filesystem::create_directories(path.substr(0, path.rfind('/')));
    std::ofstream(path) << text;
}

void enterPrivateNamespaces()
{
    // Mounts made by the tests must not leak back into the machine's namespace.
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        skipReason = std::string("unshare or a private mount namespace: ") + strerror(errno);
    else if (sh("ip link set lo up") != 0)
        skipReason = "ip link set lo up failed (is iproute2 installed?)";
    else
        skipReason.clear();
}

void inChild(const std::function<void()>& body, int timeoutSeconds)
{
    // Only the child's own failures count: the test may have failed before.
    const testing::TestResult& result =
        *testing::UnitTest::GetInstance()->current_test_info()->result();
    const int before = result.total_part_count();
    fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0) << "fork: " << strerror(errno);
    if (pid == 0) {
        try { body(); } catch (const std::exception& e) { ADD_FAILURE() << "child threw: " << e.what(); }
        catch (...) { ADD_FAILURE() << "child threw a non-standard exception"; }
        fflush(nullptr);
        bool failed = false;
        for (int i = before; i < result.total_part_count(); ++i)
            failed = failed || result.GetTestPartResult(i).failed();
        _exit(failed ? 1 : 0);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    pid_t done;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        usleep(5000);
    if (done == 0 && kill(pid, SIGKILL) == 0 && waitpid(pid, &status, 0) == pid)
        ADD_FAILURE() << "child ran longer than " << timeoutSeconds << " s and was killed";
    else if (WIFSIGNALED(status))
        ADD_FAILURE() << "child died of signal " << WTERMSIG(status);
    else if (WEXITSTATUS(status) != 0)
        ADD_FAILURE() << "child failed (its failures are printed above)";
}

int sh(const std::string& command)
{
    // In a subshell, so that a redirection inside `command` keeps its target.
    const int status = system(("(" + command + ") >/dev/null 2>&1").c_str());
    return status == -1 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
}

bool woken(JxMonitor& m, const std::function<void()>& change, int ms)
{
    JxMonitorLock lock(&m);
    change();
    return m.wait(ms);
}

bool woken(JxMonitor& m, const std::string& command, int ms)
{
    return woken(m, [&] { EXPECT_EQ(sh(command), 0) << command; }, ms);
}

long threadCount() { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); }

void captureLog(int level)
{
    EvDebug::setDebugLevel(level);
    EvDebug::setLogHandler([](int severity, const char* tag, const char* text) {
        std::lock_guard<std::mutex> lock(logMutex);
        logLines.push_back(std::string("EIV").substr(severity, 1) + " " + tag + ": " + text);
    });
}

std::vector<std::string> takeLog()
{
    std::lock_guard<std::mutex> lock(logMutex);
    return std::move(logLines);
}

} // namespace oscprobe_test
