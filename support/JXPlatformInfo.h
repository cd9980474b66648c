// JXPlatformInfo: reads the runtime settings file (INI format).
//
// The file is read afresh at every getString(), so a setting changed on
// disk counts at the next call. Its path: setSettingsFile() if a host called
// it, else the environment variable OSCPROBE_SETTINGS, else
// /etc/oscprobe/settings.ini.
//
// Threading: any thread; readers share nothing but the configured path.
#ifndef OSCPROBE_JXPLATFORMINFO_H
#define OSCPROBE_JXPLATFORMINFO_H

#include <string>

#include "JxExport.h"

class JX_EXPORT JXPlatformInfo {
public:
    JXPlatformInfo();
    ~JXPlatformInfo();

    // Non-zero: the key exists in the section and *value holds its text
    // (surrounding blanks removed). Zero: no file, no section or no key;
    // *value is then left unchanged. Never throws for a bad file.
    int getString(const char* section, const char* key, std::string* value);

    // As above; on zero *why says what kept the file from being read
    // ("Permission denied", "not a regular file", "line 7 is longer than
    // 197 characters", ...), or is empty when the file was read and the key
    // is simply not set.
    int getString(const char* section, const char* key, std::string* value, std::string* why);

    // Reads a settings file whole into *text. It must be a regular file of
    // at most 1 MiB, and it is opened without blocking, so a FIFO or device
    // named by mistake is refused rather than waited for or read for ever.
    // False, with *why set as above, when the file cannot be used.
    static bool readSettingsFile(const std::string& path, std::string* text, std::string* why);

    // An empty path returns to the environment variable / default.
    static void setSettingsFile(const std::string& path);
    // The path the next getString() will read.
    static std::string getSettingsFile();
};

#endif
