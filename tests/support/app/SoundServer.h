#pragma once

#include "support/app/Wait.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/prctl.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <memory>

namespace app::test {

// What a sound server's sink put out while it was recorded: 16-bit mono at 44.1 kHz, as its monitor
// gives it to a listener. Started with the object; stop() ends it.
class MonitorRecording {
public:
    static constexpr int rate = 44100;

    explicit MonitorRecording(const QString& socket)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PULSE_SERVER", "unix:" + socket);
        parec_.setProcessEnvironment(environment);
        parec_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        parec_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        // A listener that asks for little latency would make the sink mix little ahead.
        parec_.start("parec", {"-d", "test.monitor", "--raw", "--format=s16le", "--channels=1",
                               "--rate=" + QString::number(rate), "--latency-msec=1000"});
        // The sink plays silence while nothing plays into it: samples coming say the recording runs.
        if (!parec_.waitForStarted(5000) || !waitFor([&] { return seconds() > 0.05; }, 10000))
            ADD_FAILURE() << "the sink's monitor could not be recorded";
    }
    ~MonitorRecording() { stop(); }

    double seconds()
    {
        samples_ += parec_.readAllStandardOutput();
        return double(samples_.size() / 2) / rate;
    }
    // Records `more` seconds past what it has (what the sink had rendered ahead comes out), then stops.
    void stop(double more = 0.3)
    {
        if (parec_.state() == QProcess::NotRunning)
            return;
        const double until = seconds() + more;
        if (!waitFor([&] { return seconds() >= until; }, 5000))
            ADD_FAILURE() << "the sink's monitor stopped";
        parec_.terminate();
        parec_.waitForFinished(3000);
        seconds();
    }
    // How long a tone of `hz` is heard, in seconds: the 10 ms pieces of the recording loud enough
    // and crossing zero about as often as the tone does.
    double heard(double hz = 440)
    {
        seconds();
        const qsizetype piece = rate / 100, count = samples_.size() / 2;
        const double crossings = 2 * hz / 100;
        int pieces = 0;
        for (qsizetype at = 0; at + piece <= count; at += piece) {
            double energy = 0;
            int crossed = 0;
            qint16 previous = sample(at);
            for (qsizetype i = at; i < at + piece; ++i) {
                const qint16 s = sample(i);
                energy += double(s) * s;
                crossed += (s >= 0) != (previous >= 0);
                previous = s;
            }
            const double rms = std::sqrt(energy / double(piece)) / 32768;
            pieces += rms > 0.02 && std::abs(crossed - crossings) <= 0.25 * crossings;
        }
        return pieces / 100.0;
    }

private:
    qint16 sample(qsizetype i) const
    {
        qint16 s = 0;
        std::memcpy(&s, samples_.constData() + 2 * i, 2);
        return s;
    }

    QProcess parec_;
    QByteArray samples_;
};

// A PulseAudio server of the test's own with one null sink, which this process reaches through
// PULSE_SERVER from then on; stopped with the object. A real device takes samples in bursts,
// corks a paused stream and drops a stream that goes: nothing of that happens without one.
class SoundServer {
public:
    enum Sink {
        // Mixes as far ahead as its listeners let it (a second while recorded here) and takes a
        // new stream only once it has played that, as a device that sleeps between long blocks.
        mixingAhead,
        // Mixes 50 ms ahead, and a new stream is heard within that.
        prompt,
    };
    explicit SoundServer(Sink sink = mixingAhead) : sink_(sink)
    {
        socket_ = dir_.filePath("native");
        start();
        qputenv("PULSE_SERVER", ("unix:" + socket_).toUtf8());
    }
    ~SoundServer()
    {
        qunsetenv("PULSE_SERVER");
        stop();
    }

    // Starts the server again on the same socket after stop(), as a restarted one comes back.
    void start()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", dir_.path());
        environment.insert("XDG_RUNTIME_DIR", dir_.path());
        server_.setProcessEnvironment(environment);
        server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // A test killed on its time-out takes its server with it.
        server_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        server_.start("pulseaudio", {"-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
                                     "--use-pid-file=no", "--log-level=error", "-L",
                                     QString("module-null-sink sink_name=test") + (sink_ == prompt ? " norewinds=1" : ""),
                                     "-L",
                                     "module-native-protocol-unix auth-anonymous=1 socket=" + socket_});
        if (!server_.waitForStarted(5000) || !waitFor([&] { return answers(); }, 10000))
            ADD_FAILURE() << "pulseaudio did not start";
    }
    std::unique_ptr<MonitorRecording> record() const { return std::make_unique<MonitorRecording>(socket_); }

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
    // The server goes away with its streams, as one that is restarted does.
    void stop()
    {
        pause(false);
        server_.terminate();
        if (!server_.waitForFinished(3000))
            server_.kill();
        server_.waitForFinished(3000);
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

    Sink sink_;
    QTemporaryDir dir_;
    QString socket_;
    QProcess server_;
};

} // namespace app::test
