// The no-go reason codes that OscProbe::getNoGoReason() returns. A code
// depends only on the probe's class (and a subnet probe's interface kind),
// never on the last answer. Hosts map them to their own messages.
#ifndef OSCPROBE_OSCPROBEREASON_H
#define OSCPROBE_OSCPROBEREASON_H

#include <cstdint>

typedef uint32_t OscProbeReason;

enum : OscProbeReason {
    OSCPROBE_REASON_AC = 0x03000014,            // running on battery
    OSCPROBE_REASON_CPU = 0x03000015,           // CPU usage above threshold
    OSCPROBE_REASON_HUBMASTER = 0x03000016,     // Hubmaster unreachable
    OSCPROBE_REASON_DISKSPACE = 0x03000017,     // no directory below threshold
    OSCPROBE_REASON_SUBNET = 0x03000018,        // no address in the subnets
    OSCPROBE_REASON_NO_WIRED = 0x03000027,      // no wired interface
    OSCPROBE_REASON_NO_WIRELESS = 0x03000028,   // no wireless interface
    OSCPROBE_REASON_BATTERY = 0x03000029,       // on battery, charge below threshold
    OSCPROBE_REASON_METERED = 0x0300002A,       // connection metered
    OSCPROBE_REASON_NETWORK = 0x0300002B,       // not on a known network
    OSCPROBE_REASON_UNREACHABLE = 0x0300002C    // no target reachable
};

#endif
