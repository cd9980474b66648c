// The state-file scan over arbitrary bytes must agree with fgets reading the
// same bytes from a stream, and never report a marker the text lacks.
#include <stdio.h>
#include <stdlib.h>

#include <cstdint>
#include <string>

#include "internal/OscProbeACInternal.h"

using oscprobe::internal::AcMarkers;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    AcMarkers viaText = oscprobe::internal::scanAcStateText(text);

    AcMarkers viaFgets;
    if (size > 0) {
        FILE* f = fmemopen(const_cast<char*>(text.data()), size, "r");
        if (f == nullptr)
            abort();
        char line[oscprobe::internal::kAcLineBufferSize];
        while (fgets(line, sizeof line, f) != nullptr)
            oscprobe::internal::scanAcStatePiece(line, &viaFgets);
        fclose(f);
    }
    if (viaText.online != viaFgets.online || viaText.offline != viaFgets.offline)
        abort();
    if ((viaText.online && text.find("on-line") == std::string::npos) ||
        (viaText.offline && text.find("off-line") == std::string::npos))
        abort();
    return 0;
}
