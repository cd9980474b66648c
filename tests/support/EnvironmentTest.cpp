// The debug level from the environment: read once, and only where nothing
// set a level first.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "EvDebug.h"
#include "TestSupport.h"

TEST(EnvironmentTest, DebugLevelIsReadOnceFromTheEnvironmentUnlessSetFirst)
{
    const struct {
        const char* value; // null: unset
        int setFirst;      // -1: nothing set before the first use
        int level;
    } rows[] = {{"3", -1, 3}, {"0", -1, 0}, {"abc", -1, 1}, {nullptr, -1, 1}, {"4", 2, 2}};
    for (const auto& row : rows) {
        oscprobe_test::inChild([&row] {
            if (row.value != nullptr)
                setenv("OSCPROBE_DEBUG_LEVEL", row.value, 1);
            else
                unsetenv("OSCPROBE_DEBUG_LEVEL");
            if (row.setFirst >= 0)
                EvDebug::setDebugLevel(row.setFirst);
            EvDebug log(nullptr);
            EXPECT_EQ(log.getDebugLevel(), row.level) << (row.value ? row.value : "unset");
            setenv("OSCPROBE_DEBUG_LEVEL", "7", 1);
            EXPECT_EQ(log.getDebugLevel(), row.level);
        });
    }
}
