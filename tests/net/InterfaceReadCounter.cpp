#include "InterfaceReadCounter.h"

#include <dlfcn.h>
#include <errno.h>
#include <linux/wireless.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

using oscprobe_test::InterfaceReadCounter;

extern "C" FILE* fopen(const char* path, const char* mode)
{
    static const auto real =
        reinterpret_cast<FILE* (*)(const char*, const char*)>(dlsym(RTLD_NEXT, "fopen"));
    InterfaceReadCounter::opens += path != nullptr && strcmp(path, "/proc/net/if_inet6") == 0;
    return real(path, mode);
}

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    static const auto real =
        reinterpret_cast<int (*)(int, unsigned long, void*)>(dlsym(RTLD_NEXT, "ioctl"));
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    const int result = real(fd, request, arg), err = errno;
    InterfaceReadCounter::wirelessRequests += request == SIOCGIWSTATS;
    if (request == SIOCGIWSTATS)
        InterfaceReadCounter::wirelessError = result == 0 ? 0 : err;
    errno = err;
    return result;
}
