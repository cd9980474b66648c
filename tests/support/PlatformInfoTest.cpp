// The settings reader: lookups, missing pieces, changes on disk.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "JXPlatformInfo.h"
#include "TestSupport.h"

namespace {

const char kMissing[] = "<missing>";

class JXPlatformInfoTest : public ::testing::Test {
protected:
    void SetUp() override { JXPlatformInfo::setSettingsFile(path); }
    void TearDown() override { JXPlatformInfo::setSettingsFile(std::string()); }

    // Writes `content` at `target` with a single write(2).
    static void writeFile(const std::string& target, const std::string& content)
    {
        int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0) << target;
        EXPECT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
        close(fd);
    }

    void replaceFile(const std::string& content)
    {
        writeFile(path + ".new", content);
        ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
    }

    // The value, or kMissing when getString returns 0 (which must leave the
    // caller's string alone).
    std::string lookup(const char* section, const char* key)
    {
        std::string value = kMissing;
        return info.getString(section, key, &value) != 0 ? value
               : value == kMissing                      ? kMissing
                                                        : "changed on a miss: " + value;
    }

    oscprobe_test::TempDir dir;
    const std::string path = dir.path() + "/settings.ini";
    JXPlatformInfo info;
};

TEST_F(JXPlatformInfoTest, ReadsKeyOfItsOwnSectionAndMissingPiecesReturnZero)
{
    EXPECT_EQ(lookup("Runtime", "nHMONLINE"), kMissing); // no file yet
    writeFile(path, "; written by the agent\n[Runtime]\nnHMONLINE = 1\nComment =   two words  \n"
                    "other=x\n[Second]\nnHMONLINE=0\nonlyHere=1\n");
    EXPECT_EQ(JXPlatformInfo::getSettingsFile(), path);
    EXPECT_EQ(lookup("Runtime", "nHMONLINE"), "1");
    EXPECT_EQ(lookup("Runtime", "Comment"), "two words");
    EXPECT_EQ(lookup("Second", "nHMONLINE"), "0");
    EXPECT_EQ(lookup("Missing", "other"), kMissing);
    EXPECT_EQ(lookup("Runtime", "onlyHere"), kMissing); // only in another section

    writeFile(path, "");
    EXPECT_EQ(lookup("Runtime", "other"), kMissing);
    // A directory opens but cannot be read.
    JXPlatformInfo::setSettingsFile(dir.path());
    EXPECT_EQ(lookup("Runtime", "other"), kMissing);
}

TEST_F(JXPlatformInfoTest, ValueChangedBetweenTwoCallsIsSeen)
{
    writeFile(path, "[Runtime]\nnHMONLINE=0\n");
    EXPECT_EQ(lookup("Runtime", "nHMONLINE"), "0");
    writeFile(path, "[Runtime]\nnHMONLINE=1\n"); // rewritten in place
    EXPECT_EQ(lookup("Runtime", "nHMONLINE"), "1");
    replaceFile("[Runtime]\nnHMONLINE=2\n");
    EXPECT_EQ(lookup("Runtime", "nHMONLINE"), "2");
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_EQ(lookup("Runtime", "nHMONLINE"), kMissing);
}

TEST_F(JXPlatformInfoTest, FileReplacedAndTruncatedWhileReadGivesOldNewOrNothing)
{
    // Comment padding puts the key well into the file, so cuts and partial
    // reads can miss it; the whole file stays within one page.
    std::string padding;
    for (int i = 0; padding.size() < 2500; ++i)
        padding += "; padding line " + std::to_string(i) + " ....................\n";
    const std::string values[] = {"online", "offline-for-maintenance"};
    auto content = [&](int i) {
        return "[Other]\nx=1\n" + padding + "[Runtime]\nnHMONLINE=" + values[i % 2] + "\n";
    };
    writeFile(path, content(0));

    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 1500; ++i) {
            if (i % 3 == 0)
                replaceFile(content(i));
            else if (i % 3 == 1)
                writeFile(path, content(i));
            else
                EXPECT_EQ(truncate(path.c_str(), off_t(padding.size() / 2)), 0);
        }
        done = true;
    });
    std::string bad;
    while (!done.load()) {
        const std::string v = lookup("Runtime", "nHMONLINE");
        if (v != kMissing && v != values[0] && v != values[1] && bad.empty())
            bad = v;
    }
    writer.join();
    EXPECT_EQ(bad, "");
}

TEST_F(JXPlatformInfoTest, RefusesAFileItCannotReadWholeAndSaysWhy)
{
    mkfifo((dir.path() + "/fifo").c_str(), 0600);
    const std::string longest(197, 'x'), tooLong(198, 'x');
    struct Case {
        std::string file, content, found, why;
    } cases[] = {
        {path, "[Runtime]\nnHMONLINE=0\n;" + longest.substr(1) + "\r\n", "0", ""},
        // The tail of a longer line must not count as a line of its own.
        {path, "[Runtime]\nnHMONLINE=0\n;" + tooLong + "nHMONLINE=1\n", kMissing,
         "line 3 is longer than 197 characters"},
        {path, "[Runtime]\nnHMONLINE=1\n" + std::string(1024 * 1024, ';'), kMissing,
         "larger than 1 MiB"},
        {dir.path() + "/fifo", "", kMissing, "not a regular file"},
        {dir.path(), "", kMissing, "Is a directory"},
        {dir.path() + "/none", "", kMissing, "No such file or directory"},
    };
    // A user who may not read the file is told so, not that the key is unset.
    writeFile(path, "[Runtime]\nnHMONLINE=1\n");
    chmod(path.c_str(), 0600);
    EXPECT_EQ(oscprobe_test::runInChild([this]() -> std::string {
                  if (setresuid(65534, 65534, 65534) != 0)
                      return "setresuid failed";
                  std::string value, why;
                  info.getString("Runtime", "nHMONLINE", &value, &why);
                  return why == "Permission denied" ? "" : "why: " + why;
              }),
              "");
    for (const Case& c : cases) {
        if (c.file == path)
            writeFile(path, c.content);
        JXPlatformInfo::setSettingsFile(c.file);
        std::string value = kMissing, why = "stale";
        const bool found = info.getString("Runtime", "nHMONLINE", &value, &why) != 0;
        EXPECT_EQ(value, c.found) << c.file;
        EXPECT_EQ(found, c.found != kMissing) << c.file;
        EXPECT_EQ(why, c.why) << c.file;
    }
}

} // namespace
