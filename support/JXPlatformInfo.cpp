#include "JXPlatformInfo.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "internal/JXSettingsText.h"

namespace {

const char kDefaultSettingsFile[] = "/etc/oscprobe/settings.ini";
// A settings file holds a handful of keys; anything this large is not one.
constexpr size_t kLargestSettingsFile = 1024 * 1024;

struct PathState {
    std::mutex mutex;
    std::string path;
};

PathState& pathState()
{
    static PathState& s = *new PathState;
    return s;
}

} // namespace

JXPlatformInfo::JXPlatformInfo() = default;
JXPlatformInfo::~JXPlatformInfo() = default;

int JXPlatformInfo::getString(const char* section, const char* key, std::string* value)
{
    std::string why;
    return getString(section, key, value, &why);
}

int JXPlatformInfo::getString(const char* section, const char* key, std::string* value,
                              std::string* why)
{
    std::string ignored;
    if (why == nullptr)
        why = &ignored;
    why->clear();
    if (section == nullptr || key == nullptr || value == nullptr)
        return 0;
    std::string text;
    if (!readSettingsFile(getSettingsFile(), &text, why))
        return 0;
    return oscprobe::internal::findSetting(text, section, key, value, why) ? 1 : 0;
}

// The file is read whole at once, so a file that is replaced or truncated
// meanwhile just yields whatever bytes were there; the parser never sees a
// file that changes under it.
bool JXPlatformInfo::readSettingsFile(const std::string& path, std::string* text,
                                      std::string* why)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *why = strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *why = strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        *why = strerror(EISDIR);
    } else if (!S_ISREG(st.st_mode)) {
        *why = "not a regular file";
    } else {
        why->clear();
        char buf[4096];
        for (;;) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                *why = strerror(errno);
                break;
            }
            if (n == 0)
                break;
            text->append(buf, static_cast<size_t>(n));
            // Checked as it is read: the file may grow meanwhile.
            if (text->size() > kLargestSettingsFile) {
                *why = "larger than 1 MiB";
                break;
            }
        }
    }
    close(fd);
    if (!why->empty())
        text->clear();
    return why->empty();
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
