// Helpers for the local-resource probe tests: a forked child in a mount
// namespace of its own (so tmpfs mounts over /proc, /sys or scratch
// directories never reach the machine), failure collection inside that
// child, and file layout.
#ifndef OSCPROBE_TESTS_LOCAL_LOCALTESTUTIL_H
#define OSCPROBE_TESTS_LOCAL_LOCALTESTUTIL_H

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace oscprobe_test {

using Files = std::vector<std::pair<std::string, std::string>>;

// Runs `body` in a forked child that first unshares its mount namespace and
// makes every mount private. Returns "" on success, the child's failure
// text otherwise, or a text starting with "SKIP: " when the namespace could
// not be had.
inline std::string runInPrivateMounts(const std::function<std::string()>& body)
{
    return runInChild([&body]() -> std::string {
        std::string why = enterPrivateMountNamespace();
        if (!why.empty())
            return "SKIP: " + why;
        return body();
    });
}

// Variadic only so that commas inside the lambda need no parentheses.
#define OSCPROBE_EXPECT_CHILD_OK(...)                                                      \
    do {                                                                                   \
        std::string childReport_ = ::oscprobe_test::runInPrivateMounts(__VA_ARGS__);       \
        if (childReport_.rfind("SKIP: ", 0) == 0)                                          \
            GTEST_SKIP() << childReport_.substr(6);                                        \
        EXPECT_EQ("", childReport_);                                                       \
    } while (0)

// Collects failed expectations in a child process, where gtest's own
// assertions would go unseen.
class Checks {
public:
    void expect(bool ok, const std::string& what) { failures_ += ok ? "" : what + "\n"; }

    template <typename T> void eq(const T& expected, const T& actual, const std::string& what)
    {
        if (!(expected == actual))
            failures_ += what + ": expected " + str(expected) + ", got " + str(actual) + "\n";
    }

    const std::string& result() const { return failures_; }

private:
    template <typename T> static std::string str(const T& v)
    {
        std::ostringstream out;
        out << v;
        return out.str();
    }
    static std::string str(const std::vector<std::string>& v)
    {
        std::string out;
        for (const std::string& s : v)
            out += "\"" + s + "\" ";
        return "[ " + out + "]";
    }

    std::string failures_;
};

// Lays out files under `root`, making directories as needed: a path ending
// in '/' is a directory, any other a file with the paired content. Returns
// "" or what failed.
inline std::string layOut(const std::string& root, const Files& files)
{
    for (const auto& f : files) {
        std::filesystem::path path = root + "/" + f.first;
        std::error_code ec;
        std::filesystem::create_directories(f.first.back() == '/' ? path : path.parent_path(), ec);
        if (f.first.back() != '/' && !(std::ofstream(path, std::ios::binary) << f.second))
            return "laying out " + path.string() + " failed";
    }
    return std::string();
}

// printf into a std::string, for expected log lines.
__attribute__((format(printf, 1, 2))) inline std::string format(const char* fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

} // namespace oscprobe_test

#endif
