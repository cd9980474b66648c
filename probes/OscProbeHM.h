// OscProbeHM: go while the runtime setting "nHMONLINE" in section "Runtime"
// records that the Hubmaster is reachable (a non-zero number).
//
// The setting is read afresh on every probe(); a missing setting counts as
// unreachable.
//
// Threading: no shared state and no lock.
#ifndef OSCPROBE_OSCPROBEHM_H
#define OSCPROBE_OSCPROBEHM_H

#include "OscProbe.h"

class OSCPROBE_EXPORT OscProbeHM : public OscProbe {
public:
    OscProbeHM();
    ~OscProbeHM() override;

    bool probe() override;
    OscProbeReason getNoGoReason() override;
};

#endif
