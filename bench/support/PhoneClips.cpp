#include "support/PhoneClips.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <algorithm>
#include <cstdio>

namespace bench {

namespace {

QString noisy(QSize size, int rate)
{
    return QString("testsrc2=s=%1x%2:r=%3:d=%4,noise=alls=28:allf=t+u")
        .arg(size.width())
        .arg(size.height())
        .arg(rate)
        .arg(clipSeconds);
}

const QStringList hlgTags{"-color_primaries", "bt2020", "-color_trc", "arib-std-b67", "-colorspace", "bt2020nc"};

QStringList hevc(const QString& rate, bool hlg)
{
    QStringList args;
    if (hlg)
        args << "-vf" << "format=yuv420p10le";
    QString params = "bitrate=" + rate;
    params += hlg ? ":colorprim=bt2020:transfer=arib-std-b67:colormatrix=bt2020nc:range=limited:log-level=error"
                  : ":log-level=error";
    args << "-c:v" << "libx265" << "-preset" << "veryfast" << "-pix_fmt" << (hlg ? "yuv420p10le" : "yuv420p")
         << "-x265-params" << params;
    if (hlg)
        args << hlgTags;
    args << "-tag:v" << "hvc1";
    return args;
}

const QStringList sound{"-c:a", "aac", "-b:a", "128k", "-shortest"};

} // namespace

// As a phone records: 45 Mb/s at 4K, 25 Mb/s at 1080p60, x265 `veryfast`, sound beside it.
const std::vector<ClipRecipe> phoneClips = {
    {"4k-hevc8.mov", "4K HEVC 8-bit 30 fps",
     hevc("45000:vbv-maxrate=50000:vbv-bufsize=50000", false) << sound, {3840, 2160}, 30},
    {"4k-hevc10-hlg.mov", "4K HEVC 10-bit HLG 30 fps",
     hevc("45000:vbv-maxrate=50000:vbv-bufsize=50000", true) << sound, {3840, 2160}, 30},
    {"1080p60-hevc10-hlg.mov", "1080p60 HEVC 10-bit HLG",
     hevc("25000:vbv-maxrate=28000:vbv-bufsize=28000", true) << sound, {1920, 1080}, 60},
    {"1080p60-h264.mp4", "1080p60 H.264",
     QStringList{"-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-b:v", "25M", "-maxrate", "28M",
                 "-bufsize", "28M"}
         << sound,
     {1920, 1080}, 60},
};

bool runProgram(const QString& program, const QStringList& args, QByteArray* out)
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

bool makeClip(const ClipRecipe& recipe, const QString& folder)
{
    const QString path = QDir(folder).filePath(recipe.file);
    if (QFileInfo(path).size() > 0)
        return true;
    std::fprintf(stderr, "making %s ...\n", qPrintable(path));
    // Written aside and renamed, so a run cut short leaves no half clip to be taken for a whole one.
    const QString part = QDir(folder).filePath(QString(".part-") + recipe.file);
    QStringList args{"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", noisy(recipe.size, recipe.rate), "-f",
                     "lavfi", "-i", QString("sine=f=440:d=%1").arg(clipSeconds)};
    args << recipe.coding << part;
    return runProgram("ffmpeg", args) && QFile::rename(part, path);
}

bool probeClip(const QString& path, ClipFacts& facts)
{
    facts.path = QFileInfo(path).absoluteFilePath();
    facts.name = QFileInfo(path).fileName();
    QByteArray out;
    if (!runProgram("ffprobe", {"-v", "error", "-show_entries",
                                "stream=codec_type,width,height,avg_frame_rate,start_time,duration,color_transfer",
                                "-of", "json", path},
                    &out))
        return false;
    double videoStart = 0;
    bool video = false;
    for (const QJsonValue& value : QJsonDocument::fromJson(out).object().value("streams").toArray()) {
        const QJsonObject stream = value.toObject();
        const double start = stream.value("start_time").toString().toDouble();
        const double end = start + stream.value("duration").toString().toDouble();
        if (stream.value("codec_type") == "video" && !video) {
            video = true;
            facts.size = QSize(stream.value("width").toInt(), stream.value("height").toInt());
            const QStringList rate = stream.value("avg_frame_rate").toString().split('/');
            facts.rate = rate.size() == 2 && rate[1].toDouble() > 0 ? rate[0].toDouble() / rate[1].toDouble() : 0;
            const QString transfer = stream.value("color_transfer").toString();
            facts.hdr = transfer == "arib-std-b67" || transfer == "smpte2084";
            videoStart = start;
            facts.videoEnd = end;
        } else if (stream.value("codec_type") == "audio" && !facts.hasSound) {
            facts.hasSound = true;
            facts.soundEnd = end;
        }
    }
    // The pictures' times, from the packets: decoding order sorted into showing order.
    if (!video || !runProgram("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time",
                                          "-of", "csv=p=0", path},
                              &out))
        return false;
    facts.times.clear();
    for (const QByteArray& line : out.split('\n'))
        if (!line.trimmed().isEmpty() && line.trimmed() != "N/A")
            facts.times.push_back(line.trimmed().toDouble() - videoStart);
    std::sort(facts.times.begin(), facts.times.end());
    facts.frames = int(facts.times.size());
    // Times as the program gives them: from the file's start, which the earliest stream sets.
    if (facts.hasSound)
        facts.soundEnd -= std::min(videoStart, facts.soundEnd);
    facts.videoEnd -= videoStart;
    return facts.frames > 0 && facts.rate > 0;
}

double peerFps(const ClipFacts& clip, QSize size, const QString& cores)
{
    QElapsedTimer t;
    t.start();
    if (!runProgram("taskset", {"-c", cores, "ffmpeg", "-nostdin", "-v", "error", "-threads", "2", "-i", clip.path, "-an",
                                "-vf", QString("scale=%1:%2").arg(size.width()).arg(size.height()), "-fps_mode",
                                "passthrough", "-f", "null", "-"}))
        return 0;
    return clip.frames / (double(t.nsecsElapsed()) / 1e9);
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

QString range(std::vector<double> values, int decimals)
{
    if (values.empty())
        return "–";
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    if (QString::number(*low, 'f', decimals) == QString::number(*high, 'f', decimals))
        return QString::number(*low, 'f', decimals);
    return QString::number(*low, 'f', decimals) + "–" + QString::number(*high, 'f', decimals);
}

} // namespace bench
