// The disk space probe against tmpfs file systems of a fixed size, filled to
// known fractions, each mounted in a child's private mount namespace.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>

#include "JxException.h"
#include "LocalTestUtil.h"
#include "OscProbeDiskSpace.h"
#include "OscProbeReason.h"
#include "TestSupport.h"

using oscprobe_test::Checks;
using oscprobe_test::format;
using oscprobe_test::LogCapture;
using oscprobe_test::TempDir;

namespace {

const int kPages = 100;

// A tmpfs of kPages pages on `dir` holding one file of `usedPages` pages:
// tmpfs counts data pages exactly, so the free share is known beforehand.
std::string mountFilled(const std::string& dir, int usedPages)
{
    long page = sysconf(_SC_PAGESIZE);
    std::string options = "size=" + std::to_string(kPages * page);
    if (mkdir(dir.c_str(), 0755) != 0 || mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0)
        return "mounting tmpfs on " + dir + ": " + strerror(errno);
    return oscprobe_test::layOut(dir, {{"fill", std::string(usedPages * page, 'x')}});
}

// The percentage as the file system itself reports it.
double statPercent(const std::string& dir)
{
    struct statvfs64 st;
    if (statvfs64(dir.c_str(), &st) != 0)
        return NAN;
    return static_cast<double>(st.f_bavail) * 100.0 / static_cast<double>(st.f_blocks);
}

// The level-2 lines the walk writes for each directory and its percentage.
std::vector<std::string> walkLines(const std::vector<std::pair<std::string, double>>& dirs)
{
    std::vector<std::string> out;
    for (const auto& d : dirs) {
        out.push_back(format("Free space percentage on %s: %0.2f%%", d.first.c_str(), d.second));
        out.push_back(format("%0.1f%%: %s", d.second, d.first.c_str()));
    }
    return out;
}

// Level-2 lines of the probe's walk, in order, with their tags checked.
std::vector<std::string> probeLines(const LogCapture& log, Checks* checks)
{
    std::vector<std::string> out;
    for (const LogCapture::Line& l : log.lines()) {
        checks->expect(l.severity == EvDebug::SEVERITY_VERBOSE, "verbose line: " + l.text);
        bool fromQuery = l.text.rfind("Free space percentage on ", 0) == 0;
        checks->eq(std::string(fromQuery ? "OscProbeDiskSpace::getFreeSpacePercent"
                                         : "OscProbeDiskSpace::probe"),
                   l.tag, "tag of " + l.text);
        out.push_back(l.text);
    }
    return out;
}

// Runs `body` in a child with tmpfs `a` 75% free, `b` 40% free and `full`
// with nothing free, under `root`; "missing" under `root` does not exist.
using Body = std::function<void(const std::string& root, double pa, double pb, Checks& c)>;
std::string withFilledFileSystems(const Body& body)
{
    TempDir tmp;
    const std::string& root = tmp.path();
    for (std::string err :
         {mountFilled(root + "/a", 25), mountFilled(root + "/b", 60), mountFilled(root + "/full", kPages)})
        if (!err.empty())
            return err;
    Checks c;
    double pa = statPercent(root + "/a"), pb = statPercent(root + "/b");
    c.expect(std::fabs(pa - 75.0) < 1.0, format("a is 75%% free, statvfs says %f", pa));
    c.expect(std::fabs(pb - 40.0) < 1.0, format("b is 40%% free, statvfs says %f", pb));
    c.eq(0.0, statPercent(root + "/full"), "a full tmpfs has nothing free");
    body(root, pa, pb, c);
    return c.result();
}

} // namespace

TEST(DiskSpaceProbe, WalksInOrderAndStopsAtFirstDirectoryBelowThreshold)
{
    OSCPROBE_EXPECT_CHILD_OK([]() -> std::string {
        return withFilledFileSystems([](const std::string& root, double pa, double pb, Checks& c) {
            std::string a = root + "/a", b = root + "/b";
            OscProbeDiskSpace probe({a, b, root + "/missing"}, 50.0);
            LogCapture log(2);
            c.eq(pa, probe.getFreeSpacePercent(a), "percentage of a");
            log.clear();
            // b is below, so the missing third directory is never queried.
            c.expect(probe.probe(), "go with the second directory below the threshold");
            c.eq(walkLines({{a, pa}, {b, pb}}), probeLines(log, &c), "log");

            // Equal to the threshold is not below: the walk moves on.
            OscProbeDiskSpace onlyA({a}, pa), aThenB({a, b}, pa);
            c.expect(!onlyA.probe(), "equal is no-go");
            log.clear();
            c.expect(aThenB.probe(), "walk moves on past equal to b");
            c.eq(walkLines({{a, pa}, {b, pb}}), probeLines(log, &c), "log past equal");
        });
    });
}

