#pragma once

#include "support/app/Wait.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/prctl.h>

#include <csignal>

namespace app::test {

// A PulseAudio server of the test's own with one null sink, which this process reaches through
// PULSE_SERVER from then on; stopped with the object. A real device takes samples in bursts,
// corks a paused stream and drops a stream that goes: nothing of that happens without one. Make
// it before anything asks Qt for sound devices.
class SoundServer {
public:
    SoundServer()
    {
        socket_ = dir_.filePath("native");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", dir_.path());
        environment.insert("XDG_RUNTIME_DIR", dir_.path());
        server_.setProcessEnvironment(environment);
        server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // A test killed on its time-out takes its server with it.
        server_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        server_.start("pulseaudio", {"-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
                                     "--log-level=error", "-L", "module-null-sink sink_name=test",
                                     "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + socket_});
        if (!server_.waitForStarted(5000) || !waitFor([&] { return answers(); }, 10000)) {
            ADD_FAILURE() << "pulseaudio did not start";
            return;
        }
        qputenv("PULSE_SERVER", ("unix:" + socket_).toUtf8());
    }
    ~SoundServer()
    {
        qunsetenv("PULSE_SERVER");
        stop();
    }

    // The sink stops taking samples (as a device suspended under a stream), or takes them again.
    bool suspendSink(bool suspended) const
    {
        bool ok = false;
        pactl({"suspend-sink", "test", suspended ? "1" : "0"}, &ok);
        return ok;
    }
    // The server stops answering, as a hung one does, without closing its connections; or answers
    // again.
    bool pause(bool paused)
    {
        return server_.processId() > 0 && ::kill(pid_t(server_.processId()), paused ? SIGSTOP : SIGCONT) == 0;
    }
    // The server goes away with its streams, as one that is restarted does. Qt does not reach
    // another in this process.
    void stop()
    {
        pause(false);
        server_.terminate();
        if (!server_.waitForFinished(3000))
            server_.kill();
    }

    // Each stream playing into the sink now: whether it is corked (paused).
    QList<bool> streamsCorked() const
    {
        QList<bool> corked;
        for (const QString& line : pactl({"list", "sink-inputs"}).split('\n'))
            if (line.trimmed().startsWith("Corked:"))
                corked.append(line.trimmed().endsWith("yes"));
        return corked;
    }

private:
    QString pactl(const QStringList& arguments, bool* ok = nullptr) const
    {
        QProcess p;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PULSE_SERVER", "unix:" + socket_);
        environment.insert("LC_ALL", "C");
        p.setProcessEnvironment(environment);
        p.start("pactl", arguments);
        p.waitForFinished(5000);
        if (ok)
            *ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        return p.exitCode() == 0 ? QString::fromUtf8(p.readAllStandardOutput()) : QString();
    }
    bool answers() const { return QFileInfo::exists(socket_) && !pactl({"info"}).isEmpty(); }

    QTemporaryDir dir_;
    QString socket_;
    QProcess server_;
};

} // namespace app::test
