#include "app/platform/desktop/SingleInstance.h"

#include "support/NamespaceSandbox.h"
#include "support/app/Wait.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace app;

namespace {

// Starts of the program itself against one home, logging what the instance lock does.
struct Home {
    QTemporaryDir dir;
    QString runtime = dir.filePath("runtime");
    QString cache = dir.filePath("XDG_CACHE_HOME") + "/Tessivarnholm";
    // Each start sees the runtime folder read-only with a writable lock file in it, as a user's
    // own lock in a folder of mode 0500: a read-only bind mount in a mount namespace of its own
    // (mode bits would not stop root, and Qt puts them back to 0700), the lock bound over it.
    bool readOnlyRuntime = false;
    QString writableLock = dir.filePath("writable.lock");

    Home()
    {
        QDir().mkdir(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void start(QProcess& process) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
            environment.insert(name, dir.filePath(name));
        environment.insert("XDG_RUNTIME_DIR", runtime);
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("QT_FORCE_STDERR_LOGGING", "1");
        environment.insert("QT_LOGGING_RULES", "tessivarnholm.instance.info=true");
        // Leaks of the desktop libraries at exit are not this test's business.
        environment.insert("ASAN_OPTIONS", "detect_leaks=0:intercept_tls_get_addr=0");
        process.setProcessEnvironment(environment);
        if (readOnlyRuntime) {
            const QString script = QStringLiteral(
                "mount --bind -o ro \"$1\" \"$1\" && mount --bind \"$2\" \"$1/tessivarnholm.lock\" && exec \"$3\"");
            process.start("unshare", {"--mount", "--propagation", "private", "sh", "-c", script, "sh", runtime,
                                      writableLock, TESS_PROGRAM});
        } else {
            process.start(TESS_PROGRAM, QStringList());
        }
    }
};

// Waits until `done`, or until the process ended, for as long as that takes: a loaded machine
// starts the program slowly, and only the test's own time-out may end a program that hangs.
template <typename Done>
bool until(QProcess& process, QByteArray& heard, Done done)
{
    (void)test::waitFor(
        [&] {
            heard += process.readAllStandardError();
            return done() || process.state() == QProcess::NotRunning;
        },
        std::numeric_limits<int>::max());
    heard += process.readAllStandardError();
    return done();
}

bool said(QProcess& process, QByteArray& heard, const QByteArray& line)
{
    return until(process, heard, [&] { return heard.contains(line); });
}

// A listening socket at `path`: the kernel takes connections to it until they are accepted.
int listenAt(const QString& path)
{
    const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    if (::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(server, 4) != 0) {
        ::close(server);
        return -1;
    }
    return server;
}

// Takes the instance lock in `folder` as a first program does; -1 when it cannot.
int lockIn(const QString& folder)
{
    const QByteArray path = QFile::encodeName(folder + "/tessivarnholm.lock");
    const int lock = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock >= 0 && ::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        ::close(lock);
        return -1;
    }
    return lock;
}

} // namespace

