// Shared by the local probe tests. Probes run in forked children (inChild)
// with namespaces of their own, so mounts stay there and the process-wide
// CPU history and subnet watcher start afresh every time.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace local_test {

using oscprobe_test::isolate;
using oscprobe_test::put;

// LocalTest.cpp stands in for time() and the CPU probe's sleep: time()
// answers fakeNow (nothing else in these tests asks for the time), and each
// sleep notes "<ms> ms at <file>:<line>" in sleeps, moves fakeNow on by the
// time slept and runs onSleep.
inline long fakeNow = 0;
inline std::vector<std::string> sleeps;
inline std::function<void()> onSleep;

} // namespace local_test
