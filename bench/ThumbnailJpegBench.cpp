// Grid-size thumbnails of camera JPEGs (12 MP, full Exif, orientations 1/3/6/8), against
// vipsthumbnail making the same thumbnails of the same files in the same run, each side run the
// same way:
//   one thread: our decoder in a loop, and one `vipsthumbnail --vips-concurrency=1 --size 280`
//               process given all files;
//   pool:       the provider with its six workers, and six such processes given a sixth each.
// vipsthumbnail writes its thumbnails in its own uncompressed format, the cheapest it can write.
// Every file is read once before anything is timed: thumbnails are made for files being looked at.
//
//   ThumbnailJpegBench [file count, default 48] [pixel size, default 280] [repeats, default 3]

#include "app/platform/decoding/MediaImageDecoder.h"
#include "app/services/thumbnails/ThumbnailProvider.h"
#include "support/BenchInputs.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

double seconds(const QElapsedTimer& t)
{
    return double(t.nsecsElapsed()) / 1e9;
}

// Runs the processes at once and waits for all of them; false when one failed.
bool runAll(const QString& program, const std::vector<QStringList>& argumentLists)
{
    std::vector<std::unique_ptr<QProcess>> processes;
    for (const QStringList& arguments : argumentLists) {
        processes.push_back(std::make_unique<QProcess>());
        processes.back()->start(program, arguments);
    }
    bool ok = true;
    for (auto& p : processes) {
        p->waitForFinished(-1);
        if (p->exitCode() != 0) {
            std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), p->readAllStandardError().constData());
            ok = false;
        }
    }
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int count = argc > 1 ? std::max(6, atoi(argv[1])) : 48;
    const int pixels = argc > 2 ? std::max(16, atoi(argv[2])) : 280;
    const int repeats = argc > 3 ? std::max(1, atoi(argv[3])) : 3;
    constexpr int workers = 6; // the provider's decode limit

    const QString vips = QStandardPaths::findExecutable("vipsthumbnail");
    if (vips.isEmpty()) {
        std::fprintf(stderr, "vipsthumbnail not found (Debian package libvips-tools)\n");
        return 1;
    }
    QTemporaryDir dir(QDir::tempPath() + "/tess-thumbbench-XXXXXX");
    std::fprintf(stderr, "generating camera JPEGs in %s ...\n", qPrintable(dir.path()));
    const int orientations[] = {1, 6, 3, 8, 1, 6, 1, 1};
    const int distinct = std::min(count, 8);
    QStringList sources;
    for (int i = 0; i < distinct; ++i) {
        const QString path = dir.filePath(QString("source-%1.jpg").arg(i));
        if (!bench::writeCameraJpeg(path, i, orientations[i]))
            return 1;
        sources << path;
    }
    const QStringList files = bench::copyDistinct(sources, dir.filePath("photos"), count, "IMG");
    if (files.size() != count)
        return 1;
    bench::warm(files);

    // Ours, one thread.
    const auto oursOneThread = [&]() -> double {
        app::MediaImageDecoder decoder;
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < count; ++i) {
            app::MediaItem item;
            item.url = files[i];
            const QImage image = decoder.decode(item, pixels);
            const bool turned = orientations[i % distinct] >= 5;
            if (image.isNull() || std::max(image.width(), image.height()) != pixels
                || (image.height() > image.width()) != turned) {
                std::fprintf(stderr, "bad thumbnail for %s\n", qPrintable(files[i]));
                return -1;
            }
        }
        return seconds(t);
    };

    // vipsthumbnail, one single-threaded process for all files.
    const QString out = dir.filePath("vips");
    QDir().mkpath(out);
    const QStringList vipsOptions{"--vips-concurrency=1", "--size", QString::number(pixels), "-o", out + "/%s.v"};
    const auto vipsOneProcess = [&]() -> double {
        QElapsedTimer t;
        t.start();
        return runAll(vips, {files + vipsOptions}) ? seconds(t) : -1;
    };

    // Ours, a fresh provider (an empty cache) with its workers.
    const auto oursProvider = [&]() -> double {
        app::ThumbnailProvider provider(app::makeMediaImageDecoder());
        QObject context;
        QEventLoop loop;
        int done = 0;
        QElapsedTimer t;
        t.start();
        for (const QString& f : files) {
            app::MediaItem item;
            item.url = f;
            provider.thumbnail(item, pixels, 1.0, &context, [&](const QImage&) {
                if (++done == count)
                    loop.quit();
            });
        }
        if (done < count)
            loop.exec();
        return seconds(t);
    };

    // vipsthumbnail, as many single-threaded processes as the provider has workers.
    std::vector<QStringList> shares(workers);
    for (int i = 0; i < count; ++i)
        shares[size_t(i % workers)] << files[i];
    for (QStringList& share : shares)
        share << vipsOptions;
    const auto vipsProcesses = [&]() -> double {
        QElapsedTimer t;
        t.start();
        return runAll(vips, shares) ? seconds(t) : -1;
    };

    // Each measured `repeats` times, taking turns; the medians are compared.
    const std::vector<std::function<double()>> runs{oursOneThread, vipsOneProcess, oursProvider, vipsProcesses};
    std::vector<std::vector<double>> times(runs.size());
    for (int r = 0; r < repeats; ++r) {
        for (size_t i = 0; i < runs.size(); ++i) {
            const double s = runs[i]();
            if (s < 0)
                return 1;
            times[i].push_back(s);
        }
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double oursSerial = median(times[0]);
    const double vipsSerial = median(times[1]);
    const double oursPool = median(times[2]);
    const double vipsPool = median(times[3]);

    std::printf("files: %d camera JPEGs of 4000x3000 (%.2f MB each, Exif orientations 1/3/6/8, %d distinct, copied), "
                "warm; thumbnails of %d px; medians of %d runs taking turns\n",
                count, bench::mean(files) / 1e6, distinct, pixels, repeats);
    std::printf("read-ahead: %s\n", qPrintable(bench::readAheadDescription(dir.path())));
    std::printf("one thread:  ours %.1f ms per file, vipsthumbnail --vips-concurrency=1 %.1f ms per file: "
                "ratio %.2f (target <= 0.6)\n",
                oursSerial * 1000 / count, vipsSerial * 1000 / count, oursSerial / vipsSerial);
    std::printf("%d at once:   ours (provider) %.3f s, %d vipsthumbnail processes %.3f s: ratio %.2f\n", workers,
                oursPool, workers, vipsPool, oursPool / vipsPool);
    return 0;
}
