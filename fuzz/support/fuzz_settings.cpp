// A settings file as the settings reader parses it: arbitrary bytes, looked
// up for the keys the probes read and for a key named by the input itself.
// A value found must be trimmed, must be found again the same way, and must
// leave the output untouched when not found.
#include <ctype.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "internal/JXSettingsText.h"

namespace {

bool blankAtEdge(const std::string& s)
{
    return !s.empty() && (isspace(static_cast<unsigned char>(s.front())) ||
                          isspace(static_cast<unsigned char>(s.back())));
}

void check(const std::string& text, const char* section, const char* key)
{
    using oscprobe::internal::findSetting;
    std::string value = "untouched";
    const bool found = findSetting(text, section, key, &value);
    if (found ? blankAtEdge(value) : value != "untouched")
        __builtin_trap();
    std::string again;
    if (findSetting(text, section, key, &again) != found || (found && again != value))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    check(text, "Runtime", "nHMONLINE");
    check(text, "", "");

    // The first line names a section and key ("section key") to look up.
    const std::string first = text.substr(0, text.find('\n'));
    const std::string::size_type space = first.find(' ');
    if (space != std::string::npos)
        check(text, first.substr(0, space).c_str(), first.substr(space + 1).c_str());
    return 0;
}
