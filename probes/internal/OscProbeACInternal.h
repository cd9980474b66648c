// Pure halves of the AC power probe (defined in OscProbeACInternal.cpp):
// what it makes of the ACPI adapters' state files, and how their word and
// the power-supply class's (PowerSupply.h) settle the answer. The probe
// itself only opens, reads and closes. Not installed and not exported;
// tests and fuzzers link them from the static archive.
//
// Threading: no state; any thread.
#ifndef OSCPROBE_INTERNAL_OSCPROBEACINTERNAL_H
#define OSCPROBE_INTERNAL_OSCPROBEACINTERNAL_H

#include <stdio.h>

#include <cstddef>
#include <vector>

#include "internal/PowerSupply.h"

namespace oscprobe::internal {

// What an ACPI adapter's state file said. A flag once set stays set.
struct AcMarkers {
    bool online = false;  // "on-line" seen
    bool offline = false; // "off-line" seen
};

// Size of the line buffer the state file is read with; fgets hands over at
// most one less character per piece.
constexpr std::size_t kAcLineBufferSize = 256;

// Searches one NUL-terminated piece, as fgets returned it, for both
// markers (case-sensitive substrings).
void scanAcStatePiece(const char* piece, AcMarkers* markers);

// Reads an open state file to its end with fgets into a kAcLineBufferSize
// buffer and scans every piece: the probe's own reading loop, so that it
// can be run over any stream (a fuzzer hands it an in-memory one).
AcMarkers scanAcStateStream(FILE* stream);

// What settled the AC probe's answer.
enum class AcBasis {
    ADAPTER, // a legacy ACPI adapter's state
    SUPPLY,  // the power-supply class
    ASSUMED  // nothing: AC power is assumed
};

struct AcVerdict {
    bool onAc = true;
    AcBasis basis = AcBasis::ASSUMED;
    std::size_t adapter = 0; // with ADAPTER, the index of the adapter that decided
};

// Combines what every legacy adapter said (an adapter whose state could not
// be read has no marker) with the power-supply class's verdict. An adapter
// is on-line when it showed "on-line" alone and off-line when it showed
// "off-line" alone; both or neither tell nothing. Any adapter on-line means
// AC, whatever the others say; failing that, any adapter off-line means
// battery; failing that, the supply class decides; failing that, AC is
// assumed. The adapter that decided is the first such in `adapters`.
AcVerdict decideAcPower(const std::vector<AcMarkers>& adapters, PowerSource supply);

} // namespace oscprobe::internal

#endif
