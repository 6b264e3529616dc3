// Scans a generated folder of small JPEGs with EXIF dates and compares the time with the exiv2
// command-line tool reading the same files' DateTimeOriginal in one process.
//
//   ScanBench [file count, default 10000] [folder to reuse]
//
// Both runs read a warm page cache: every file is read once before anything is timed.

#include "app/services/MediaScanner.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <unistd.h>

#include <cstdio>
#include <thread>
#include <vector>
#include <cstring>

namespace {

void put16(QByteArray& b, quint16 v)
{
    b.append(char(v & 0xff)).append(char(v >> 8));
}

void put32(QByteArray& b, quint32 v)
{
    put16(b, quint16(v & 0xffff));
    put16(b, quint16(v >> 16));
}

// APP1 segment with IFD0 -> Exif IFD -> DateTimeOriginal, little-endian TIFF.
QByteArray exifSegment(const QByteArray& date)
{
    QByteArray tiff("II*\0", 4);
    put32(tiff, 8);   // IFD0 offset
    put16(tiff, 1);   // IFD0: one entry
    put16(tiff, 0x8769);
    put16(tiff, 4);   // LONG
    put32(tiff, 1);
    put32(tiff, 26);  // Exif IFD offset
    put32(tiff, 0);   // no next IFD
    put16(tiff, 1);   // Exif IFD: one entry
    put16(tiff, 0x9003);
    put16(tiff, 2);   // ASCII
    put32(tiff, 20);
    put32(tiff, 44);  // value offset
    put32(tiff, 0);
    tiff.append(date.left(19)).append('\0');

    QByteArray body("Exif\0\0", 6);
    body.append(tiff);
    QByteArray seg("\xff\xe1", 2);
    const quint16 len = quint16(body.size() + 2);
    seg.append(char(len >> 8)).append(char(len & 0xff));
    seg.append(body);
    return seg;
}

QByteArray baseJpeg()
{
    QImage image(32, 24, QImage::Format_RGB32);
    image.fill(QColor(70, 130, 180));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 50);
    return bytes;
}

bool generate(const QString& folder, int count)
{
    const QByteArray jpeg = baseJpeg();
    for (int i = 0; i < count; ++i) {
        const QString sub = QString::asprintf("%s/%03d", qPrintable(folder), i / 1000);
        if (i % 1000 == 0)
            QDir().mkpath(sub);
        const QByteArray date = QString::asprintf("20%02d:%02d:%02d %02d:%02d:%02d", 10 + i % 15, 1 + i % 12,
                                                     1 + i % 28, i % 24, i % 60, (i * 7) % 60).toLatin1();
        QByteArray data = jpeg.left(2); // SOI
        data.append(exifSegment(date));
        data.append(jpeg.mid(2));
        QFile f(QString::asprintf("%s/IMG_%05d.JPG", qPrintable(sub), i));
        if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
            return false;
    }
    return true;
}

void warm(const QStringList& files)
{
    for (const QString& path : files) {
        QFile f(path);
        if (f.open(QIODevice::ReadOnly))
            f.readAll();
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
    QTemporaryDir temp;
    QString folder = argc > 2 ? QString::fromLocal8Bit(argv[2]) : temp.path();
    if (argc <= 2 || !QDir(folder).exists()) {
        QElapsedTimer t;
        t.start();
        if (!generate(folder, count)) {
            std::fprintf(stderr, "could not write the files\n");
            return 1;
        }
        std::printf("generated %d JPEGs in %s (%.1f s)\n", count, qPrintable(folder), t.elapsed() / 1000.0);
    }

    const QStringList files = app::MediaScanner::enumerateMediaFiles(folder);
    warm(files);

    const app::MediaScanner scanner;
    QElapsedTimer t;
    t.start();
    const QStringList walked = app::MediaScanner::enumerateMediaFiles(folder);
    const double walkMs = t.nsecsElapsed() / 1e6;
    const auto probe = app::MediaProbe::system();
    const app::CaptureDates dates;
    t.restart();
    for (const QString& f : walked)
        (void)probe->readPhoto(f);
    const double probeMs = t.nsecsElapsed() / 1e6;
    t.restart();
    for (const QString& f : walked)
        (void)dates.photoMetadata(probe->readPhoto(f));
    const double datesMs = t.nsecsElapsed() / 1e6 - probeMs;
    t.restart();
    {
        std::vector<std::thread> threads;
        const int n = 8;
        for (int k = 0; k < n; ++k)
            threads.emplace_back([&, k] {
                for (qsizetype i = k; i < walked.size(); i += n)
                    (void)probe->readPhoto(walked[i]);
            });
        for (auto& th : threads)
            th.join();
    }
    std::printf("  probe, 8 plain threads:    %9.1f ms\n", t.nsecsElapsed() / 1e6);
    t.restart();
    const app::MediaItems items = scanner.scan(folder, {});
    const double scanMs = t.nsecsElapsed() / 1e6;
    qsizetype dated = 0;
    for (const app::MediaItem& item : items)
        dated += item.captureDate.date().year() >= 2010 ? 1 : 0;

    const QString exiv2 = QStandardPaths::findExecutable("exiv2");
    if (exiv2.isEmpty()) {
        std::printf("scan: %lld files, %lld dated, %.1f ms; exiv2 CLI not found\n", (long long)items.size(),
                    (long long)dated, scanMs);
        return 0;
    }
    // One process for all files when the argument list fits, else the fewest batches that fit.
    const long argMax = sysconf(_SC_ARG_MAX);
    const qsizetype budget = argMax > 0 ? argMax / 2 : 128 * 1024;
    QList<QStringList> batches{{}};
    qsizetype used = 0;
    for (const QString& f : files) {
        const qsizetype len = QFile::encodeName(f).size() + 1 + sizeof(char*);
        if (used + len > budget && !batches.last().isEmpty()) {
            batches.append(QStringList());
            used = 0;
        }
        batches.last().append(f);
        used += len;
    }
    t.restart();
    for (const QStringList& batch : batches) {
        QProcess process;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(exiv2, QStringList{"-q", "-g", "Exif.Photo.DateTimeOriginal"} + batch);
        process.waitForFinished(-1);
    }
    const double exivMs = t.nsecsElapsed() / 1e6;

    std::printf("files: %lld (dated by the scan: %lld)\n", (long long)items.size(), (long long)dated);
    std::printf("  walk only:                 %9.1f ms\n", walkMs);
    std::printf("  probe, one thread:         %9.1f ms\n", probeMs);
    std::printf("  date parsing, one thread:  %9.1f ms\n", datesMs);
    std::printf("MediaScanner.scan:           %9.1f ms\n", scanMs);
    std::printf("exiv2 -g DateTimeOriginal:   %9.1f ms (%lld process%s)\n", exivMs, (long long)batches.size(),
                batches.size() == 1 ? ", all files in one argument list" : "es, batched to fit ARG_MAX");
    std::printf("ratio scan / exiv2:          %9.3f (target <= 1.0)\n", scanMs / exivMs);
    return 0;
}
