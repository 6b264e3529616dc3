// The library map of 100,000 located items: cluster() at a world, a country and a city view on one
// core, from the points the page makes once per list (median and 95th percentile; target 5 ms),
// and one paint of the map with its pins into an image (target 16 ms). Items lie around a few
// hundred places the way a real library's do: most near home, trips elsewhere, many at exactly one
// spot; capture dates in the system's zone, as scans give.
// No tile server is set, so the paint is the placeholder grid, the pins and the credit line.
//
//   MapClusterBench [item count, default 100000] [runs per view, default 60]

#include "app/platform/desktop/DBusFileRevealer.h"
#include "app/platform/volumes/LinuxBookmarkService.h"
#include "app/platform/volumes/LinuxMountTable.h"
#include "app/platform/volumes/MountInfoVolumeMonitor.h"
#include "app/services/AppContext.h"
#include "app/services/library/LibraryStore.h"
#include "app/services/map/MapPhotoClusterer.h"
#include "app/services/thumbnails/ThumbnailProvider.h"
#include "app/views/common/DialogFolderChooser.h"
#include "app/views/library/LibraryContentModel.h"
#include "app/views/map/page/LibraryMapView.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimeZone>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

class SolidDecoder final : public app::ImageDecoder {
public:
    QImage decode(const app::MediaItem& item, int maxPixelSize) override
    {
        QImage image(maxPixelSize, maxPixelSize * 3 / 4, QImage::Format_RGB32);
        image.fill(QColor::fromRgb(qHash(item.url)));
        return image;
    }
};

class ListScanner final : public app::FolderScanner {
public:
    explicit ListScanner(app::MediaItems items) : items_(std::move(items)) {}
    app::MediaItems scan(const QString&, const app::MediaScanner::ProgressCallback&, const app::CancellationToken&) override
    {
        return items_;
    }

private:
    app::MediaItems items_;
};

app::MediaItems library(int count)
{
    QRandomGenerator random(20261207);
    const auto uniform = [&random](double low, double high) { return low + random.generateDouble() * (high - low); };
    struct Place {
        double latitude, longitude, spread;
    };
    std::vector<Place> places{{31.23, 121.47, 0.08}}; // home
    for (int i = 0; i < 300; ++i)
        places.push_back({uniform(-50, 60), uniform(-180, 180), uniform(0.01, 0.3)});
    app::MediaItems items;
    items.reserve(count);
    // In the system's zone, as the scanner dates items.
    const QDateTime start(QDate(2015, 1, 1), QTime(8, 0), QTimeZone::systemTimeZone());
    for (int i = 0; i < count; ++i) {
        const bool home = random.bounded(100) < 60;
        const Place& place = home ? places[0] : places[1 + random.bounded(int(places.size()) - 1)];
        app::MediaItem item;
        item.url = QString("/media/drive/DCIM/%1/IMG_%2.HEIC").arg(100 + i / 1000).arg(i, 6, 10, QChar('0'));
        item.captureDate = start.addSecs(qint64(i) * 1700 + random.bounded(600));
        // A fifth of them at exactly the place's spot (a home, a hotel).
        const bool spot = random.bounded(5) == 0;
        item.latitude = place.latitude + (spot ? 0 : uniform(-place.spread, place.spread));
        item.longitude = place.longitude + (spot ? 0 : uniform(-place.spread, place.spread));
        items.append(item);
    }
    return items;
}

struct Figures {
    double median, p95;
    double cpuMedian; // this thread's CPU time: what the work costs when it has a core to itself
};

double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

