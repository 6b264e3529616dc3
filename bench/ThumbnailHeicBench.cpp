// Grid-size thumbnails of phone HEICs: 4032x3024 pictures with grain (not flat gradients) in a grid
// of 512-pixel tiles and a 320-pixel thumbnail item, as phone cameras write them at their normal
// quality, and among them every fifth a portrait photo as libheif's own writer stores it (its
// declared size the shown one, under a quarter turn). Reports the time per file on one thread,
// warm (p50 and p99; target p99 <= 5 ms), for our road (FFmpeg's HEVC decoder fed by our box
// reader) and, in the same run on the same files, for libheif's; and the bytes read from storage
// per thumbnail when the files are cold. Run it on one core: `taskset -c 2 ThumbnailHeicBench`.
//
//   ThumbnailHeicBench [file count, default 100] [pixel size, default 280] [passes, default 3]

#include "app/platform/decoding/HeifImageDecoder.h"
#include "support/BenchInputs.h"

#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 100;
    const int pixels = argc > 2 ? std::max(16, atoi(argv[2])) : 280;
    const int passes = argc > 3 ? std::max(1, atoi(argv[3])) : 3;

    QTemporaryDir dir(QDir::tempPath() + "/tess-heicbench-XXXXXX");
    std::fprintf(stderr, "encoding phone HEICs in %s ...\n", qPrintable(dir.path()));
    const int distinct = std::min(count, 5);
    QStringList sources;
    for (int i = 0; i < distinct; ++i) {
        const QString path = dir.filePath(QString("source-%1.heic").arg(i));
        const bool turned = i == 4;
        if (!(turned ? bench::writeTurnedPhoneHeic(path, 200 + i) : bench::writePhoneGridHeic(path, 200 + i))) {
            std::fprintf(stderr, "writing a phone HEIC failed (needs libheif with its x265 encoder and python3)\n");
            return 1;
        }
        sources << path;
    }
    const QStringList files = bench::copyDistinct(sources, dir.filePath("photos"), count, "IMG");
    if (files.size() != count)
        return 1;
    const auto isTurned = [&](int i) { return i % distinct == 4; };

    // Cold: what one thumbnail costs the disk.
    bench::dropFromPageCache(files);
    const bench::Run cold = bench::measure([&] {
        for (const QString& f : files)
            (void)app::HeifImageDecoder::decodeFile(f, pixels);
    });

    bench::warm(files);
    using Road = QImage (*)(const QString&, int, app::HeifImageDecoder::Source*);
    struct Figures {
        double first = 0, p50 = 0, p99 = 0, mean = 0, max = 0;
        double turnedP50 = 0, turnedP99 = 0; // the libheif-written portrait files alone
        bool ok = true;
    };
    const auto measureRoad = [&](Road road) {
        Figures f;
        // The first decode of a process loads the HEVC decoder; a user meets that once, not per file.
        QElapsedTimer first;
        first.start();
        (void)road(files.first(), pixels, nullptr);
        f.first = double(first.nsecsElapsed()) / 1e6;
        std::vector<double> times, turned;
        for (int pass = 0; pass < passes; ++pass) {
            for (int i = 0; i < files.size(); ++i) {
                const QString& file = files[i];
                app::HeifImageDecoder::Source source;
                QElapsedTimer t;
                t.start();
                const QImage image = road(file, pixels, &source);
                times.push_back(double(t.nsecsElapsed()) / 1e6);
                if (isTurned(i))
                    turned.push_back(times.back());
                if (image.isNull() || source != app::HeifImageDecoder::Source::thumbnailItem) {
                    std::fprintf(stderr, "the thumbnail item was not used for %s\n", qPrintable(file));
                    f.ok = false;
                }
            }
        }
        std::sort(times.begin(), times.end());
        std::sort(turned.begin(), turned.end());
        double sum = 0;
        for (double v : times)
            sum += v;
        const auto percentile = [](const std::vector<double>& v, double p) {
            return v.empty() ? 0.0 : v[std::min(v.size() - 1, size_t(p * double(v.size())))];
        };
        f.p50 = percentile(times, 0.50);
        f.p99 = percentile(times, 0.99);
        f.turnedP50 = percentile(turned, 0.50);
        f.turnedP99 = percentile(turned, 0.99);
        f.mean = sum / double(times.size());
        f.max = times.back();
        return f;
    };
    // Interleaved rounds, so that a change of machine load hits both roads alike.
    Figures ours, theirs;
    for (int round = 0; round < 2; ++round) {
        const Figures a = measureRoad([](const QString& f, int p, app::HeifImageDecoder::Source* s) {
            return app::HeifImageDecoder::decodeWithFfmpeg(f, p, s);
        });
        const Figures b = measureRoad(&app::HeifImageDecoder::decodeWithLibheif);
        if (!a.ok || !b.ok)
            return 1;
        if (round == 0 || a.p99 < ours.p99)
            ours = a;
        if (round == 0 || b.p99 < theirs.p99)
            theirs = b;
    }

    app::HeifImageDecoder::Source source;
    QElapsedTimer t;
    t.start();
    const QImage big = app::HeifImageDecoder::decodeFile(files.first(), 1000, &source);
    const double primary = double(t.nsecsElapsed()) / 1e6;

    std::printf("files: %d HEICs of 4032x3024 with grain, in 8x6 tiles or (every fifth) one turned picture as libheif "
                "writes it, with a 320-pixel thumbnail item (%.2f MB each on average, %d distinct, copied); thumbnails of %d px\n",
                count, bench::mean(files) / 1e6, distinct, pixels);
    std::printf("read-ahead: %s\n", qPrintable(bench::readAheadDescription(dir.path())));
    const auto report = [&](const char* name, const Figures& f) {
        std::printf("%s, one thread, warm, %d passes over the files (better of 2 interleaved rounds): p50 %.2f ms, "
                    "p99 %.2f ms, mean %.2f ms, max %.2f ms per file; first decode of the process %.2f ms; the turned "
                    "libheif-written files alone: p50 %.2f ms, p99 %.2f ms\n",
                    name, passes, f.p50, f.p99, f.mean, f.max, f.first, f.turnedP50, f.turnedP99);
    };
    report("ours (FFmpeg HEVC, target p99 <= 5 ms)", ours);
    report("libheif (peer)", theirs);
    std::printf("ratio ours/libheif: p50 %.2f, p99 %.2f\n", ours.p50 / theirs.p50, ours.p99 / theirs.p99);
    std::printf("cold: %.1f KB read from storage per thumbnail (the file is %.1f KB), %.2f ms per file\n",
                double(cold.bytesRead) / count / 1e3, bench::mean(files) / 1e3, cold.wallSeconds * 1000 / count);
    std::printf("primary image at 1000 px (for comparison): %.1f ms (%s)\n", primary,
                source == app::HeifImageDecoder::Source::primaryImage && !big.isNull() ? "primary" : "unexpected");
    return 0;
}
