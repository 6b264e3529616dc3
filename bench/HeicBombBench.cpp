// Hostile HEICs (crafted around a tiny real HEVC picture): each decoded as a grid thumbnail (256 px)
// and in the viewer (2200 px), each in a process of its own, with its wall time, the process's peak
// resident memory and what stays resident once the decode has returned, before and after the C
// library returns its free lists (target: within 2 s and 300 MB, nothing left). Run it from a Release build, on the cores you want measured:
// `taskset -c 2-5 HeicBombBench`.

#include "app/platform/decoding/HeifImageDecoder.h"
#include "support/app/CraftedHeif.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>

#include <malloc.h>

namespace {

// A field of /proc/self/status in MB.
double statusMegabytes(const char* field)
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(std::strlen(field))).trimmed().split(' ').first().toDouble() / 1024;
    return -1;
}

// The child: one decode, then its figures on one line.
int decodeOne(const QString& path, int pixels)
{
    (void)app::HeifImageDecoder::decodeFile(path, 8); // loads the decoders, as a running program has
    const double before = statusMegabytes("VmRSS:");
    QElapsedTimer t;
    t.start();
    QSize size;
    {
        const QImage image = app::HeifImageDecoder::decodeFile(path, pixels);
        size = image.size();
    }
    const double ms = double(t.nsecsElapsed()) / 1e6;
    const double left = statusMegabytes("VmRSS:") - before;
    // What is left once the C library hands its free lists back: what the decoders still hold.
    malloc_trim(0);
    std::printf("%s %dx%d %.1f %.1f %.1f %.1f\n", size.isEmpty() ? "refused" : "decoded", size.width(), size.height(), ms,
                statusMegabytes("VmHWM:"), left, statusMegabytes("VmRSS:") - before);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && std::strcmp(argv[1], "--one") == 0)
        return decodeOne(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]));

    using test::craftedheif::Shape;
    using test::craftedheif::grid;
    const auto withThumbnails = [&](int references) {
        Shape s = grid(32, 32, 64, 48, 64, 48);
        s.thumbnailReferences = references;
        return s;
    };
    Shape padded = grid(32, 32, 64, 48, 64, 48);
    padded.configPadding = 900 * 1024;
    Shape turned = grid(1, 1, 48, 64, 64, 48);
    turned.quarterTurns = 1;
    const std::pair<const char*, Shape> files[] = {
        {"1,024 tiles declared 64x64 coded 8192x4320", grid(32, 32, 64, 64, 8192, 4320)},
        {"64 tiles declared 64x64 coded 16000x16000", grid(8, 8, 64, 64, 16000, 16000)},
        {"one 64x64 image coded 16000x16000", grid(1, 1, 64, 64, 16000, 16000)},
        {"one 900 KB hvcC shared by 1,024 tiles", padded},
        {"3 thumbnail references (1,024-tile grids)", withThumbnails(3)},
        {"10,000 thumbnail references", withThumbnails(10000)},
        {"60,000 thumbnail references", withThumbnails(60000)},
        {"libheif-style: ispe as shown under irot 90", turned},
        // Declared as large as it is coded: decoded (its slices are the tiny picture's), and the
        // decoder that held it closed afterwards.
        {"one image declared and coded 8192x4320", grid(1, 1, 8192, 4320, 8192, 4320)},
    };
    QTemporaryDir dir;
    std::printf("%-46s %8s %-9s %-11s %9s %10s %9s %14s\n", "file", "KB", "use", "result", "ms", "peak MB",
                "left MB", "left, trimmed");
    for (const auto& [name, shape] : files) {
        const QByteArray bytes = test::craftedheif::build(shape);
        if (bytes.isEmpty()) {
            std::fprintf(stderr, "ffmpeg could not encode the picture\n");
            return 1;
        }
        const QString path = dir.filePath("crafted.heic");
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size())
            return 1;
        out.close();
        for (const auto& [use, pixels] : {std::pair{"thumbnail", 256}, std::pair{"viewer", 2200}}) {
            QProcess child;
            child.start(QCoreApplication::applicationFilePath(), {"--one", path, QString::number(pixels)});
            child.waitForFinished(120000);
            const QList<QByteArray> f = child.readAllStandardOutput().trimmed().split(' ');
            if (f.size() != 6) {
                std::printf("%-46s %8.1f %-9s %-11s (the child failed: exit %d)\n", name, bytes.size() / 1024.0, use,
                            "-", child.exitCode());
                continue;
            }
            std::printf("%-46s %8.1f %-9s %-11s %9s %10s %9s %14s  %s\n", name, bytes.size() / 1024.0, use,
                        f[0].constData(), f[2].constData(), f[3].constData(), f[4].constData(), f[5].constData(),
                        f[1].constData());
        }
    }
    return 0;
}