TEST(DiskSpaceProbe, ThresholdZeroIsNeverMetAndAboveHundredAlwaysIs)
{
    OSCPROBE_EXPECT_CHILD_OK([]() -> std::string {
        return withFilledFileSystems([](const std::string& root, double pa, double, Checks& c) {
            std::string a = root + "/a", full = root + "/full";
            c.expect(mkdir((a + "/sub").c_str(), 0755) == 0, "mkdir sub");
            OscProbeDiskSpace atZero({full, a, a + "/sub"}, 0.0);
            OscProbeDiskSpace aboveHundred({a, root + "/missing"}, 100.5);
            LogCapture log(2);
            // Two directories on one file system are queried and logged apart.
            c.expect(!atZero.probe(), "nothing is below 0");
            c.eq(walkLines({{full, 0.0}, {a, pa}, {a + "/sub", pa}}), probeLines(log, &c),
                 "log at threshold 0");
            log.clear();
            c.expect(aboveHundred.probe(), "the first finite percentage is below 100.5");
            c.eq(walkLines({{a, pa}}), probeLines(log, &c), "log above 100");
        });
    });
}

TEST(DiskSpaceProbe, MissingDirectoryThrowsAndStopsTheWalk)
{
    TempDir tmp;
    std::string missing = tmp.path() + "/missing";
    OscProbeDiskSpace probe({missing, "/"}, 101.0);
    LogCapture log(2);
    try {
        probe.probe();
        ADD_FAILURE() << "no exception for " << missing;
    } catch (const JxException& e) {
        EXPECT_STREQ("OscProbeDiskSpace::getFreeSpacePercent", e.getFuncName());
        EXPECT_EQ("Failed to stat " + missing + ": " + strerror(ENOENT), e.getMessage());
        EXPECT_STREQ("OscProbeDiskSpace", e.getFile());
        EXPECT_EQ(-1, e.getCode());
    }
    // Nothing logged: neither the failed query nor the directory after it.
    EXPECT_TRUE(log.lines().empty());
}

TEST(DiskSpaceProbe, ConstructionListsEveryDirectoryAndEmptyListIsNoGoLoggingNothing)
{
    LogCapture log(2);
    OscProbeDiskSpace probe({"/", "relative/dir", "/"}, 5.0);
    EXPECT_EQ((std::vector<std::string>{"Initializing DiskSpace Probe. Cost 1",
                                        "   Threshold: 5.0%", "   Directory: /",
                                        "   Directory: relative/dir", "   Directory: /"}),
              log.texts("OscProbeDiskSpace"));
    EXPECT_EQ(1, probe.getCost());
    EXPECT_FALSE(probe.getWakesMonitor());
    EXPECT_EQ(OSCPROBE_REASON_DISKSPACE, probe.getNoGoReason());

    log.clear();
    OscProbeDiskSpace empty({}, 12.34);
    EXPECT_EQ(
        (std::vector<std::string>{"Initializing DiskSpace Probe. Cost 1", "   Threshold: 12.3%"}),
        log.texts());
    log.clear();
    EXPECT_FALSE(empty.probe());
    EXPECT_TRUE(log.lines().empty());
}

TEST(DiskSpaceProbe, FileSystemWithoutBlocksIsNeverBelow)
{
    // proc reports no blocks at all: 0 * 100 / 0 is not a number.
    struct statvfs64 st;
    if (statvfs64("/proc", &st) != 0 || st.f_blocks != 0)
        GTEST_SKIP() << "/proc reports blocks on this machine";
    OscProbeDiskSpace probe({"/proc"}, 1e9);
    LogCapture log(2);
    EXPECT_TRUE(std::isnan(probe.getFreeSpacePercent("/proc")));
    EXPECT_FALSE(probe.probe());
    std::vector<std::string> lines = log.texts("OscProbeDiskSpace::probe");
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("nan%: /proc")) << lines[0];
}
