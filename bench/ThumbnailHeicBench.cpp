// Grid-size thumbnails of 12-megapixel HEIC files that carry a 320-pixel thumbnail item, as phone
// cameras write them; the target is 10 ms or less per file. The primary image's decode is timed
// for comparison.
//
//   ThumbnailHeicBench [file count, default 20] [pixel size, default 280]

#include "app/platform/HeifImageDecoder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    const int pixels = argc > 2 ? std::max(16, atoi(argv[2])) : 280;

    const QString encoder = QStandardPaths::findExecutable("heif-enc");
    if (encoder.isEmpty()) {
        std::fprintf(stderr, "heif-enc not found (Debian package libheif-examples)\n");
        return 1;
    }
    QTemporaryDir dir;
    const QString jpeg = dir.filePath("source.jpg");
    {
        QImage image(4032, 3024, QImage::Format_RGB32);
        QPainter painter(&image);
        QLinearGradient g(0, 0, 4032, 3024);
        g.setColorAt(0, QColor(40, 110, 200));
        g.setColorAt(1, QColor(230, 170, 60));
        painter.fillRect(image.rect(), g);
        for (int i = 0; i < 60; ++i)
            painter.fillRect(QRect((i * 397) % 3800, (i * 211) % 2800, 200, 160), QColor::fromHsv(i * 6 % 360, 180, 200));
        painter.end();
        QImageWriter writer(jpeg, "jpeg");
        writer.setQuality(90);
        writer.write(image);
    }
    std::fprintf(stderr, "encoding a 12 MP HEIC with a 320-pixel thumbnail item...\n");
    const QString first = dir.filePath("IMG_0000.HEIC");
    QProcess process;
    process.start(encoder, {"-q", "80", "-t", "320", jpeg, "-o", first});
    process.waitForFinished(-1);
    if (process.exitCode() != 0 || !QFile::exists(first)) {
        std::fprintf(stderr, "heif-enc failed: %s\n", process.readAllStandardError().constData());
        return 1;
    }
    QStringList files{first};
    for (int i = 1; i < count; ++i) {
        const QString path = dir.filePath(QString("IMG_%1.HEIC").arg(i, 4, 10, QChar('0')));
        QFile::copy(first, path);
        files << path;
    }
    for (const QString& f : files) {
        QFile file(f);
        file.open(QIODevice::ReadOnly);
        file.readAll();
    }

    std::vector<double> times;
    for (const QString& f : files) {
        app::HeifImageDecoder::Source source;
        QElapsedTimer t;
        t.start();
        const QImage image = app::HeifImageDecoder::decodeFile(f, pixels, &source);
        times.push_back(t.nsecsElapsed() / 1e6);
        if (image.isNull() || source != app::HeifImageDecoder::Source::thumbnailItem) {
            std::fprintf(stderr, "the thumbnail item was not used for %s\n", qPrintable(f));
            return 1;
        }
    }
    std::sort(times.begin(), times.end());
    double sum = 0;
    for (double v : times)
        sum += v;

    app::HeifImageDecoder::Source source;
    QElapsedTimer t;
    t.start();
    const QImage big = app::HeifImageDecoder::decodeFile(first, 1000, &source);
    const double primary = t.nsecsElapsed() / 1e6;

    std::printf("files: %d HEIC of 4032x3024 with a 320x240 thumbnail item; thumbnails of %d px\n", count, pixels);
    std::printf("thumbnail item: mean %.2f ms, median %.2f ms, max %.2f ms per file (target <= 10 ms)\n",
                sum / times.size(), times[times.size() / 2], times.back());
    std::printf("primary image at 1000 px (for comparison): %.1f ms (%s)\n", primary,
                source == app::HeifImageDecoder::Source::primaryImage && !big.isNull() ? "primary" : "unexpected");
    return 0;
}
