// The AC state file as the probe reads it: the probe's own fgets loop run
// over the bytes as an in-memory stream. It must agree with the model of
// fgets-sized pieces and never report a marker the text lacks.
#include <stdio.h>
#include <stdlib.h>

#include <cstdint>
#include <string>

#include "internal/OscProbeACInternal.h"

using namespace oscprobe::internal;

namespace {

// The model: the pieces fgets with the probe's buffer would return. Each
// ends after a newline or after kAcLineBufferSize - 1 characters, and, as
// the C string fgets yields, counts only up to an embedded NUL.
AcMarkers scanPieces(const std::string& text)
{
    AcMarkers markers;
    std::string::size_type pos = 0;
    while (pos < text.size()) {
        const std::string::size_type nl = text.find('\n', pos), most = kAcLineBufferSize - 1;
        const std::string piece = text.substr(pos, nl != std::string::npos && nl - pos + 1 < most ? nl - pos + 1 : most);
        scanAcStatePiece(piece.c_str(), &markers);
        pos += piece.size();
    }
    return markers;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    AcMarkers viaText = scanPieces(text);

    AcMarkers viaStream;
    if (size > 0) {
        FILE* f = fmemopen(const_cast<char*>(text.data()), size, "r");
        if (f == nullptr)
            abort();
        viaStream = scanAcStateStream(f);
        fclose(f);
    }
    if (viaText.online != viaStream.online || viaText.offline != viaStream.offline)
        abort();
    if ((viaText.online && text.find("on-line") == std::string::npos) ||
        (viaText.offline && text.find("off-line") == std::string::npos))
        abort();
    return 0;
}
