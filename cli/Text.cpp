#include "Text.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include <nlohmann/json.hpp>

namespace oscprobe_cli {

namespace {

// Length of the valid UTF-8 sequence at text[i] (1 to 4), with its code
// point, or 0 when the bytes there are no valid sequence.
size_t sequenceAt(const std::string& text, size_t i, unsigned* point)
{
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length;
    unsigned low = 0x80, high = 0xBF; // allowed range of the second byte
    if (lead < 0x80) {
        *point = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        *point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        *point = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        *point = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char c = static_cast<unsigned char>(text[i + k]);
        if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF))
            return 0;
        *point = (*point << 6) | (c & 0x3F);
    }
    return length;
}

} // namespace

std::string printable(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        unsigned point = 0;
        const size_t length = sequenceAt(text, i, &point);
        if (length == 0 || point < 0x20 || (point >= 0x7F && point <= 0x9F)) {
            // One escape per byte: the escapes then say exactly what was there.
            const size_t bytes = length == 0 ? 1 : length;
            for (size_t k = 0; k < bytes; ++k) {
                char escaped[8];
                snprintf(escaped, sizeof escaped, "\\x%02x",
                         static_cast<unsigned char>(text[i + k]));
                out += escaped;
            }
            i += bytes;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

std::string jsonText(const nlohmann::ordered_json& doc, int indent)
{
    return doc.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool parseNumber(const std::string& text, bool whole, double* value)
{
    if (text.empty() || isspace(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    const double parsed = whole ? static_cast<double>(strtol(text.c_str(), &end, 10))
                                : strtod(text.c_str(), &end);
    if (*end != '\0' || errno != 0 || parsed != parsed)
        return false;
    *value = parsed;
    return true;
}

bool flushed(FILE* out)
{
    // A failed write leaves the error flag (and errno) behind; a flush that
    // fails sets both anew.
    return fflush(out) == 0 && !ferror(out);
}

} // namespace oscprobe_cli
