#include "InterfaceReadCounter.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <linux/wireless.h>

#include <atomic>

namespace {
std::atomic<uint64_t> inet6Opens{0}, wirelessRequests{0};
std::atomic<int> wirelessError{0};
} // namespace

uint64_t oscprobe_test::InterfaceReadCounter::listings() { return inet6Opens.load(); }
uint64_t oscprobe_test::InterfaceReadCounter::wirelessRequests() { return ::wirelessRequests.load(); }
int oscprobe_test::InterfaceReadCounter::lastWirelessError() { return wirelessError.load(); }

extern "C" FILE* fopen(const char* path, const char* mode)
{
    using Fopen = FILE* (*)(const char*, const char*);
    static const Fopen real = reinterpret_cast<Fopen>(dlsym(RTLD_NEXT, "fopen"));
    if (path != nullptr && strcmp(path, "/proc/net/if_inet6") == 0)
        ++inet6Opens;
    return real(path, mode);
}

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    using Ioctl = int (*)(int, unsigned long, void*);
    static const Ioctl real = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    const int result = real(fd, request, arg);
    if (request == SIOCGIWSTATS) {
        const int err = errno;
        ++wirelessRequests;
        if (result != 0)
            wirelessError = err;
        errno = err;
    }
    return result;
}
