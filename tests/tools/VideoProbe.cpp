// Plays one clip through the viewer's video surface with whichever media backend QT_MEDIA_BACKEND
// names, and prints what came of it: "frames <n>" for the frames that reached the surface, then
// "error <text>" when the player gave up or the surface could not read the frames. Exit code 0
// unless no clip was given.
//
//   tess_video_probe <clip> [seconds, default 5]

#include "app/views/video/VideoSurfaceWidget.h"

#include <QApplication>
#include <QMediaPlayer>
#include <QTest>
#include <QUrl>
#include <QVideoSink>

#include <cstdio>

// The probe watches for crashes; Qt's FFmpeg backend leaves a few option strings allocated at exit,
// which are its own and not what is checked here.
extern "C" const char* __asan_default_options()
{
    return "detect_leaks=0:detect_stack_use_after_return=0:intercept_tls_get_addr=0";
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    if (argc < 2)
        return 2;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 5;
    app::VideoSurfaceWidget surface;
    surface.resize(320, 240);
    surface.show();
    QMediaPlayer player;
    player.setVideoOutput(surface.videoSink());
    QString error;
    QObject::connect(&player, &QMediaPlayer::errorOccurred, [&] { error = player.errorString(); });
    player.setSource(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1])));
    player.play();
    (void)QTest::qWaitFor([&] { return !error.isEmpty() || player.mediaStatus() == QMediaPlayer::EndOfMedia
                                 || player.mediaStatus() == QMediaPlayer::InvalidMedia; },
                    seconds * 1000);
    player.stop();
    std::printf("frames %llu\n", (unsigned long long)surface.converter()->converted());
    if (error.isEmpty())
        error = surface.errorText();
    if (!error.isEmpty() || player.mediaStatus() == QMediaPlayer::InvalidMedia)
        std::printf("error %s\n", qPrintable(error.isEmpty() ? QStringLiteral("invalid media") : error));
    std::fflush(stdout);
    return 0;
}
