#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
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

std::string runInChild(const std::function<std::string()>& body, int timeoutSeconds)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return std::string("pipe: ") + strerror(errno);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return std::string("fork: ") + strerror(errno);
    }
    if (pid == 0) {
        close(fds[0]);
        std::string report;
        try {
            report = body();
        } catch (const std::exception& e) {
            report = std::string("child threw: ") + e.what();
        } catch (...) {
            report = "child threw a non-standard exception";
        }
        if (report.empty())
            report = "\x01"; // success marker: distinguishes "ok" from "died silently"
        size_t off = 0;
        while (off < report.size()) {
            ssize_t n = write(fds[1], report.data() + off, report.size() - off);
            if (n <= 0)
                break;
            off += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string report;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool timedOut = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        struct pollfd p = {fds[0], POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            timedOut = r == 0;
            break;
        }
        char buf[4096];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        report.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut)
        return "child timed out after " + std::to_string(timeoutSeconds) + " s" +
               (report.empty() ? std::string() : ": " + report);
    if (WIFSIGNALED(status))
        return "child killed by signal " + std::to_string(WTERMSIG(status)) + ": " + report;
    if (report.empty())
        return "child reported nothing";
    if (report == "\x01")
        return std::string();
    return report;
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

std::string shOutput(const std::string& command, int* status)
{
    std::string out;
    FILE* f = popen(command.c_str(), "r");
    if (f == nullptr) {
        if (status)
            *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    int st = pclose(f);
    if (status)
        *status = (st != -1 && WIFEXITED(st)) ? WEXITSTATUS(st) : -1;
    return out;
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

std::vector<std::string> LogCapture::texts(const std::string& tag) const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<std::string> out;
    for (const Line& l : state_->lines)
        if (tag.empty() || l.tag == tag)
            out.push_back(l.text);
    return out;
}

bool LogCapture::contains(const std::string& text) const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (const Line& l : state_->lines)
        if (l.text == text)
            return true;
    return false;
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

std::string TempDir::mkdir(const std::string& relative) const
{
    std::string full = path_ + "/" + relative;
    sh("mkdir -p '" + full + "'");
    return full;
}

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

ScopedMount::ScopedMount(const std::string& source, const std::string& target,
                         const std::string& fstype, unsigned long flags, const std::string& options)
    : target_(target)
{
    if (mount(source.c_str(), target.c_str(), fstype.empty() ? nullptr : fstype.c_str(), flags,
              options.empty() ? nullptr : options.c_str()) == 0)
        ok_ = true;
    else
        error_ = "mount " + source + " on " + target + ": " + strerror(errno);
}

ScopedMount::~ScopedMount()
{
    if (ok_)
        umount2(target_.c_str(), MNT_DETACH);
}

} // namespace oscprobe_test
