#include "support/ProgramSession.h"

#include "app/platform/volumes/LinuxBookmarkService.h"
#include "app/platform/volumes/LinuxMountTable.h"
#include "app/platform/volumes/MountInfoVolumeMonitor.h"
#include "app/services/library/LibraryStore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QThread>

#include <fcntl.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace bench {

Helper::~Helper()
{
    if (pid_ <= 0)
        return;
    kill(pid_t(pid_), SIGTERM);
    int status = 0;
    for (int i = 0; i < 50 && waitpid(pid_t(pid_), &status, WNOHANG) == 0; ++i)
        usleep(100'000);
    if (waitpid(pid_t(pid_), &status, WNOHANG) == 0) {
        kill(pid_t(pid_), SIGKILL);
        waitpid(pid_t(pid_), &status, 0);
    }
}

bool Helper::start(const QStringList& command, const QStringList& environment, const QString& cores, int keepFd)
{
    std::vector<QByteArray> args{"taskset", "-c", cores.toLocal8Bit()};
    for (const QString& a : command)
        args.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<QByteArray> env;
    for (const QString& e : environment)
        env.push_back(e.toLocal8Bit());
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        // Ends with the benchmark, however that ends.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        for (QByteArray& e : env)
            putenv(e.data());
        // Quiet unless it fails to start.
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, STDOUT_FILENO);
        (void)keepFd;
        execvp(argv[0], argv.data());
        _exit(127);
    }
    pid_ = pid;
    return true;
}

bool startDisplay(Helper& display, const QString& cores, QByteArray& name)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    if (!display.start({"Xvfb", "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-displayfd",
                        QString::number(fds[1])},
                       {}, cores, fds[1])) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    close(fds[1]);
    QByteArray number;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(fds[0]);
    if (number.isEmpty())
        return false;
    name = ":" + number;
    return true;
}

bool startSoundServer(Helper& sound, const QString& cores, const QString& folder, const QString& sink,
                      QString& server)
{
    const QString socket = folder + "/native";
    if (!sound.start({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
                      "--log-level=error", "-L", "module-null-sink sink_name=" + sink, "-L",
                      "module-native-protocol-unix auth-anonymous=1 socket=" + socket},
                     {"HOME=" + folder, "XDG_RUNTIME_DIR=" + folder}, cores))
        return false;
    server = "unix:" + socket;
    for (int i = 0; i < 100; ++i) {
        if (QFileInfo::exists(socket)) {
            QProcess info;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("PULSE_SERVER", server);
            info.setProcessEnvironment(environment);
            info.start("pactl", {"info"});
            if (info.waitForFinished(5000) && info.exitCode() == 0)
                return true;
        }
        QThread::msleep(100);
    }
    return false;
}

