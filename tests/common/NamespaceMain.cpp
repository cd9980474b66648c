// gtest main for test executables that need private network and mount
// namespaces. It moves the process before any thread exists; a failure
// turns into a skip with the reason in every test that asks.
#include <gtest/gtest.h>

#include "TestSupport.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    oscprobe_test::enterPrivateNamespaces();
    return RUN_ALL_TESTS();
}
