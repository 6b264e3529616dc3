#include "support/PhoneClips.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <cstdio>

namespace bench {

const std::vector<Clip> clips = {
    {"4K 8-bit 30 fps 45 Mb/s", {3840, 2160}, 30, false, false, "45M"},
    {"4K 10-bit HLG 30 fps 45 Mb/s", {3840, 2160}, 30, true, false, "45M"},
    {"1080p 8-bit 60 fps 25 Mb/s", {1920, 1080}, 60, false, false, "25M"},
    {"1080p 10-bit HLG 60 fps 25 Mb/s", {1920, 1080}, 60, true, false, "25M"},
    {"1080p 8-bit 60 fps H.264 25 Mb/s", {1920, 1080}, 60, false, true, "25M"},
    {"portrait 1080p 10-bit HLG 30 fps 16 Mb/s", {1920, 1080}, 30, true, false, "16M", 90},
};

namespace {

bool run(const QString& program, const QStringList& args, QByteArray* out = nullptr)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), p.readAllStandardError().constData());
        return false;
    }
    if (out)
        *out = p.readAllStandardOutput();
    return true;
}

} // namespace

QString clipPath(const QString& folder, const Clip& clip)
{
    const QString name = QString("%1-%2x%3-%4fps-%5-%6%7-veryfast-grain.mp4")
                             .arg(clip.h264 ? "h264" : "hevc")
                             .arg(clip.size.width())
                             .arg(clip.size.height())
                             .arg(clip.rate)
                             .arg(clip.hlg ? "10bit-hlg" : "8bit", clip.bitrate)
                             .arg(clip.rotate ? QString("-turned%1").arg(clip.rotate) : QString());
    return QDir(folder).filePath(name);
}

bool makeClip(const Clip& clip, const QString& path, int seconds)
{
    if (QFileInfo(path).size() > 0)
        return true;
    // Grain as a small sensor gives it: fresh every frame, stronger in brightness than in colour.
    const QString video = QString("testsrc2=duration=%1:size=%2x%3:rate=%4,noise=c0s=16:c1s=8:c2s=8:allf=t")
                              .arg(seconds)
                              .arg(clip.size.width())
                              .arg(clip.size.height())
                              .arg(clip.rate);
    QStringList args{"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i", video, "-f",
                     "lavfi", "-i", QString("sine=frequency=440:duration=%1").arg(seconds)};
    // A phone's encoder holds its rate: a second's worth of buffer, a key picture every second.
    args << "-b:v" << clip.bitrate << "-maxrate" << clip.bitrate << "-bufsize" << clip.bitrate << "-g"
         << QString::number(clip.rate);
    if (clip.h264) {
        args << "-c:v" << "libx264" << "-preset" << "veryfast" << "-profile:v" << "high" << "-pix_fmt" << "yuv420p";
    } else {
        QString x265 = "log-level=error:sao=1";
        args << "-c:v" << "libx265" << "-preset" << "veryfast" << "-tag:v" << "hvc1";
        if (clip.hlg) {
            args << "-pix_fmt" << "yuv420p10le" << "-profile:v" << "main10";
            x265 += ":colorprim=bt2020:transfer=arib-std-b67:colormatrix=bt2020nc";
        } else {
            args << "-pix_fmt" << "yuv420p";
        }
        args << "-x265-params" << x265;
    }
    if (clip.hlg)
        args << "-color_primaries" << "bt2020" << "-color_trc" << "arib-std-b67" << "-colorspace" << "bt2020nc";
    const QString part = path + ".part.mp4";
    args << "-c:a" << "aac" << "-b:a" << "128k" << "-shortest" << part;
    if (!run("ffmpeg", args))
        return false;
    if (clip.rotate) {
        // Only a stream copy writes the display matrix.
        const QString turned = path + ".turned.mp4";
        if (!run("ffmpeg", {"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", part, "-c", "copy",
                            "-metadata:s:v:0", QString("rotate=%1").arg(clip.rotate), turned}))
            return false;
        QFile::remove(part);
        return QFile::rename(turned, path);
    }
    return QFile::rename(part, path);
}

int countFrames(const QString& path)
{
    QByteArray out;
    if (!run("ffprobe", {"-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
                         "stream=nb_read_packets", "-of", "csv=p=0", path},
             &out))
        return 0;
    // A turned clip's side data follows the count on the same line.
    return out.trimmed().split(',').value(0).toInt();
}

double peerFps(const QString& path, QSize size, int frames, bool shown, const Clip& clip)
{
    // A turned clip is scaled on its side and turned at the small size, as the player does it.
    const bool turned = clip.rotate % 180 != 0;
    const QSize scaled = turned ? size.transposed() : size;
    QString filters = QString("scale=%1:%2:flags=area").arg(scaled.width()).arg(scaled.height());
    const bool hlg = clip.hlg;
    if (shown && hlg)
        filters += ",zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt709,tonemap=tonemap=hable:desat=0,"
                   "zscale=t=bt709:m=bt709:r=tv,format=bgra";
    else if (shown)
        filters += ",format=bgra";
    if (turned)
        filters += ",transpose=clock";
    QElapsedTimer t;
    t.start();
    if (!run("ffmpeg", {"-nostdin", "-hide_banner", "-loglevel", "error", "-threads", "2", "-noautorotate", "-i",
                        path, "-an", "-vf", filters, "-fps_mode", "passthrough", "-f", "null", "-"}))
        return 0;
    return frames / (double(t.nsecsElapsed()) / 1e9);
}

double cappedRatio(double shownFps, double peerFps, int rate)
{
    return peerFps > 0 ? std::min(shownFps, double(rate)) / std::min(peerFps, double(rate)) : 0;
}

QByteArray loadAverage()
{
    QFile load("/proc/loadavg");
    return load.open(QIODevice::ReadOnly) ? load.readLine().trimmed() : QByteArray();
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void printStats(const char* what, std::vector<double> values, const char* unit)
{
    if (values.empty())
        return;
    std::sort(values.begin(), values.end());
    std::printf("    %-40s %8.2f / %8.2f / %8.2f %s\n", what, values.front(), values[values.size() / 2],
                values.back(), unit);
}

} // namespace bench
