#include "JXPlatformInfo.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "internal/JXSettingsText.h"

namespace {

const char kDefaultSettingsFile[] = "/etc/oscprobe/settings.ini";

struct PathState {
    std::mutex mutex;
    std::string path;
};

PathState& pathState()
{
    static PathState& s = *new PathState;
    return s;
}

// Reads the whole file at once, so a file that is replaced or truncated
// meanwhile just yields whatever bytes were there; the parser never sees a
// file that changes under it.
bool slurp(const std::string& path, std::string* out)
{
    FILE* f = fopen(path.c_str(), "re");
    if (f == nullptr)
        return false;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out->append(buf, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

} // namespace

JXPlatformInfo::JXPlatformInfo() = default;
JXPlatformInfo::~JXPlatformInfo() = default;

int JXPlatformInfo::getString(const char* section, const char* key, std::string* value)
{
    if (section == nullptr || key == nullptr || value == nullptr)
        return 0;
    std::string text;
    if (!slurp(getSettingsFile(), &text))
        return 0;
    return oscprobe::internal::findSetting(text, section, key, value) ? 1 : 0;
}

void JXPlatformInfo::setSettingsFile(const std::string& path)
{
    PathState& s = pathState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.path = path;
}

std::string JXPlatformInfo::getSettingsFile()
{
    {
        PathState& s = pathState();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.path.empty())
            return s.path;
    }
    const char* env = getenv("OSCPROBE_SETTINGS");
    if (env != nullptr && *env != '\0')
        return env;
    return kDefaultSettingsFile;
}
