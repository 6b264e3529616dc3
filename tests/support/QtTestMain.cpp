#include "support/NamespaceSandbox.h"
#include "support/TestEnvironment.h"

#include "app/platform/playback/VideoPlayer.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QTemporaryDir>

#include <csignal>
#include <cstdlib>

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    setUpTestEnvironment();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    tess::testing::runChildBodyIfRequested(argc, argv);
#ifdef TESS_NETWORK_SANDBOX
    // Built so for the programs whose tests announce and dial: they run in a namespace of their own.
    tess::testing::enterNetworkSandbox(argc, argv, {.avahi = true});
#endif

    // Tests never touch the user's own data or settings.
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", (home.path() + "/data").toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    qputenv("XDG_CACHE_HOME", (home.path() + "/cache").toUtf8());

    // The program speaks Chinese whatever the locale: test it under one whose words are English,
    // as on a fresh install, so that a word taken from the locale shows.
    setenv("LC_ALL", "C.UTF-8", 1);

    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Tessivarnholm");
    QCoreApplication::setApplicationName("Tessivarnholm");

    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    // Players end their engines off the main thread: none may be left running as the program ends.
    app::VideoPlayer::waitForRetired(30000);
    return result;
}
