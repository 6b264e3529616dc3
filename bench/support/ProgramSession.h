#pragma once

// The real program as a user runs it, for benchmarks: its executable started in a home of its own
// (its settings, data, caches and runtime folder there, one library registered as the program
// registers one), pinned to some cores, on an X display, its sound to a given PulseAudio server;
// driven with xdotool's pointer and keys, looked at through screenshots.

#include <QByteArray>
#include <QImage>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <optional>

namespace bench {

// A process of the benchmark's own (the display, the sound server), ended by its pid with the object.
class Helper {
public:
    Helper() = default;
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;
    ~Helper();
    // On `cores`, with extra environment; `keepFd` stays open in the child.
    bool start(const QStringList& command, const QStringList& environment, const QString& cores, int keepFd = -1);
    qint64 pid() const { return pid_; }

private:
    qint64 pid_ = -1;
};

// Xvfb at 1920x1080 on a display number it picks itself: ":N".
bool startDisplay(Helper& display, const QString& cores, QByteArray& name);
// A PulseAudio server with one null sink called `sink`, its socket in `folder`: "unix:…".
bool startSoundServer(Helper& sound, const QString& cores, const QString& folder, const QString& sink,
                      QString& server);

// The whole screen, grabbed once.
QImage screenshot(const QByteArray& display);

class ProgramSession {
public:
    // A home holding one library named `libraryName` whose folder holds only `clip` (linked, or
    // copied when it is on another file system).
    ProgramSession(const QString& executable, const QString& clip, const QString& libraryName);
    ~ProgramSession();
    bool ready() const { return ready_; }
    QString home() const { return home_.path(); }

    // Starts the program on `cores` and waits for its window.
    bool start(const QByteArray& display, const QString& soundServer, const QString& cores);
    // Asks the program to quit as a user does; ends it by its pid when it does not.
    void quit();
    qint64 pid() const { return program_.processId(); }
    // Its main window on the screen, once started.
    QRect window() const { return window_; }

    void click(QPoint at) const;
    void key(const char* name) const;
    // Until `done` holds for a screenshot, at most `seconds`.
    std::optional<QImage> waitForScreen(const std::function<bool(const QImage&)>& done, double seconds) const;

private:
    bool xdotool(const QStringList& args, QByteArray* out = nullptr) const;

    QTemporaryDir home_;
    QString executable_;
    QByteArray display_;
    QProcess program_;
    QRect window_;
    bool ready_ = false;
};

// Where a moving picture is on the screen: the rectangle most of whose rows and columns changed
// between the two screenshots. Empty when nothing moved.
QRect movingRect(const QImage& before, const QImage& after);
// The whole picture around what moves: the part not black of the later screenshot joined to it
// (the viewer frames its picture in black).
QRect pictureRect(const QImage& before, const QImage& after);

} // namespace bench
