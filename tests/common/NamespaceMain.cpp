// gtest main for test executables that need private network and mount
// namespaces. It moves the process before any thread exists; a failure
// turns into a skip with the reason in every test that asks.
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    std::string why;
    if (oscprobe_test::enterPrivateNamespaces(&why))
        oscprobe_test::setNamespaceSkipReason(std::string());
    else
        oscprobe_test::setNamespaceSkipReason(why);
    return RUN_ALL_TESTS();
}
