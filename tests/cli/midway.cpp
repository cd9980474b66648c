// LD_PRELOAD shim for the tool's scenarios: a power-supply change that lands
// while the tool evaluates. At the k-th closedir() of /sys/class/power_supply
// (a probe has just read every supply) it writes the k-th word of
// OSCPROBE_TEST_FLIPS ("- 0 1": nothing, unplug, plug in) into AC/online there,
// multicasts the kernel's uevent for it, and sleeps 200 ms, so that the
// power listener's wake-up surely lands before the tool is done evaluating.
// With OSCPROBE_TEST_TERM_BEFORE_JOB set, the first isatty(0) (`run --hold`
// looking for its terminal, once every condition said go and before the job
// starts) sends the tool SIGTERM and gives its signal thread 200 ms to take it.
// With OSCPROBE_TEST_SLOW_SPAWN set, posix_spawnp returns 300 ms after the
// job began: whatever the job needs before it runs must be done by then.
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "Uevent.h"

namespace {

std::atomic<int> closes{0};

void flip(int k)
{
    std::istringstream words(getenv("OSCPROBE_TEST_FLIPS") ? getenv("OSCPROBE_TEST_FLIPS") : "");
    std::string word;
    for (int i = 0; i < k; ++i)
        if (!(words >> word))
            return;
    if (word == "-" || !(std::ofstream("/sys/class/power_supply/AC/online") << word << std::endl))
        return;
    sendUevent("change@/devices/AC;SUBSYSTEM=power_supply");
    usleep(200000);
}

} // namespace

extern "C" __attribute__((visibility("default"))) int posix_spawnp(
    pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
    const posix_spawnattr_t* attributes, char* const argv[], char* const envp[])
{
    static auto real = reinterpret_cast<int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                                                const posix_spawnattr_t*, char* const[], char* const[])>(
        dlsym(RTLD_NEXT, "posix_spawnp"));
    const int result = real(pid, file, actions, attributes, argv, envp);
    if (getenv("OSCPROBE_TEST_SLOW_SPAWN") != nullptr)
        usleep(300000);
    return result;
}

extern "C" __attribute__((visibility("default"))) int isatty(int fd)
{
    static auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "isatty"));
    if (fd == 0 && getenv("OSCPROBE_TEST_TERM_BEFORE_JOB") != nullptr) {
        unsetenv("OSCPROBE_TEST_TERM_BEFORE_JOB");
        kill(getpid(), SIGTERM);
        usleep(200000);
    }
    return real(fd);
}

extern "C" __attribute__((visibility("default"))) int closedir(DIR* dir)
{
    static auto real = reinterpret_cast<int (*)(DIR*)>(dlsym(RTLD_NEXT, "closedir"));
    char link[64], path[64] = "";
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd(dir));
    const bool supplies = readlink(link, path, sizeof path - 1) > 0 &&
                          strcmp(path, "/sys/class/power_supply") == 0;
    const int result = real(dir);
    if (supplies)
        flip(++closes);
    return result;
}
