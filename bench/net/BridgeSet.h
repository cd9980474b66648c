// BridgeSet: the interfaces of the benchmark's network namespace. Bridge k
// is named brk and carries one IPv4 address, 10.(k/256).(k%256).1/24, and
// one IPv6 link-local address, fe80::(k+1)/64 (added explicitly: a bridge
// without ports has no carrier, so the kernel would not make one itself).
// The set only grows, with `ip -batch`.
//
// Threading: one thread at a time.
#ifndef OSCPROBE_BENCH_BRIDGESET_H
#define OSCPROBE_BENCH_BRIDGESET_H

#include <string>

namespace oscprobe_bench {

class BridgeSet {
public:
    // Grows the set to `count` bridges; returns an empty string or why not.
    static std::string growTo(int count);
    static int count();
    // Interface index of bridge k.
    static int ifindex(int k);
};

} // namespace oscprobe_bench

#endif
