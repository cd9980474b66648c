// The pure halves of the AC power probe: the state files' markers and the
// verdict over every adapter and the power-supply class.
#include "internal/OscProbeACInternal.h"

#include <cstring>

namespace oscprobe::internal {

void scanAcStatePiece(const char* piece, AcMarkers* markers)
{
    if (strstr(piece, "on-line") != nullptr)
        markers->online = true;
    if (strstr(piece, "off-line") != nullptr)
        markers->offline = true;
}

AcMarkers scanAcStateStream(FILE* stream)
{
    AcMarkers markers;
    char line[kAcLineBufferSize];
    while (fgets(line, sizeof line, stream) != nullptr)
        scanAcStatePiece(line, &markers);
    return markers;
}

AcVerdict decideAcPower(const std::vector<AcMarkers>& adapters, PowerSource supply)
{
    AcVerdict verdict;
    bool offline = false;
    for (std::size_t i = 0; i < adapters.size(); ++i) {
        const AcMarkers& m = adapters[i];
        // One adapter on-line is enough: the machine draws from whichever
        // is plugged in, and the others then say off-line.
        if (m.online && !m.offline) {
            verdict.basis = AcBasis::ADAPTER;
            verdict.adapter = i;
            return verdict;
        }
        if (m.offline && !m.online && !offline) {
            offline = true;
            verdict.adapter = i;
        }
    }
    if (offline) {
        verdict.onAc = false;
        verdict.basis = AcBasis::ADAPTER;
    } else if (supply != PowerSource::UNKNOWN) {
        verdict.onAc = supply == PowerSource::AC;
        verdict.basis = AcBasis::SUPPLY;
    }
    return verdict;
}

} // namespace oscprobe::internal
