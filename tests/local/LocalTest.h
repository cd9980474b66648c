// Shared by the local probe tests. Probes run in forked children (inChild)
// with namespaces of their own, so mounts stay there and the process-wide
// CPU history and subnet watcher start afresh every time.
#pragma once

#include <sched.h>
#include <sys/mount.h>

#include <filesystem>
#include <fstream>

#include "TestSupport.h"

namespace local_test {

// LocalTest.cpp stands in for time() and the CPU probe's sleep: time()
// answers fakeNow (nothing else in these tests asks for the time), and each
// sleep notes "<ms> ms at <file>:<line>" in sleeps, moves fakeNow on by the
// time slept and runs onSleep.
inline long fakeNow = 0;
inline std::vector<std::string> sleeps;
inline std::function<void()> onSleep;

// Fresh mount and network namespaces (lo down, no address), and each of
// `hidden` behind an empty tmpfs.
inline void isolate(std::initializer_list<const char*> hidden)
{
    ASSERT_EQ(unshare(CLONE_NEWNS | CLONE_NEWNET), 0);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    for (const char* dir : hidden) ASSERT_EQ(mount("tmpfs", dir, "tmpfs", 0, nullptr), 0) << dir;
}

// Writes `text` to `path`, making its directories.
inline void put(const std::string& path, const std::string& text)
{
    std::filesystem::create_directories(path.substr(0, path.rfind('/')));
    std::ofstream(path) << text;
}

} // namespace local_test
