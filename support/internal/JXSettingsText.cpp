#include "internal/JXSettingsText.h"

#include <ini.h>
#include <string.h>

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

bool findSetting(const std::string& text, const char* section, const char* key,
                 std::string* value)
{
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
