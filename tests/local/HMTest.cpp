// The Hubmaster probe against settings files in a scratch directory.
#include <cstdlib>
#include <string>
#include <vector>

#include "JXPlatformInfo.h"
#include "OscProbeHM.h"
#include "OscProbeReason.h"
#include "TestSupport.h"
#include "internal/OscProbeHMInternal.h"

using oscprobe::internal::hmSettingIsNonZero;
using oscprobe_test::LogCapture;
using oscprobe_test::TempDir;

namespace {

class HMProbe : public ::testing::Test {
protected:
    void SetUp() override { JXPlatformInfo::setSettingsFile(tmp.path() + "/settings.ini"); }
    void TearDown() override { JXPlatformInfo::setSettingsFile(std::string()); }

    void writeSettings(const std::string& text) { tmp.write("settings.ini", text); }

    // One probe() on a fresh probe; checks that its only line agrees.
    bool probeOnce()
    {
        OscProbeHM probe;
        LogCapture log(2);
        bool go = probe.probe();
        std::vector<LogCapture::Line> lines = log.lines();
        EXPECT_EQ(1u, lines.size());
        for (const LogCapture::Line& l : lines) {
            EXPECT_EQ("OscProbeHM::probe", l.tag);
            EXPECT_EQ(EvDebug::SEVERITY_VERBOSE, l.severity);
            EXPECT_EQ(go ? "HM is REACHABLE" : "HM is UNREACHABLE", l.text);
        }
        return go;
    }

    TempDir tmp;
};

} // namespace

TEST_F(HMProbe, ReadsTheRuntimeSettingAsAnInteger)
{
    struct Case {
        const char* line;
        bool reachable;
    } cases[] = {
        {"nHMONLINE=1", true}, {"nHMONLINE=0", false}, {"nHMONLINE=-1", true},
        {"nHMONLINE=2", true}, {"nHMONLINE =    1", true}, {"nHMONLINE=1abc", true},
        {"nHMONLINE=", false}, {"nHMONLINE=online", false},
        // Beyond an int: still a number that is not zero, even where the low
        // 32 bits are all zero.
        {"nHMONLINE=4294967296", true}, {"nHMONLINE=-99999999999999999999999999", true},
        // Not the setting: another key, or the key in another section.
        {"other=1", false}, {"[Other]\nnHMONLINE=1", false},
    };
    for (const Case& c : cases) {
        writeSettings(std::string("[Runtime]\n") + c.line + "\n");
        EXPECT_EQ(c.reachable, probeOnce()) << c.line;
    }
}

TEST_F(HMProbe, ReadsTheSettingAfreshOnEveryCallAndMissingFileIsUnreachable)
{
    LogCapture log(2);
    OscProbeHM probe;
    EXPECT_EQ(std::vector<std::string>{"Initializing Hubmaster probe. Cost 2"},
              log.texts("OscProbeHM"));
    EXPECT_EQ(2, probe.getCost());
    EXPECT_FALSE(probe.getWakesMonitor());
    EXPECT_FALSE(probeOnce());
    writeSettings("[Runtime]\nnHMONLINE=1\n");
    EXPECT_TRUE(probe.probe());
    writeSettings("[Runtime]\nnHMONLINE=0\n");
    EXPECT_FALSE(probe.probe());
    writeSettings("[Runtime]\nnHMONLINE=7\n");
    EXPECT_TRUE(probe.probe());
    EXPECT_EQ(OSCPROBE_REASON_HUBMASTER, probe.getNoGoReason());
}

TEST(HMSettingValue, AgreesWithAtoiWhereverTheNumberFitsAnInt)
{
    for (const char* text : {"1", "0", "00", "-0", " \t\n-7", "+3", "+0", "- 1", "0x10", "1e3",
                             "2147483647", "-2147483648", "", "abc", "  12abc", "\v0"})
        EXPECT_EQ(atoi(text) != 0, hmSettingIsNonZero(text)) << '"' << text << '"';
    for (const char* text : {"2147483648", "-2147483649", "-4294967296", "18446744073709551616"})
        EXPECT_TRUE(hmSettingIsNonZero(text)) << text;
}
