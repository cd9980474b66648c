// InterfaceReadCounter: how many times this process has listed its
// interfaces (each listing opens /proc/net/if_inet6 once), and its wireless
// requests, counted by replacements of fopen() and ioctl() in
// InterfaceReadCounter.cpp that hand every call on to the C library.
//
// Threading: any thread; the counts cover every thread of the process.
#ifndef OSCPROBE_TESTS_NET_INTERFACEREADCOUNTER_H
#define OSCPROBE_TESTS_NET_INTERFACEREADCOUNTER_H

#include <atomic>
#include <cstdint>

namespace oscprobe_test {

struct InterfaceReadCounter {
    static inline std::atomic<uint64_t> opens{0}, wirelessRequests{0};
    static inline std::atomic<int> wirelessError{0}; // of the last wireless request
    static uint64_t listings() { return opens; }
};

} // namespace oscprobe_test

#endif