// Two starts against one home: the second asks the first for its window and ends with 0; the first
// stays, and SIGTERM later ends it as a normal quit. The same when the runtime folder cannot hold
// the lock, or no socket beside it (read-only, a writable lock file already there): then both are
// in the cache folder, made first.
TEST(SingleInstance, ASecondStartRaisesTheFirstAndEnds)
{
    enum Runtime { usable, lockIsALink, lockIsAFolder, readOnlyWithAWritableLock };
    for (const Runtime runtime : {usable, lockIsALink, lockIsAFolder, readOnlyWithAWritableLock}) {
        SCOPED_TRACE(runtime);
        if (runtime == readOnlyWithAWritableLock && !tess::testing::unshareSkipReason().empty()) {
            std::fprintf(stderr, "SKIPPED LOUDLY: read-only runtime folder: %s\n", tess::testing::unshareSkipReason().c_str());
            continue;
        }
        Home home;
        const QString lock = home.runtime + "/tessivarnholm.lock";
        if (runtime == readOnlyWithAWritableLock) {
            for (const QString& file : {lock, home.writableLock})
                ASSERT_TRUE(QFile(file).open(QIODevice::WriteOnly));
            home.readOnlyRuntime = true;
        } else if (runtime == lockIsALink) {
            QFile target(home.dir.filePath("elsewhere"));
            ASSERT_TRUE(target.open(QIODevice::WriteOnly));
            ASSERT_TRUE(QFile::link(target.fileName(), lock));
        } else if (runtime == lockIsAFolder) {
            ASSERT_TRUE(QDir().mkdir(lock));
        }
        const QString socketFolder = runtime == usable ? home.runtime : home.cache;
        QProcess first, second;
        home.start(first);
        QByteArray firstSaid;
        // A first that took the lock where it cannot listen says so and is never reached.
        ASSERT_TRUE(until(first, firstSaid, [&] {
            return QFile::exists(socketFolder + "/tessivarnholm.socket") || firstSaid.contains("cannot reach");
        }));
        ASSERT_TRUE(QFile::exists(socketFolder + "/tessivarnholm.socket")) << firstSaid.toStdString();
        home.start(second);
        ASSERT_TRUE(second.waitForFinished(-1));
        EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
        EXPECT_TRUE(said(first, firstSaid, "a later start asked for the window"));

        first.terminate();
        ASSERT_TRUE(first.waitForFinished(-1));
        EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(first.exitCode(), 0);
        EXPECT_FALSE(QFile::exists(socketFolder + "/tessivarnholm.socket"));
    }
}

// A first program that neither answers nor ends (it holds the lock, its socket takes the
// connection and never reads it): the second start says so and ends with a failure once the user
// closed the message.
TEST(SingleInstance, AStartThatGetsNoAnswerSaysSoAndFails)
{
    Home home;
    const int lock = lockIn(home.runtime);
    ASSERT_GE(lock, 0);
    const int server = listenAt(home.runtime + "/tessivarnholm.socket");
    ASSERT_GE(server, 0);
    QProcess second;
    home.start(second);
    QByteArray secondSaid;
    EXPECT_TRUE(said(second, secondSaid, SingleInstance::notAnsweringText.toUtf8())) << secondSaid.toStdString();
    second.terminate(); // as closing the message does
    ASSERT_TRUE(second.waitForFinished(-1));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_NE(second.exitCode(), 0);
    ::close(server);
    ::close(lock);
}

// A later start while the first holds the lock but does not answer yet: the first ends (it was
// quitting) and this start runs; or the first begins listening (it had just taken the lock) and is
// reached.
TEST(SingleInstance, ALaterStartWaitsForTheFirstToAnswerOrEnd)
{
    for (const bool firstEnds : {true, false}) {
        SCOPED_TRACE(firstEnds ? "the first ends" : "the first listens late");
        Home home;
        const int lock = lockIn(home.runtime);
        ASSERT_GE(lock, 0);
        SingleInstance later(home.runtime, home.cache);
        ASSERT_FALSE(later.isFirst());
        bool answered = false;
        std::thread first([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (firstEnds) {
                ::close(lock);
                return;
            }
            const int server = listenAt(home.runtime + "/tessivarnholm.socket");
            pollfd waiting {server, POLLIN, 0};
            if (::poll(&waiting, 1, 10000) == 1) {
                const int peer = ::accept(server, nullptr, nullptr);
                char request[16] = {};
                answered = ::read(peer, request, sizeof request) > 0 && ::write(peer, "ok\n", 3) == 3;
                ::close(peer);
            }
            ::close(server);
        });
        const SingleInstance::Answer answer = later.askFirstToRaise();
        first.join();
        if (!firstEnds)
            ::close(lock);
        EXPECT_EQ(answer, firstEnds ? SingleInstance::Answer::firstEnded : SingleInstance::Answer::raised);
        EXPECT_EQ(later.isFirst(), firstEnds);
        EXPECT_EQ(answered, !firstEnds);
    }
}
