// Test helpers: private namespaces, child processes, file layout and log
// capture. Everything cleans up in its destructor, so a
// failing assertion never leaves a mount or a file behind.
#ifndef OSCPROBE_TESTS_TESTSUPPORT_H
#define OSCPROBE_TESTS_TESTSUPPORT_H

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "EvDebug.h"
#include "JxMonitor.h"

namespace oscprobe_test {

// Moves the calling (still single-threaded) process into new network and
// mount namespaces, makes every mount private and brings lo up; on failure
// every OSCPROBE_REQUIRE_NAMESPACES() after skips, saying why.
void enterPrivateNamespaces();
const std::string& namespaceSkipReason();

// In a child: fresh mount and network namespaces (lo down, no address),
// every mount private, and each of `hidden` behind an empty tmpfs.
void isolate(std::initializer_list<const char*> hidden);

// Writes `text` to `path`, making its directories.
void put(const std::string& path, const std::string& text);

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

// Whether a host that holds `m` while `change` runs, then waits on it (`ms`
// at most), is woken. `change` must not start or stop a probe: the wake
// sources take their registry before any monitor. With a command, the
// change is that command run by sh(), which must succeed.
bool woken(JxMonitor& m, const std::function<void()>& change, int ms = 5000);
bool woken(JxMonitor& m, const std::string& command, int ms = 5000);

// The threads of this process now.
long threadCount();

// From here on every log line at `level` is kept, as "<E|I|V> tag: text"
// by severity. The handler stays installed, which only a child can afford.
void captureLog(int level);
// The lines kept since the last call, oldest first.
std::vector<std::string> takeLog();

} // namespace oscprobe_test

#endif
