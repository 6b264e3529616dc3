#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace app::test {

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

} // namespace app::test
