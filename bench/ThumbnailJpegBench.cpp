// Grid-size thumbnails of generated 12-megapixel JPEGs, compared with vipsthumbnail making the
// same thumbnails of the same files in one process.
//
//   ThumbnailJpegBench [file count, default 40] [pixel size, default 280]
//
// 280 pixels is the smallest grid cell (140 points) on a screen of scale 2. Every file is read
// once before anything is timed, so both sides start from a warm page cache.

#include "app/platform/MediaImageDecoder.h"
#include "app/services/ThumbnailProvider.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace {

// A photo-like picture: smooth gradients with fine noise, so the encoder has real work.
QImage syntheticPhoto(int seed)
{
    QImage image(4000, 3000, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient sky(0, 0, 4000, 3000);
    sky.setColorAt(0, QColor::fromHsv((seed * 47) % 360, 120, 230));
    sky.setColorAt(1, QColor::fromHsv((seed * 47 + 140) % 360, 160, 90));
    painter.fillRect(image.rect(), sky);
    QRandomGenerator rng(quint32(seed) + 1);
    for (int i = 0; i < 400; ++i) {
        painter.setBrush(QColor::fromHsv(rng.bounded(360), 150, 200, 120));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QPointF(rng.bounded(4000), rng.bounded(3000)), rng.bounded(20, 300), rng.bounded(20, 300));
    }
    painter.end();
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int n = int(rng.bounded(16)) - 8;
            const QRgb p = line[x];
            line[x] = qRgb(std::clamp(qRed(p) + n, 0, 255), std::clamp(qGreen(p) + n, 0, 255),
                           std::clamp(qBlue(p) + n, 0, 255));
        }
    }
    return image;
}

double seconds(const QElapsedTimer& t)
{
    return double(t.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 40;
    const int pixels = argc > 2 ? std::max(16, atoi(argv[2])) : 280;

    const QString vips = QStandardPaths::findExecutable("vipsthumbnail");
    if (vips.isEmpty()) {
        std::fprintf(stderr, "vipsthumbnail not found (Debian package libvips-tools)\n");
        return 1;
    }

    QTemporaryDir dir;
    QStringList files;
    std::fprintf(stderr, "generating %d JPEGs of 4000x3000...\n", count);
    const int distinct = std::min(count, 8);
    for (int i = 0; i < count; ++i) {
        const QString path = dir.filePath(QString("IMG_%1.JPG").arg(i, 4, 10, QChar('0')));
        if (i < distinct) {
            QImageWriter writer(path, "jpeg");
            writer.setQuality(90);
            if (!writer.write(syntheticPhoto(i)))
                return 1;
        } else {
            QFile::copy(files[i % distinct], path);
        }
        files << path;
    }
    qint64 bytes = 0;
    for (const QString& f : files) {
        QFile file(f);
        file.open(QIODevice::ReadOnly);
        bytes += file.readAll().size();
    }

    // Ours, one thread.
    app::MediaImageDecoder decoder;
    QElapsedTimer t;
    t.start();
    for (const QString& f : files) {
        app::MediaItem item;
        item.url = f;
        const QImage image = decoder.decode(item, pixels);
        if (image.isNull() || std::max(image.width(), image.height()) != pixels) {
            std::fprintf(stderr, "bad thumbnail for %s\n", qPrintable(f));
            return 1;
        }
    }
    const double oursSerial = seconds(t);

    // Ours, through the provider with its six workers.
    app::ThumbnailProvider provider(app::makeMediaImageDecoder());
    QObject context;
    int done = 0;
    t.restart();
    for (const QString& f : files) {
        app::MediaItem item;
        item.url = f;
        provider.thumbnail(item, pixels, 1.0, &context, [&done](const QImage&) { ++done; });
    }
    while (done < count) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(200);
    }
    const double oursProvider = seconds(t);

    // vipsthumbnail, one process for all files.
    const QString out = dir.filePath("vips");
    QDir().mkpath(out);
    QStringList args = files;
    args << "-s" << QString::number(pixels) << "-o" << out + "/%s.jpg";
    t.restart();
    QProcess process;
    process.start(vips, args);
    process.waitForFinished(-1);
    const double vipsTime = seconds(t);
    if (process.exitCode() != 0) {
        std::fprintf(stderr, "vipsthumbnail failed: %s\n", process.readAllStandardError().constData());
        return 1;
    }

    std::printf("files: %d JPEGs of 12 MP (%.1f MB in all), thumbnails of %d px\n", count, bytes / 1e6, pixels);
    std::printf("ours, one thread:           %.3f s (%.1f ms per file)\n", oursSerial, oursSerial * 1000 / count);
    std::printf("ours, provider (6 workers): %.3f s (%.1f ms per file)\n", oursProvider, oursProvider * 1000 / count);
    std::printf("vipsthumbnail, one process: %.3f s (%.1f ms per file)\n", vipsTime, vipsTime * 1000 / count);
    std::printf("ratio provider/vips: %.2f (target <= 0.6); one thread/vips: %.2f\n", oursProvider / vipsTime,
                oursSerial / vipsTime);
    return 0;
}
