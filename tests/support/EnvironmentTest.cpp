// What the environment decides: the debug level (read once per process) and
// the settings file. Built as its own executable: the level can be taken from
// the environment only in a process where no test has set it yet, and each
// case runs in a forked child so that its environment stays its own.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "EvDebug.h"
#include "JXPlatformInfo.h"
#include "TestSupport.h"

namespace {

using oscprobe_test::runInChild;

TEST(EvDebugEnvironmentTest, LevelIsReadOnceFromEnvironmentUnlessSetFirst)
{
    struct Case {
        const char* value; // null: unset
        int setFirst;      // level set before first use; -1: none
        int expected;
    };
    for (const Case& c : {Case{"3", -1, 3}, Case{"0", -1, 0}, Case{"abc", -1, 1},
                          Case{nullptr, -1, 1}, Case{"4", 2, 2}}) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        const std::string failure = runInChild([&]() -> std::string {
            if (c.value != nullptr)
                setenv("OSCPROBE_DEBUG_LEVEL", c.value, 1);
            else
                unsetenv("OSCPROBE_DEBUG_LEVEL");
            if (c.setFirst >= 0)
                EvDebug::setDebugLevel(c.setFirst);
            EvDebug log(nullptr);
            bool shown = false;
            // A handler only: the level stays whatever the environment made it.
            EvDebug::setLogHandler([&shown](int, const char*, const char*) { shown = true; });
            if (log.getDebugLevel() != c.expected)
                return "level " + std::to_string(log.getDebugLevel());
            log.DebugLvl("T", 2, "verbose");
            if (shown != (c.expected >= 2))
                return std::string("level-2 line ") + (shown ? "shown" : "hidden");
            setenv("OSCPROBE_DEBUG_LEVEL", "7", 1);
            if (log.getDebugLevel() != c.expected)
                return "environment read again";
            EvDebug::setDebugLevel(5);
            return log.getDebugLevel() == 5 ? "" : "setDebugLevel did not override";
        });
        EXPECT_EQ(failure, "");
    }
}

TEST(JXPlatformInfoEnvironmentTest, SettingsFileFromEnvironmentUnlessSet)
{
    oscprobe_test::TempDir dir;
    const std::string fromEnv = dir.write("env.ini", "[Runtime]\nnHMONLINE=1\n");
    const std::string fromHost = dir.write("host.ini", "[Runtime]\nnHMONLINE=0\n");

    const std::string failure = runInChild([&]() -> std::string {
        unsetenv("OSCPROBE_SETTINGS");
        if (JXPlatformInfo::getSettingsFile() != "/etc/oscprobe/settings.ini")
            return "default path " + JXPlatformInfo::getSettingsFile();
        setenv("OSCPROBE_SETTINGS", fromEnv.c_str(), 1);
        auto read = [] {
            std::string value;
            return JXPlatformInfo().getString("Runtime", "nHMONLINE", &value) ? value : "none";
        };
        if (read() != "1")
            return "environment file not read: " + read();
        JXPlatformInfo::setSettingsFile(fromHost);
        if (read() != "0")
            return "host's file did not win: " + read();
        JXPlatformInfo::setSettingsFile(std::string());
        if (JXPlatformInfo::getSettingsFile() != fromEnv)
            return "empty path did not return to the environment";
        return "";
    });
    EXPECT_EQ(failure, "");
}

} // namespace
