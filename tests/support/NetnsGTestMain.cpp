#include "support/NamespaceSandbox.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <csignal>

// Network tests run inside a namespace of their own, with their own dbus and avahi-daemon.
int main(int argc, char** argv)
{
    tess::testing::runChildBodyIfRequested(argc, argv);
    tess::testing::enterNetworkSandbox(argc, argv, {.avahi = true});
    std::signal(SIGPIPE, SIG_IGN);
    setUpTestEnvironment();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
