// InterfaceReadCounter: how many times this process has listed its
// interfaces, and how many wireless-statistics requests it made. Every
// listing opens /proc/net/if_inet6 exactly once, so the count comes from a
// replacement of fopen() linked into the executable that counts opens of
// that file; a replacement of ioctl() counts the requests. Both hand every
// call on to the C library.
//
// Threading: any thread; the count covers every thread of the process.
#ifndef OSCPROBE_TESTS_NET_INTERFACEREADCOUNTER_H
#define OSCPROBE_TESTS_NET_INTERFACEREADCOUNTER_H

#include <cstdint>

namespace oscprobe_test {

class InterfaceReadCounter {
public:
    static uint64_t listings();
    static uint64_t wirelessRequests();
    // errno of the last wireless request that failed, 0 if none has.
    static int lastWirelessError();
};

} // namespace oscprobe_test

#endif
