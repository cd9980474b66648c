// Test helpers: private namespaces, child processes, log capture and
// scratch directories. Everything cleans up in its destructor, so a
// failing assertion never leaves a mount or a file behind.
#ifndef OSCPROBE_TESTS_TESTSUPPORT_H
#define OSCPROBE_TESTS_TESTSUPPORT_H

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "EvDebug.h"

namespace oscprobe_test {

// Moves the calling (still single-threaded) process into new network and
// mount namespaces, makes every mount private and brings lo up. On failure
// returns false and says why.
bool enterPrivateNamespaces(std::string* why);

// Moves the calling process into a new mount namespace with every mount
// private, so that mounts made there never reach the parent. Returns an
// empty string, or why it failed.
std::string enterPrivateMountNamespace();

// Set by the namespace-aware main; empty when the namespaces are in place.
const std::string& namespaceSkipReason();
void setNamespaceSkipReason(const std::string& why);

#define OSCPROBE_REQUIRE_NAMESPACES()                                                      \
    do {                                                                                   \
        if (!::oscprobe_test::namespaceSkipReason().empty())                               \
            GTEST_SKIP() << "private namespaces unavailable: "                             \
                         << ::oscprobe_test::namespaceSkipReason();                        \
    } while (0)

// Runs `body` in a forked child in which gtest assertions work as usual:
// the child's failures are printed as they happen and fail the calling
// test, and so do a throw, a crash, or running past `timeoutSeconds` (the
// child is then killed). The child ends with _exit and runs no teardown, so
// process-wide library state (the watcher, the CPU history) starts afresh in
// every child. Call it while the test process has a single thread.
void inChild(const std::function<void()>& body, int timeoutSeconds = 30);

// Runs a shell command quietly; returns its exit status (-1 if it did not exit).
int sh(const std::string& command);

// Collects every log line while alive and restores the default log (and
// level) afterwards.
class LogCapture {
public:
    struct Line {
        int severity;
        std::string tag;
        std::string text;
    };

    explicit LogCapture(int level = 2);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Line> lines() const;
    void clear();

private:
    // Shared with the installed handler: a thread that picked the handler up
    // just before the capture ended may still call it afterwards.
    struct State {
        std::mutex mutex;
        std::vector<Line> lines;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A fresh directory under /tmp, removed with its contents afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // Writes `content` to path()/relative (directories made as needed) and
    // returns the full path.
    std::string write(const std::string& relative, const std::string& content) const;

private:
    std::string path_;
};

} // namespace oscprobe_test

#endif
