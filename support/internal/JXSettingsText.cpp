#include "internal/JXSettingsText.h"

#include <ini.h>
#include <string.h>

#include <algorithm>
#include <cstddef>

namespace oscprobe::internal {

namespace {

struct Lookup {
    const char* section = nullptr;
    const char* key = nullptr;
    bool found = false;
    std::string value;
};

int onEntry(void* user, const char* section, const char* name, const char* value)
{
    Lookup* l = static_cast<Lookup*>(user);
    if (strcmp(section, l->section) == 0 && strcmp(name, l->key) == 0) {
        l->found = true;
        l->value = value != nullptr ? value : "";
    }
    return 1;
}

} // namespace

// The parser's line buffer holds INI_MAX_LINE bytes, a line end and the
// terminator included.
const std::size_t kLongestSettingsLine = INI_MAX_LINE - 3;

namespace {

// The 1-based number of the first line longer than the parser reads whole,
// or 0. Only the part before the first NUL counts, as for the parser.
std::size_t firstOverlongLine(const std::string& text)
{
    const std::size_t end = std::min(text.find('\0'), text.size());
    std::size_t number = 1;
    for (std::size_t start = 0; start < end; ++number) {
        std::size_t stop = std::min(text.find('\n', start), end);
        std::size_t length = stop - start;
        if (length > 0 && text[stop - 1] == '\r')
            --length;
        if (length > kLongestSettingsLine)
            return number;
        start = stop + 1;
    }
    return 0;
}

} // namespace

bool findSetting(const std::string& text, const char* section, const char* key,
                 std::string* value, std::string* why)
{
    if (const std::size_t line = firstOverlongLine(text)) {
        if (why != nullptr)
            *why = "line " + std::to_string(line) + " is longer than " +
                   std::to_string(kLongestSettingsLine) + " characters";
        return false;
    }
    Lookup lookup;
    lookup.section = section;
    lookup.key = key;
    ini_parse_string(text.c_str(), onEntry, &lookup);
    if (!lookup.found)
        return false;
    *value = lookup.value;
    return true;
}

} // namespace oscprobe::internal
