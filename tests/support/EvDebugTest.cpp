// The debug log: level gating, the host's handler, the log file.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "EvDebug.h"
#include "TestSupport.h"

namespace {

using oscprobe_test::LogCapture;
using oscprobe_test::TempDir;
using Texts = std::vector<std::string>;

// Puts the process-wide log back the way a fresh process has it.
class EvDebugTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        EvDebug::setLogHandler(EvDebug::Handler());
        EvDebug::setLogFile(nullptr);
        EvDebug::setDebugLevel(1);
    }

    EvDebug log{nullptr};
};

// Lines of a file; a last line without its newline is flagged so that a
// torn write shows up.
Texts readLines(const std::string& path)
{
    std::ifstream in(path);
    Texts lines;
    for (std::string text; std::getline(in, text);)
        lines.push_back(in.eof() ? text + "<no newline>" : text);
    return lines;
}

TEST_F(EvDebugTest, LevelGatesOnlyVerboseLinesAndHandlerGetsSeverityTagAndText)
{
    LogCapture capture(1);
    EXPECT_EQ(log.getDebugLevel(), 1);
    log.DebugLvl("T", 2, "hidden %d", 2);
    log.DebugLvl("CPU::probe", 1, "usage %d%%", 93);
    log.Debug("CPU", "Cost %d\n", 7);
    log.Error("CPU::probe", "Couldn't open %s: %s", "/proc/stat", "denied");
    auto row = [](int severity, const std::string& tag, const std::string& text) {
        return std::to_string(severity) + "|" + tag + "|" + text;
    };
    Texts got;
    for (const LogCapture::Line& l : capture.lines())
        got.push_back(row(l.severity, l.tag, l.text));
    EXPECT_EQ(got, (Texts{row(EvDebug::SEVERITY_VERBOSE, "CPU::probe", "usage 93%"),
                          row(EvDebug::SEVERITY_INFO, "CPU", "Cost 7"), // newline dropped
                          row(EvDebug::SEVERITY_ERROR, "CPU::probe",
                              "Couldn't open /proc/stat: denied")}));

    capture.clear();
    EvDebug::setDebugLevel(2);
    EXPECT_EQ(log.getDebugLevel(), 2);
    log.DebugLvl("T", 2, "shown at two");
    log.DebugLvl("T", 3, "hidden at two");
    const std::string longText(3000, 'z'); // longer than any fixed first buffer
    log.Debug("T", "[%s]", longText.c_str());
    EXPECT_EQ(capture.texts(), (Texts{"shown at two", "[" + longText + "]"}));

    capture.clear();
    EvDebug::setDebugLevel(0);
    log.DebugLvl("T", 1, "hidden at zero");
    log.Debug("T", "info at zero");
    log.Error("T", "error at zero");
    EXPECT_EQ(capture.texts(), (Texts{"info at zero", "error at zero"}));
}

TEST_F(EvDebugTest, LogFileAppendsWholeLinesAndNullReturnsToStandardError)
{
    TempDir dir;
    const std::string path = dir.write("oscprobe.log", "earlier line\n");
    ASSERT_TRUE(EvDebug::setLogFile(path.c_str()));
    log.Debug("CPU", "Cost %d", 5);
    log.Error("CPU::probe", "Couldn't read: %s\n", "No such file");

    // A handler takes lines away from the file; an empty one gives them back.
    EvDebug::setLogHandler([](int, const char*, const char*) {});
    log.Debug("T", "to the handler");
    EvDebug::setLogHandler(EvDebug::Handler());
    // A file that cannot be opened leaves the destination as it was.
    EXPECT_FALSE(EvDebug::setLogFile((dir.path() + "/missing/dir/log").c_str()));
    log.Debug("T", "still in the file");

    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(EvDebug::setLogFile(nullptr));
    log.Error("T", "back on standard error");
    const std::string err = ::testing::internal::GetCapturedStderr();

    // timestamp, severity, tag (colon optional), text
    const std::string stamp = R"(\d{4}-\d\d-\d\d[ T]\d\d:\d\d:\d\d\S* +)";
    const char* expected[] = {R"(\S+ +CPU:? Cost 5)",
                              R"(\S*[Ee][Rr][Rr]\S* +CPU::probe:? Couldn't read: No such file)",
                              R"(\S+ +T:? still in the file)"};
    const Texts lines = readLines(path);
    ASSERT_EQ(lines.size(), 4u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "earlier line");
    for (size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(std::regex_match(lines[i + 1], std::regex(stamp + expected[i]))) << i;
    EXPECT_TRUE(std::regex_match(err, std::regex(stamp + R"(\S+ +T:? back on standard error\n)")))
        << err;
}

TEST_F(EvDebugTest, ConcurrentWritersNeverInterleaveNorLoseLinesWhileFileChanges)
{
    constexpr int kWriters = 4;
    constexpr int kLinesEach = 400;
    TempDir dir;
    const std::string files[] = {dir.path() + "/a.log", dir.path() + "/b.log"};
    ASSERT_TRUE(EvDebug::setLogFile(files[0].c_str()));

    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([w] {
            EvDebug own(nullptr);
            const std::string filler(300, static_cast<char>('a' + w));
            for (int i = 0; i < kLinesEach; ++i)
                own.Debug("Writer", "writer %d line %d %s", w, i, filler.c_str());
        });
    }
    // Switching files under the writers must neither lose a line nor write
    // into a descriptor that was closed meanwhile.
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(EvDebug::setLogFile(files[(i + 1) % 2].c_str()));
    for (std::thread& t : writers)
        t.join();

    const std::regex payload(R"(^\S+ \S+ +\S+ +Writer:? writer (\d) line (\d+) ([a-z]+)$)");
    std::set<std::pair<int, int>> seen;
    for (const std::string& path : files) {
        for (const std::string& text : readLines(path)) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(text, m, payload)) << "torn line: " << text;
            const int w = std::stoi(m[1].str());
            EXPECT_EQ(m[3].str(), std::string(300, static_cast<char>('a' + w))) << text;
            EXPECT_TRUE(seen.insert({w, std::stoi(m[2].str())}).second) << "twice: " << text;
        }
    }
    // Every (writer, line) pair appears once, so the count shows none was lost.
    EXPECT_EQ(seen.size(), static_cast<size_t>(kWriters * kLinesEach));
}

} // namespace
