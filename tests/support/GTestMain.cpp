#include "support/NamespaceSandbox.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv)
{
    // A peer that hangs up must surface as an error, not kill the test program.
    std::signal(SIGPIPE, SIG_IGN);
    setUpTestEnvironment();
    tess::testing::runChildBodyIfRequested(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
