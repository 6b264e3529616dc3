#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace app::test {

// A 2-second H.264/AAC test-pattern clip with a tone, made by the ffmpeg command-line tool.
inline QString makeClip(const QTemporaryDir& dir, const QString& name, const QString& size = "320x240")
{
    const QString path = dir.filePath(name);
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                            "testsrc=duration=2:size=" + size + ":rate=25", "-f", "lavfi", "-i",
                            "sine=frequency=440:duration=2", "-c:v", "libx264", "-preset", "ultrafast",
                            "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", path});
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0)
        ADD_FAILURE() << "ffmpeg could not make the clip: " << ffmpeg.readAllStandardError().toStdString();
    return path;
}

} // namespace app::test
