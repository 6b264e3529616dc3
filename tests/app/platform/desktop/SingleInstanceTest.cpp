#include "app/platform/desktop/SingleInstance.h"

#include "support/app/Eventually.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

using namespace app;

// Two starts of the program itself against one home: the second asks the first for its window
// and ends with 0; the first stays, and a SIGTERM later ends it as a normal quit.
TEST(SingleInstance, ASecondStartRaisesTheFirstAndEnds)
{
    QTemporaryDir home;
    const QString runtime = home.filePath("runtime");
    ASSERT_TRUE(QDir().mkpath(runtime));
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", home.path());
    environment.insert("XDG_RUNTIME_DIR", runtime);
    environment.insert("XDG_DATA_HOME", home.filePath("data"));
    environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
    environment.insert("XDG_CACHE_HOME", home.filePath("cache"));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("QT_FORCE_STDERR_LOGGING", "1");
    environment.insert("QT_LOGGING_RULES", "tessivarnholm.instance.info=true");
    // Leaks of the desktop libraries at exit are not this test's business.
    environment.insert("ASAN_OPTIONS", "detect_leaks=0:intercept_tls_get_addr=0");

    QProcess first;
    first.setProcessEnvironment(environment);
    first.setProcessChannelMode(QProcess::SeparateChannels);
    first.start(TESS_PROGRAM, QStringList());
    ASSERT_TRUE(first.waitForStarted());
    QByteArray firstSaid;
    ASSERT_EVENTUALLY(QFile::exists(runtime + "/tessivarnholm.socket"));

    QProcess second;
    second.setProcessEnvironment(environment);
    second.start(TESS_PROGRAM, QStringList());
    ASSERT_TRUE(second.waitForFinished(60000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();

    ASSERT_EVENTUALLY((firstSaid += first.readAllStandardError()).contains("a later start asked for the window"));
    EXPECT_EQ(first.state(), QProcess::Running);
    first.terminate();
    ASSERT_TRUE(first.waitForFinished(60000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);
}
