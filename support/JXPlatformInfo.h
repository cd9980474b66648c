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

    // An empty path returns to the environment variable / default.
    static void setSettingsFile(const std::string& path);
    // The path the next getString() will read.
    static std::string getSettingsFile();
};

#endif
