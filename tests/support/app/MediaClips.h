#pragma once

#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace app::test {

// Runs ffmpeg; false (with its complaint) when it fails.
inline bool ffmpeg(const QStringList& arguments)
{
    QProcess p;
    p.start("ffmpeg", QStringList{"-nostdin", "-hide_banner", "-loglevel", "error", "-y"} + arguments);
    if (p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return true;
    ADD_FAILURE() << "ffmpeg " << arguments.join(' ').toStdString() << ": " << p.readAllStandardError().toStdString();
    return false;
}

// A test-pattern clip with a tone, made by the ffmpeg command-line tool: H.264 and AAC unless
// `video` names other encoder options.
inline QString makeClip(const QTemporaryDir& dir, const QString& name, const QString& size = "320x240",
                        int seconds = 2, const QStringList& video = {})
{
    const QString path = dir.filePath(name);
    const QString length = QString::number(seconds);
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", QStringList{"-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                       "testsrc=duration=" + length + ":size=" + size + ":rate=25", "-f", "lavfi",
                                       "-i", "sine=frequency=440:duration=" + length}
                               + (video.isEmpty() ? QStringList{"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt",
                                                                "yuv420p", "-c:a", "aac"}
                                                  : video)
                               + QStringList{"-shortest", path});
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0)
        ADD_FAILURE() << "ffmpeg could not make the clip: " << ffmpeg.readAllStandardError().toStdString();
    return path;
}

// Overwrites the payload of an MP4's media data box (its pictures and sound) with `byte` from
// `from` (a share of the payload) to its end, leaving its header and index whole: a file that opens
// and whose samples from there on do not decode.
inline bool spoilMediaData(const QString& path, char byte, double from = 0)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray bytes = file.readAll();
    for (qsizetype at = 0; at + 8 <= bytes.size();) {
        const quint32 size = quint32(uchar(bytes[at])) << 24 | quint32(uchar(bytes[at + 1])) << 16
            | quint32(uchar(bytes[at + 2])) << 8 | quint32(uchar(bytes[at + 3]));
        if (bytes.mid(at + 4, 4) == "mdat") {
            const qsizetype end = size == 0 ? bytes.size() : std::min<qsizetype>(bytes.size(), at + size);
            std::fill(bytes.begin() + at + 8 + qsizetype((end - at - 8) * from), bytes.begin() + end, byte);
            return file.seek(0) && file.write(bytes) == bytes.size();
        }
        if (size < 8)
            return false;
        at += size;
    }
    return false;
}

// A fragmented clip of 64x48 pictures whose first fragment declares `samples` samples with no
// fields of their own: FFmpeg sizes its index from the count before it finds them missing.
inline QString makeFragmentDeclaring(const QTemporaryDir& dir, const QString& name, quint32 samples)
{
    const QString path = makeClip(dir, name, "64x48", 1,
                                  {"-an", "-c:v", "libx264", "-preset", "ultrafast", "-movflags",
                                   "frag_keyframe+empty_moov+default_base_moof"});
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return path;
    QByteArray bytes = file.readAll();
    const qsizetype trun = bytes.indexOf("trun");
    if (trun < 0 || trun + 12 > bytes.size()) {
        ADD_FAILURE() << "no fragment in the clip";
        return path;
    }
    const char fields[8] = {0, 0, 0, 1, char(samples >> 24), char(samples >> 16), char(samples >> 8), char(samples)};
    bytes.replace(trun + 4, 8, QByteArray(fields, 8)); // flags: a data offset only; then the count
    file.seek(0);
    file.write(bytes);
    return path;
}

// How far the process's resident memory rose above where it stood while `work` ran, in MiB.
template <class Work>
double peakGrowthMiB(Work&& work)
{
    const auto status = [](const char* field) {
        QFile proc("/proc/self/status");
        if (!proc.open(QIODevice::ReadOnly))
            return 0.0;
        for (const QByteArray& line : proc.readAll().split('\n'))
            if (line.startsWith(field))
                return line.mid(qsizetype(std::strlen(field))).trimmed().split(' ').first().toDouble() / 1024;
        return 0.0;
    };
    QFile peak("/proc/self/clear_refs"); // "5" starts the peak again from what is resident now
    if (!peak.open(QIODevice::WriteOnly) || peak.write("5") != 1)
        ADD_FAILURE() << "the peak of resident memory cannot be reset";
    peak.close();
    const double before = status("VmRSS:");
    work();
    return status("VmHWM:") - before;
}

// An MP4 of `pictures` seconds of 160x120 pictures at 25 a second beside `sound` seconds of AAC,
// the two lengths apart as phone and edited clips have them.
inline QString clipOfLengths(const QTemporaryDir& dir, const QString& name, double pictures, double sound)
{
    const QString path = dir.filePath(name);
    ffmpeg({"-f", "lavfi", "-i", QString("testsrc=duration=%1:size=160x120:rate=25").arg(pictures), "-f", "lavfi",
            "-i", QString("sine=frequency=440:duration=%1").arg(sound), "-c:v", "libx264", "-preset", "ultrafast",
            "-pix_fmt", "yuv420p", "-c:a", "aac", path});
    return path;
}

// A 2 s clip beside a subtitle track that runs 10 s, as a camera's timecode or telemetry track does.
inline QString clipWithLongSubtitles(const QTemporaryDir& dir, const QString& name, bool sound)
{
    const QString subtitles = dir.filePath(name + ".srt");
    QFile file(subtitles);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write("1\n00:00:00,000 --> 00:00:10,000\nTC 00:00:00:00\n");
    file.close();
    const QString pictures = sound ? makeClip(dir, name + "-pictures.mp4", "160x120", 2)
                                   : makeClip(dir, name + "-pictures.mp4", "160x120", 2,
                                                         {"-an", "-c:v", "libx264", "-preset", "ultrafast"});
    const QString path = dir.filePath(name);
    ffmpeg({"-i", pictures, "-i", subtitles, "-map", "0", "-map", "1", "-c", "copy", "-c:s", "mov_text", path});
    return path;
}

} // namespace app::test
