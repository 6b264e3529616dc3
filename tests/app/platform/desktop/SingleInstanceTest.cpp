#include "app/platform/desktop/SingleInstance.h"

#include "support/app/Eventually.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

// Two starts of the program itself against one home: the second asks the first for its window
// and ends with 0; the first stays, and SIGTERM later ends it as a normal quit.
TEST(SingleInstance, ASecondStartRaisesTheFirstAndEnds)
{
    QTemporaryDir home;
    const QString runtime = home.filePath("runtime");
    ASSERT_TRUE(QDir().mkdir(runtime));
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
        environment.insert(name, home.filePath(name));
    environment.insert("XDG_RUNTIME_DIR", runtime);
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("QT_FORCE_STDERR_LOGGING", "1");
    environment.insert("QT_LOGGING_RULES", "tessivarnholm.instance.info=true");
    // Leaks of the desktop libraries at exit are not this test's business.
    environment.insert("ASAN_OPTIONS", "detect_leaks=0:intercept_tls_get_addr=0");
    QProcess first, second;
    first.setProcessEnvironment(environment);
    second.setProcessEnvironment(environment);

    first.start(TESS_PROGRAM, QStringList());
    ASSERT_EVENTUALLY(QFile::exists(runtime + "/tessivarnholm.socket"));
    second.start(TESS_PROGRAM, QStringList());
    ASSERT_TRUE(second.waitForFinished(60000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
    QByteArray firstSaid;
    ASSERT_EVENTUALLY((firstSaid += first.readAllStandardError()).contains("a later start asked for the window"));

    first.terminate();
    ASSERT_TRUE(first.waitForFinished(60000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);
}
