#include "JXPlatformInfo.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "EvDebug.h"
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

constexpr int kReadAttempts = 4;

// Reads `fd` to its end (from its start again when `rewind`), at most one
// byte more than the largest settings file.
bool readWhole(int fd, bool rewind, std::string* text, std::string* why)
{
    why->clear();
    if (rewind && lseek(fd, 0, SEEK_SET) != 0) {
        *why = strerror(errno);
        return false;
    }
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *why = strerror(errno);
            return false;
        }
        if (n == 0)
            return true;
        text->append(buf, static_cast<size_t>(n));
        // Checked as it is read: the file may grow meanwhile.
        if (text->size() > kLargestSettingsFile) {
            *why = "larger than 1 MiB";
            return false;
        }
    }
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
    const std::string path = getSettingsFile();
    std::string text;
    if (!readSettingsFile(path, &text, why))
        return 0;
    oscprobe::internal::SkippedLines skipped;
    const bool found = oscprobe::internal::findSetting(text, section, key, value, why, &skipped);
    if (skipped.count > 0)
        EvDebug(nullptr).DebugLvl("JXPlatformInfo::getString", 2,
                                  "Skipped %zu line(s) of %s longer than %zu characters, the "
                                  "first line %zu",
                                  skipped.count, path.c_str(),
                                  oscprobe::internal::kLongestSettingsLine, skipped.first);
    return found ? 1 : 0;
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
        // Only the open had to be kept from waiting (on a FIFO); O_NONBLOCK
        // means nothing to a regular file's reads, so it stays set. A file
        // rewritten in place grows in steps while it is written: a read that
        // ends short of the size the file has afterwards saw a prefix of it,
        // and is done again (a file that never settles is taken as last read).
        for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
            text->clear();
            if (!readWhole(fd, attempt > 0, text, why) || (fstat(fd, &st) == 0 &&
                                              static_cast<size_t>(st.st_size) == text->size()))
                break;
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
