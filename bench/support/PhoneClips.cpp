#include "support/PhoneClips.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <cstdio>

namespace bench {

const Clip clips[4] = {
    {"4K 8-bit 30 fps", "3840x2160", 30, false},
    {"4K 10-bit HLG 30 fps", "3840x2160", 30, true},
    {"1080p 8-bit 60 fps", "1920x1080", 60, false},
    {"1080p 10-bit HLG 60 fps", "1920x1080", 60, true},
};

QString clipPath(const QString& folder, const Clip& clip)
{
    return QDir(folder).filePath(QString(clip.name).replace(' ', '-') + ".mp4");
}

bool makeClip(const Clip& clip, const QString& path, int seconds)
{
    if (QFileInfo(path).size() > 0)
        return true;
    QString video = QString("testsrc2=duration=%1:size=%2:rate=%3,noise=alls=18:allf=t")
                        .arg(seconds)
                        .arg(clip.size)
                        .arg(clip.rate);
    QStringList args{"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i", video, "-f",
                     "lavfi", "-i", QString("sine=frequency=440:duration=%1").arg(seconds), "-c:v", "libx265",
                     "-preset", "superfast", "-b:v", "45M", "-maxrate", "45M", "-bufsize", "45M", "-tag:v", "hvc1"};
    QString x265 = "log-level=error";
    if (clip.hlg) {
        args << "-pix_fmt" << "yuv420p10le" << "-color_primaries" << "bt2020" << "-color_trc" << "arib-std-b67"
             << "-colorspace" << "bt2020nc";
        x265 += ":colorprim=bt2020:transfer=arib-std-b67:colormatrix=bt2020nc";
    } else {
        args << "-pix_fmt" << "yuv420p";
    }
    args << "-x265-params" << x265 << "-c:a" << "aac" << "-shortest" << (path + ".part.mp4");
    QProcess p;
    p.start("ffmpeg", args);
    if (!p.waitForFinished(-1) || p.exitCode() != 0) {
        std::fprintf(stderr, "%s", p.readAllStandardError().constData());
        return false;
    }
    return QFile::rename(path + ".part.mp4", path);
}

double peerFps(const QString& path, QSize box, int frames, bool shown, bool hlg)
{
    QString filters = QString("scale=%1:%2:force_original_aspect_ratio=decrease").arg(box.width()).arg(box.height());
    if (shown && hlg)
        filters += ":flags=area,zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt709,tonemap=tonemap=hable:desat=0,"
                   "zscale=t=bt709,format=bgra";
    else if (shown)
        filters += ":flags=area,format=bgra";
    QProcess p;
    QElapsedTimer t;
    t.start();
    p.start("ffmpeg", {"-nostdin", "-hide_banner", "-loglevel", "error", "-i", path, "-an", "-vf", filters, "-f",
                       "null", "-"});
    if (!p.waitForFinished(-1) || p.exitCode() != 0)
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
    return load.open(QIODevice::ReadOnly) ? load.readLine() : QByteArray();
}

void printStats(const char* what, std::vector<double> values, const char* unit)
{
    std::sort(values.begin(), values.end());
    std::printf("    %-34s %8.2f / %8.2f / %8.2f %s\n", what, values.front(), values[values.size() / 2],
                values.back(), unit);
}

} // namespace bench