QImage screenshot(const QByteArray& display)
{
    QProcess grab;
    grab.start("ffmpeg", {"-nostdin", "-v", "error", "-f", "x11grab", "-draw_mouse", "0", "-i", QString(display),
                          "-frames:v", "1", "-f", "image2pipe", "-c:v", "png", "-"});
    if (!grab.waitForFinished(20'000) || grab.exitCode() != 0)
        return {};
    return QImage::fromData(grab.readAllStandardOutput(), "PNG").convertToFormat(QImage::Format_RGB32);
}

ProgramSession::ProgramSession(const QString& executable, const QString& clip, const QString& libraryName)
    : home_(QDir::tempPath() + "/tess-bench-home-XXXXXX"), executable_(executable)
{
    const QDir home(home_.path());
    for (const char* folder : {"config", "data", "cache", "runtime", "library"})
        home.mkpath(folder);
    QFile::setPermissions(home.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString linked = home.filePath("library/" + QFileInfo(clip).fileName());
    // The library skips symbolic links: the file itself is linked.
    if (link(QFile::encodeName(QFileInfo(clip).canonicalFilePath()).constData(), QFile::encodeName(linked).constData()) != 0
        && !QFile::copy(clip, linked)) {
        std::fprintf(stderr, "cannot put %s into the library folder\n", qPrintable(clip));
        return;
    }
    // Registered by the program's own store, with the bookmark it would make for the folder.
    app::LinuxMountTable mounts;
    app::LinuxBookmarkService bookmarks(mounts);
    app::MountInfoVolumeMonitor volumes;
    app::LibraryStore store({&bookmarks, &volumes, nullptr, nullptr, {}}, home.filePath("data/Tessivarnholm"));
    ready_ = store.addLibrary(home.filePath("library"), libraryName).has_value();
}

ProgramSession::~ProgramSession()
{
    quit();
}

bool ProgramSession::start(const QByteArray& display, const QString& soundServer, const QString& cores)
{
    display_ = display;
    const QDir home(home_.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", home.path());
    environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
    environment.insert("XDG_DATA_HOME", home.filePath("data"));
    environment.insert("XDG_CACHE_HOME", home.filePath("cache"));
    environment.insert("XDG_RUNTIME_DIR", home.filePath("runtime"));
    environment.insert("DISPLAY", QString(display));
    environment.insert("PULSE_SERVER", soundServer);
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.remove("WAYLAND_DISPLAY");
    environment.remove("DBUS_SESSION_BUS_ADDRESS");
    program_.setProcessEnvironment(environment);
    program_.setStandardOutputFile(home.filePath("program.log"));
    program_.setStandardErrorFile(home.filePath("program.log"));
    program_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    program_.start("taskset", {"-c", cores, executable_});
    if (!program_.waitForStarted(10'000))
        return false;
    QProcess search;
    search.setProcessEnvironment(environment);
    search.start("xdotool", {"search", "--sync", "--onlyvisible", "--pid", QString::number(program_.processId())});
    if (!search.waitForFinished(60'000) || search.exitCode() != 0) {
        search.kill();
        search.waitForFinished();
        return false;
    }
    // The largest of its windows shown is the main one.
    window_ = QRect();
    for (const QByteArray& id : search.readAllStandardOutput().split('\n')) {
        QByteArray shell;
        if (id.trimmed().isEmpty() || !xdotool({"getwindowgeometry", "--shell", QString(id.trimmed())}, &shell))
            continue;
        QHash<QByteArray, int> values;
        for (const QByteArray& line : shell.split('\n'))
            if (const qsizetype at = line.indexOf('='); at > 0)
                values.insert(line.left(at), line.mid(at + 1).toInt());
        const QRect rect(values.value("X"), values.value("Y"), values.value("WIDTH"), values.value("HEIGHT"));
        if (rect.width() * rect.height() > window_.width() * window_.height())
            window_ = rect;
    }
    return !window_.isEmpty();
}

void ProgramSession::quit()
{
    if (program_.state() == QProcess::NotRunning)
        return;
    xdotool({"key", "ctrl+q"});
    if (program_.waitForFinished(10'000))
        return;
    program_.terminate();
    if (!program_.waitForFinished(10'000)) {
        program_.kill();
        program_.waitForFinished();
    }
}

bool ProgramSession::xdotool(const QStringList& args, QByteArray* out) const
{
    QProcess p;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", QString(display_));
    p.setProcessEnvironment(environment);
    p.start("xdotool", args);
    if (!p.waitForFinished(10'000) || p.exitCode() != 0)
        return false;
    if (out)
        *out = p.readAllStandardOutput();
    return true;
}

void ProgramSession::click(QPoint at) const
{
    xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
}

void ProgramSession::key(const char* name) const
{
    xdotool({"key", name});
}

std::optional<QImage> ProgramSession::waitForScreen(const std::function<bool(const QImage&)>& done,
                                                    double seconds) const
{
    QElapsedTimer t;
    t.start();
    do {
        const QImage shot = screenshot(display_);
        if (!shot.isNull() && done(shot))
            return shot;
        QThread::msleep(200);
    } while (t.elapsed() < qint64(seconds * 1000));
    return std::nullopt;
}

QRect movingRect(const QImage& before, const QImage& after)
{
    if (before.size() != after.size() || before.isNull())
        return {};
    const int w = before.width(), h = before.height();
    std::vector<int> rows(size_t(h), 0), columns(size_t(w), 0);
    std::vector<unsigned char> changed(size_t(w) * size_t(h), 0);
    for (int y = 0; y < h; ++y) {
        const QRgb* a = reinterpret_cast<const QRgb*>(before.constScanLine(y));
        const QRgb* b = reinterpret_cast<const QRgb*>(after.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            const bool differs = std::abs(qRed(a[x]) - qRed(b[x])) + std::abs(qGreen(a[x]) - qGreen(b[x]))
                                     + std::abs(qBlue(a[x]) - qBlue(b[x]))
                                 > 12;
            changed[size_t(y) * size_t(w) + size_t(x)] = differs;
            rows[size_t(y)] += differs;
        }
    }
    // The picture's rows change almost whole; a clock's label or a button changes a few pixels.
    const int mostInRow = *std::max_element(rows.begin(), rows.end());
    if (mostInRow < 16)
        return {};
    int top = -1, bottom = -1;
    for (int y = 0; y < h; ++y)
        if (rows[size_t(y)] * 2 >= mostInRow) {
            top = top < 0 ? y : top;
            bottom = y;
            for (int x = 0; x < w; ++x)
                columns[size_t(x)] += changed[size_t(y) * size_t(w) + size_t(x)];
        }
    const int mostInColumn = *std::max_element(columns.begin(), columns.end());
    int left = -1, right = -1;
    for (int x = 0; x < w; ++x)
        if (columns[size_t(x)] * 2 >= mostInColumn) {
            left = left < 0 ? x : left;
            right = x;
        }
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

QRect pictureRect(const QImage& before, const QImage& after)
{
    const QRect moving = movingRect(before, after);
    if (moving.isEmpty())
        return {};
    // The picture is framed by the viewer's black: everything not black joined to where it moves.
    auto lit = [&](int x, int y) {
        const QRgb p = after.pixel(x, y);
        return std::max({qRed(p), qGreen(p), qBlue(p)}) >= 16;
    };
    QPoint seed = moving.center();
    for (int x = moving.left(); x <= moving.right() && !lit(seed.x(), seed.y()); ++x)
        seed.setX(x);
    if (!lit(seed.x(), seed.y()))
        return moving;
    const int w = after.width(), h = after.height();
    std::vector<unsigned char> seen(size_t(w) * size_t(h), 0);
    std::vector<QPoint> stack{seed};
    seen[size_t(seed.y()) * size_t(w) + size_t(seed.x())] = 1;
    int left = seed.x(), right = seed.x(), top = seed.y(), bottom = seed.y();
    while (!stack.empty()) {
        const QPoint p = stack.back();
        stack.pop_back();
        left = std::min(left, p.x());
        right = std::max(right, p.x());
        top = std::min(top, p.y());
        bottom = std::max(bottom, p.y());
        for (const QPoint d : {QPoint(1, 0), QPoint(-1, 0), QPoint(0, 1), QPoint(0, -1)}) {
            const QPoint n = p + d;
            if (n.x() < 0 || n.y() < 0 || n.x() >= w || n.y() >= h)
                continue;
            unsigned char& mark = seen[size_t(n.y()) * size_t(w) + size_t(n.x())];
            if (mark || !lit(n.x(), n.y()))
                continue;
            mark = 1;
            stack.push_back(n);
        }
    }
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

} // namespace bench
