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
#include <fstream>

namespace oscprobe_test {

namespace {
std::string g_skipReason = "namespaces were not set up (test not linked with the namespace main)";
}

const std::string& namespaceSkipReason() { return g_skipReason; }
void setNamespaceSkipReason(const std::string& why) { g_skipReason = why; }

std::string enterPrivateMountNamespace()
{
    if (unshare(CLONE_NEWNS) != 0)
        return std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
    // Mounts made by the tests must not leak back into the parent namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("making / private: ") + strerror(errno);
    return std::string();
}

bool enterPrivateNamespaces(std::string* why)
{
    if (unshare(CLONE_NEWNET) != 0) {
        *why = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
        return false;
    }
    *why = enterPrivateMountNamespace();
    if (!why->empty())
        return false;
    if (sh("ip link set lo up") != 0) {
        *why = "ip link set lo up failed (is iproute2 installed?)";
        return false;
    }
    return true;
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
        try {
            body();
        } catch (const std::exception& e) {
            ADD_FAILURE() << "child threw: " << e.what();
        } catch (...) {
            ADD_FAILURE() << "child threw a non-standard exception";
        }
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
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "child ran longer than " << timeoutSeconds << " s and was killed";
    } else if (WIFSIGNALED(status)) {
        ADD_FAILURE() << "child died of signal " << WTERMSIG(status);
    } else if (WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "child failed (its failures are printed above)";
    }
}

int sh(const std::string& command)
{
    // In a subshell, so that a redirection inside `command` keeps its target.
    int status = system(("(" + command + ") >/dev/null 2>&1").c_str());
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

LogCapture::LogCapture(int level)
{
    EvDebug::setDebugLevel(level);
    std::shared_ptr<State> state = state_;
    EvDebug::setLogHandler([state](int severity, const char* tag, const char* text) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->lines.push_back(Line{severity, tag, text});
    });
}

LogCapture::~LogCapture()
{
    EvDebug::setLogHandler(EvDebug::Handler());
    EvDebug::setDebugLevel(1);
}

std::vector<LogCapture::Line> LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->lines;
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->lines.clear();
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/oscprobe-test-XXXXXX";
    char* p = mkdtemp(tmpl);
    if (p == nullptr)
        throw std::runtime_error(std::string("mkdtemp: ") + strerror(errno));
    path_ = p;
}

TempDir::~TempDir() { sh("rm -rf '" + path_ + "'"); }

std::string TempDir::write(const std::string& relative, const std::string& content) const
{
    std::string full = path_ + "/" + relative;
    std::string::size_type slash = full.rfind('/');
    sh("mkdir -p '" + full.substr(0, slash) + "'");
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + full);
    return full;
}

} // namespace oscprobe_test
