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

// ffmpeg's moving test pattern with a phone sensor's noise, and in its top-left corner the
// picture's number in binary, two rows of five cells (black 0, white 1) big enough to tell every
// picture from its neighbours once shrunk to a window: the pattern's own tiny clock is not.
QString noisy(QSize size, int rate)
{
    const int cell = size.width() * 3 / 400 * 2, row = size.height() * 9 / 800 * 2;
    return QString("testsrc2=s=%1x%2:r=%3:d=%4,noise=alls=28:allf=t+u[pattern];"
                   "color=c=black:s=%5x%6:r=%3:d=%4,format=yuv420p,"
                   "geq=lum='if(bitand(floor(N/pow(2,floor(X/%7)+5*floor(Y/%8))),1),235,16)':cb=128:cr=128[number];"
                   "[pattern][number]overlay=0:0[out0]")
        .arg(size.width())
        .arg(size.height())
        .arg(rate)
        .arg(clipSeconds)
        .arg(cell * 5)
        .arg(row * 2)
        .arg(cell)
        .arg(row);
}

const QStringList hlgTags{"-color_primaries", "bt2020", "-color_trc", "arib-std-b67", "-colorspace", "bt2020nc"};

// A key picture every second, as phones write them (x265 keeps its open GOPs).
QStringList hevc(const QString& rate, int keyEvery, bool hlg)
{
    QStringList args;
    if (hlg)
        args << "-vf" << "format=yuv420p10le";
    QString params = QString("bitrate=%1:keyint=%2:min-keyint=%2").arg(rate).arg(keyEvery);
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

// As a phone records: 45 Mb/s at 4K, 25 Mb/s at 1080p60, a key picture every second, x265 `veryfast`,
// sound beside it.
const std::vector<ClipRecipe> phoneClips = {
    {"4k-hevc8.mov", "4K HEVC 8-bit 30 fps",
     hevc("45000:vbv-maxrate=50000:vbv-bufsize=50000", 30, false) << sound, {3840, 2160}, 30},
    {"4k-hevc10-hlg.mov", "4K HEVC 10-bit HLG 30 fps",
     hevc("45000:vbv-maxrate=50000:vbv-bufsize=50000", 30, true) << sound, {3840, 2160}, 30},
    {"1080p60-hevc10-hlg.mov", "1080p60 HEVC 10-bit HLG",
     hevc("25000:vbv-maxrate=28000:vbv-bufsize=28000", 60, true) << sound, {1920, 1080}, 60},
    {"1080p60-h264.mp4", "1080p60 H.264",
     QStringList{"-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-b:v", "25M", "-maxrate", "28M",
                 "-bufsize", "28M", "-g", "60"}
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
    // The sound rises steadily, so that what is heard tells where in the clip it is.
    QStringList args{"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", noisy(recipe.size, recipe.rate), "-f",
                     "lavfi", "-i",
                     QString("aevalsrc=0.25*sin(2*PI*(%1*t+%2*t*t)):s=44100:d=%3")
                         .arg(chirpFrom)
                         .arg(chirpRise / 2)
                         .arg(clipSeconds)};
    args << recipe.coding;
    // Beside the clip, how it was made: a clip made another way before is made again.
    QFile made(path + ".made");
    const QByteArray how = args.join(' ').toUtf8();
    if (QFileInfo(path).size() > 0 && made.open(QIODevice::ReadOnly) && made.readAll() == how)
        return true;
    made.close();
    std::fprintf(stderr, "making %s ...\n", qPrintable(path));
    // Written aside and renamed, so a run cut short leaves no half clip to be taken for a whole one.
    const QString part = QDir(folder).filePath(QString(".part-") + recipe.file);
    if (!runProgram("ffmpeg", args << part))
        return false;
    QFile::remove(path);
    return QFile::rename(part, path) && made.open(QIODevice::WriteOnly) && made.write(how) == how.size();
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
    // As many threads as cores, as the program has.
    const QString threads = QString::number(cores.split(',').size());
    QElapsedTimer t;
    t.start();
    if (!runProgram("taskset", {"-c", cores, "ffmpeg", "-nostdin", "-v", "error", "-threads", threads, "-i", clip.path,
                                "-an",
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