template <typename Work>
Figures measure(int runs, Work work)
{
    std::vector<double> ms;
    std::vector<double> cpu;
    for (int i = 0; i < runs; ++i) {
        const double cpuStart = threadCpuMs();
        QElapsedTimer timer;
        timer.start();
        work();
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
        cpu.push_back(threadCpuMs() - cpuStart);
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpu.begin(), cpu.end());
    return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, size_t(double(ms.size()) * 0.95))], cpu[cpu.size() / 2]};
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 100000;
    const int runs = argc > 2 ? std::max(3, atoi(argv[2])) : 60;
    // Generated oldest first; the page gets them as the scan publishes them: newest first, stamped
    // with their capture times.
    const app::MediaItems oldestFirst = [&] {
        app::MediaItems list = library(count);
        app::stampCaptureTimes(list);
        return list;
    }();
    const app::MediaItems items(oldestFirst.crbegin(), oldestFirst.crend());
    const QSizeF mapSize(1000, 640);

    struct View {
        const char* name;
        app::CoordinateRegion region;
    };
    const View views[] = {
        {"world", {{20, 0}, 150, 360}},
        {"country", {{35, 105}, 40, 62}},
        {"city", {{31.23, 121.47}, 0.3, 0.47}},
    };
    // Other work on the machine stretches wall times; the CPU times are this thread's own.
    QFile loadFile("/proc/loadavg");
    const QByteArray load = loadFile.open(QIODevice::ReadOnly) ? loadFile.readLine() : QByteArray("?\n");
    std::printf("load average now: %s", load.constData());
    std::printf("The page clusters on a worker and shows only the latest camera's result; the main thread\n"
                "waits for none of these:\n");
    std::printf("cluster() over %d located items, map %.0fx%.0f, cell 72, %d runs each (target 5 ms):\n", count,
                mapSize.width(), mapSize.height(), runs);
    for (const auto& [order, list] : {std::pair{"newest first, as the page gets them", &items},
                                      std::pair{"oldest first, every cell sorted", &oldestFirst}}) {
        // As the page does: the points made once per list, then clustered at each camera move.
        app::MapPhotoClusterer::Points points;
        const Figures made = measure(std::max(3, runs / 6), [&] { points = app::MapPhotoClusterer::points(*list); });
        std::printf(" %s (its points made once: median %.2f ms, p95 %.2f ms):\n", order, made.median, made.p95);
        for (const View& view : views) {
            qsizetype clusters = 0;
            const Figures f = measure(runs, [&] {
                clusters = app::MapPhotoClusterer::cluster(*list, points, view.region, mapSize, 72).size();
            });
            std::printf("  %-8s %5lld clusters  median %7.2f ms  p95 %7.2f ms  cpu median %7.2f ms  (p95/target %.2f)\n",
                        view.name, (long long)clusters, f.median, f.p95, f.cpuMedian, f.p95 / 5.0);
        }
    }

    // The real page: scanned through its model, framed, clustered, thumbnails in place.
    QTemporaryDir dir;
    QSettings settings(dir.filePath("s.ini"), QSettings::IniFormat);
    for (const char* key : {"map/standardTileURL", "map/imageryTileURL", "map/labelsTileURL"})
        settings.setValue(key, QString());
    app::LinuxMountTable mounts;
    app::LinuxBookmarkService bookmarks(mounts);
    app::MountInfoVolumeMonitor volumes;
    app::DialogFolderChooser chooser;
    app::DBusFileRevealer revealer;
    app::LibraryStore store({&bookmarks, &volumes, &chooser, &revealer}, dir.filePath("store"));
    QDir().mkpath(dir.filePath("library"));
    const std::optional<app::PhotoLibrary> photoLibrary = store.addLibrary(dir.filePath("library"), "bench");
    QElapsedTimer probing;
    probing.start();
    while (photoLibrary && !store.resolvedURL(*photoLibrary) && probing.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    app::ThumbnailProvider thumbnails(std::make_unique<SolidDecoder>());
    app::AppContext context;
    context.store = &store;
    context.thumbnails = &thumbnails;
    app::SlippyMapWidget::Environment environment;
    environment.settings = &settings;
    environment.loader.cacheDirectory = dir.filePath("tiles");
    if (!photoLibrary) {
        std::printf("could not register the library folder\n");
        return 1;
    }
    app::LibraryMapView page(context, *photoLibrary, std::make_shared<ListScanner>(items), environment);
    page.resize(1000, 700);
    page.show();
    while (page.isLoading() || page.isClustering())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const auto pinsReady = [&] {
        for (const app::MapPhotoCluster& cluster : page.clusters())
            if (page.pinThumbnail(cluster.items.front().url).isNull())
                return false;
        return true;
    };
    while (!pinsReady())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (page.errorMessage()) {
        std::printf("page unavailable: %s\n", qPrintable(*page.errorMessage()));
        return 1;
    }
    QImage image(page.map()->size() * 2, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(2);
    const Figures paint = measure(std::max(5, runs / 3), [&] {
        QPainter painter(&image);
        page.map()->render(&painter);
    });
    std::printf("one paint of the framed library map, %lld pins, %dx%d at scale 2 (target 16 ms):\n"
                "  median %.2f ms  p95 %.2f ms  cpu median %.2f ms  (median/target %.2f)\n",
                (long long)page.clusters().size(), page.map()->width(), page.map()->height(), paint.median, paint.p95,
                paint.cpuMedian, paint.median / 16.0);
    return 0;
}
