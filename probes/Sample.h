// Sample: one reading of the machine's cumulative CPU time.
//
// busy is user + nice + system, idle the idle time, both in the kernel's
// clock ticks since boot; timestamp the time() second of the reading.
// A plain value, copied member by member.
#ifndef OSCPROBE_SAMPLE_H
#define OSCPROBE_SAMPLE_H

#include <cstdint>

struct Sample {
    explicit Sample(long t = 0) : busy(0), idle(0), timestamp(t) {}

    int64_t busy;
    int64_t idle;
    long timestamp;
};

#endif
