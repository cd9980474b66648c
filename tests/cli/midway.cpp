// LD_PRELOAD shim for the tool's scenarios: a power-supply change that lands
// while the tool evaluates. At the k-th closedir() of /sys/class/power_supply
// (a probe has just read every supply) it writes the k-th word of
// OSCPROBE_TEST_FLIPS ("0 1": unplug, then plug in) into AC/online there,
// multicasts the kernel's uevent for it, and sleeps 200 ms, so that the
// power listener's wake-up surely lands before the tool is done evaluating.
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <sstream>

#include "Uevent.h"

namespace {

const char kSupplies[] = "/sys/class/power_supply";
std::atomic<DIR*> supplies{nullptr};
std::atomic<int> closes{0};

void flip(int k)
{
    std::istringstream words(getenv("OSCPROBE_TEST_FLIPS") ? getenv("OSCPROBE_TEST_FLIPS") : "");
    std::string word;
    for (int i = 1; words >> word; ++i) {
        if (i < k)
            continue;
        if (FILE* f = fopen("/sys/class/power_supply/AC/online", "w")) {
            fprintf(f, "%s\n", word.c_str());
            fclose(f);
        }
        sendUevent("change@/devices/AC;SUBSYSTEM=power_supply");
        usleep(200000);
        return;
    }
}

} // namespace

extern "C" __attribute__((visibility("default"))) DIR* opendir(const char* name)
{
    static auto real = reinterpret_cast<DIR* (*)(const char*)>(dlsym(RTLD_NEXT, "opendir"));
    DIR* dir = real(name);
    if (dir != nullptr && strcmp(name, kSupplies) == 0)
        supplies = dir;
    return dir;
}

extern "C" __attribute__((visibility("default"))) int closedir(DIR* dir)
{
    static auto real = reinterpret_cast<int (*)(DIR*)>(dlsym(RTLD_NEXT, "closedir"));
    DIR* expected = dir;
    const bool ours = supplies.compare_exchange_strong(expected, nullptr);
    const int result = real(dir);
    if (ours)
        flip(++closes);
    return result;
}
