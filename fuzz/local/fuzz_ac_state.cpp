// The AC state file as the probe reads it: the probe's own fgets loop run
// over the bytes as an in-memory stream. It must agree with the model of
// fgets-sized pieces and never report a marker the text lacks.
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

    AcMarkers viaStream;
    if (size > 0) {
        FILE* f = fmemopen(const_cast<char*>(text.data()), size, "r");
        if (f == nullptr)
            abort();
        viaStream = oscprobe::internal::scanAcStateStream(f);
        fclose(f);
    }
    if (viaText.online != viaStream.online || viaText.offline != viaStream.offline)
        abort();
    if ((viaText.online && text.find("on-line") == std::string::npos) ||
        (viaText.offline && text.find("off-line") == std::string::npos))
        abort();
    return 0;
}
