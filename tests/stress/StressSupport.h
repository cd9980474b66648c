// Helpers for the stress and fault-injection tests: failure collection in
// forked children, descriptor and thread counts of the process, and the
// leak check a sanitizer build offers.
//
// Every test runs its body in a forked child of the (single-threaded) test
// process: the watcher and the CPU history are process-wide, so each child
// starts from fresh library state, and a child that hangs or crashes is
// reported instead of taking the suite with it.
#ifndef OSCPROBE_TESTS_STRESS_STRESSSUPPORT_H
#define OSCPROBE_TESTS_STRESS_STRESSSUPPORT_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

#include "JxException.h"

// Present in builds with LeakSanitizer (ASan) only.
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace oscprobe_test {

// Child bodies report failures as text (gtest assertions do not cross fork).
#define STRESS_CHECK(cond, what)                                                           \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::ostringstream out_;                                                       \
            out_ << __FILE__ << ":" << __LINE__ << ": " #cond " failed; " << what;         \
            return out_.str();                                                             \
        }                                                                                  \
    } while (0)

// Open descriptors of the process, counted with fcntl so that it works
// whatever is mounted over /proc and needs no descriptor of its own.
inline int openDescriptors()
{
    struct rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    const rlim_t top = lim.rlim_max == RLIM_INFINITY || lim.rlim_max > 65536 ? 65536 : lim.rlim_max;
    int n = 0;
    for (rlim_t fd = 0; fd < top; ++fd)
        n += fcntl(static_cast<int>(fd), F_GETFD) != -1;
    return n;
}

// The descriptor number the next open() returns.
inline int lowestFreeDescriptor()
{
    int fd = 0;
    while (fcntl(fd, F_GETFD) != -1)
        ++fd;
    return fd;
}

// The open-file limit under which exactly `spare` descriptors are free:
// the descriptor table may have gaps below the highest open one.
inline int limitLeaving(int spare)
{
    int fd = 0;
    for (;; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && spare-- == 0)
            return fd;
}

// Sets the soft open-file limit; restores the old one when destroyed.
class ScopedFileLimit {
public:
    explicit ScopedFileLimit(rlim_t soft)
    {
        // UBSan's vptr check probes memory through a pipe the first time it
        // meets a type; with no descriptor left that fails and it reports a
        // false "invalid vptr". The probes' exception is the one type first
        // made under the limit, so it is shown to the check beforehand.
        try {
            throw JxException("", "", "", 0, 0);
        } catch (const std::exception& e) {
            (void)e.what();
        }
        getrlimit(RLIMIT_NOFILE, &saved_);
        struct rlimit lim = saved_;
        lim.rlim_cur = soft;
        ok_ = setrlimit(RLIMIT_NOFILE, &lim) == 0;
    }
    ~ScopedFileLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
    ScopedFileLimit(const ScopedFileLimit&) = delete;
    ScopedFileLimit& operator=(const ScopedFileLimit&) = delete;
    bool ok() const { return ok_; }

private:
    struct rlimit saved_;
    bool ok_ = false;
};

// Thread ids of the process (needs /proc).
inline std::set<pid_t> threadIds()
{
    std::set<pid_t> ids;
    if (DIR* d = opendir("/proc/self/task")) {
        while (struct dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ids.insert(static_cast<pid_t>(atoi(e->d_name)));
        closedir(d);
    }
    return ids;
}

inline pid_t currentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// In a child that leaves with _exit the sanitizer's leak check at exit never
// runs; this runs it on demand. True when no leak was found (or the build
// has no leak checker).
inline bool noLeaks()
{
    return __lsan_do_recoverable_leak_check == nullptr || __lsan_do_recoverable_leak_check() == 0;
}

} // namespace oscprobe_test

#endif
