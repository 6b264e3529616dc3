// Scans a library as users have it: 12 MP camera JPEGs with full Exif, phone HEICs and clips, first
// cold (every file dropped from the page cache, as on a drive just plugged in), then warm; against
// exiv2 (photos) and ffprobe (videos) run over the same files with xargs, in the same run.
//
//   ScanBench [--cold-jpegs 2000] [--warm-jpegs 10000] [--heics 200] [--videos 100] [--repeats 5]
//             [--dir DIR]
//
// The inputs are generated under /tmp and removed at the end; with --dir they are kept there and
// reused by the next run. Cold runs count the bytes read from storage (/proc/self/io read_bytes,
// which includes reaped children), the measure that does not depend on the disk.

#include "app/platform/metadata/JpegHeader.h"
#include "app/services/library/MediaScanner.h"
#include "support/BenchInputs.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <sched.h>
#include <algorithm>
#include <functional>
#include <vector>

namespace {

struct Options {
    int coldJpegs = 2000;
    int warmJpegs = 10000;
    int heics = 200;
    int videos = 100;
    int repeats = 5;
    QString dir;
};

QStringList filesUnder(const QString& dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}

// The files of `dir`, made by `make` unless `count` of them are there already.
QStringList ensure(const QString& dir, int count, const std::function<QStringList()>& make)
{
    QStringList files = filesUnder(dir);
    if (files.size() == count)
        return files;
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    return make();
}

struct Row {
    QString name;
    int files = 0;
    bench::Run run;
};

void printRow(const Row& r)
{
    std::printf("  %-44s %5d files %8.2f s wall %8.2f s CPU %10s read (%6.1f KB/file)\n", qPrintable(r.name), r.files,
                r.run.wallSeconds, r.run.cpuSeconds, qPrintable(bench::megabytes(r.run.bytesRead)),
                r.files ? double(r.run.bytesRead) / r.files / 1e3 : 0.0);
}

void printRatio(const char* what, const Row& ours, const Row& peer, double target)
{
    std::printf("  %-44s wall %.2f, CPU %.2f, bytes %.2f", what, ours.run.wallSeconds / peer.run.wallSeconds,
                ours.run.cpuSeconds / std::max(peer.run.cpuSeconds, 1e-9),
                double(ours.run.bytesRead) / std::max<double>(double(peer.run.bytesRead), 1.0));
    if (target > 0)
        std::printf("   (target: wall <= %.1f)", target);
    std::printf("\n");
}

struct Contestant {
    QString name;
    QStringList files;
    std::function<bench::Run()> run;
};

// Runs every contestant `repeats` times, taking turns, and keeps each one's median run by wall time.
// Cold: each run starts with its files dropped from the page cache. Warm: one untimed run first.
std::vector<Row> contest(int repeats, const std::vector<Contestant>& contestants, bool cold)
{
    std::vector<std::vector<bench::Run>> runs(contestants.size());
    if (!cold)
        for (const Contestant& c : contestants)
            (void)c.run();
    for (int r = 0; r < repeats; ++r) {
        for (size_t i = 0; i < contestants.size(); ++i) {
            if (cold)
                bench::dropFromPageCache(contestants[i].files);
            runs[i].push_back(contestants[i].run());
        }
    }
    std::vector<Row> rows;
    for (size_t i = 0; i < contestants.size(); ++i) {
        std::sort(runs[i].begin(), runs[i].end(),
                  [](const bench::Run& a, const bench::Run& b) { return a.wallSeconds < b.wallSeconds; });
        rows.push_back(Row{contestants[i].name, int(contestants[i].files.size()), runs[i][runs[i].size() / 2]});
        printRow(rows.back());
    }
    return rows;
}

QString exiv2Command(const QString& folder, int parallel, int perProcess)
{
    return QString("cd %1 && find . -type f -print0 | xargs -0 -P %2 -n %3 exiv2 -q -g Exif.Photo.DateTimeOriginal "
                   "-g Exif.GPSInfo.GPSLatitude -g Exif.GPSInfo.GPSLongitude")
        .arg(bench::shellQuote(folder))
        .arg(parallel)
        .arg(perProcess);
}

QString ffprobeCommand(const QString& folder, int parallel)
{
    return QString("cd %1 && find . -type f -print0 | xargs -0 -P %2 -n 1 ffprobe -v quiet -show_entries "
                   "format=duration:format_tags -of compact")
        .arg(bench::shellQuote(folder))
        .arg(parallel);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv); // the generators paint
    Options o;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString& key = args[i];
        const QString& value = args[i + 1];
        if (key == "--cold-jpegs")
            o.coldJpegs = value.toInt();
        else if (key == "--warm-jpegs")
            o.warmJpegs = value.toInt();
        else if (key == "--heics")
            o.heics = value.toInt();
        else if (key == "--videos")
            o.videos = value.toInt();
        else if (key == "--repeats")
            o.repeats = std::max(1, value.toInt());
        else if (key == "--dir")
            o.dir = value;
    }
    QTemporaryDir temp(QDir::tempPath() + "/tess-scanbench-XXXXXX");
    const QString root = o.dir.isEmpty() ? temp.path() : o.dir;
    QDir().mkpath(root + "/sources");

    // A few distinct files, as a camera and a phone write them; copies of them make the library.
    std::fprintf(stderr, "generating sources in %s ...\n", qPrintable(root));
    const int orientations[] = {1, 6, 1, 8, 1, 3, 6, 1};
    QStringList jpegSources, heicSources, videoSources;
    for (int i = 0; i < 8; ++i) {
        const QString path = QString("%1/sources/camera-%2.jpg").arg(root).arg(i);
        if (!QFile::exists(path) && !bench::writeCameraJpeg(path, i, orientations[i]))
            return 1;
        jpegSources << path;
    }
    for (int i = 0; i < 4; ++i) {
        const QString path = QString("%1/sources/phone-%2.heic").arg(root).arg(i);
        if (!QFile::exists(path) && !bench::writePhoneHeic(path, 100 + i, orientations[i]))
            return 1;
        heicSources << path;
    }
    for (int i = 0; i < 4; ++i) {
        const QString path = QString("%1/sources/clip-%2.mov").arg(root).arg(i);
        if (!QFile::exists(path) && !bench::writePhoneVideo(path, i))
            return 1;
        videoSources << path;
    }

    std::fprintf(stderr, "copying ...\n");
    const QString cold = root + "/cold";
    const QString warm = root + "/warm";
    const QStringList coldJpegs = ensure(cold + "/photos/jpeg", o.coldJpegs,
                                         [&] { return bench::copyDistinct(jpegSources, cold + "/photos/jpeg", o.coldJpegs, "IMG"); });
    const QStringList coldHeics = ensure(cold + "/photos/heic", o.heics,
                                         [&] { return bench::copyDistinct(heicSources, cold + "/photos/heic", o.heics, "IMG"); });
    const QStringList coldVideos = ensure(cold + "/videos", o.videos,
                                          [&] { return bench::copyDistinct(videoSources, cold + "/videos", o.videos, "CLIP"); });
    // Warm: the page cache holds what was read; the names are hard links to the copies.
    const QStringList warmJpegs = ensure(warm + "/photos/jpeg", o.warmJpegs,
                                         [&] { return bench::linkNames(coldJpegs, warm + "/photos/jpeg", o.warmJpegs, "IMG"); });
    const QStringList warmHeics = ensure(warm + "/photos/heic", o.heics,
                                         [&] { return bench::linkNames(coldHeics, warm + "/photos/heic", o.heics, "IMG"); });
    const QStringList warmVideos = ensure(warm + "/videos", o.videos,
                                          [&] { return bench::linkNames(coldVideos, warm + "/videos", o.videos, "CLIP"); });
    if (coldJpegs.size() != o.coldJpegs || coldHeics.size() != o.heics || coldVideos.size() != o.videos
        || warmJpegs.size() != o.warmJpegs) {
        std::fprintf(stderr, "could not write the inputs\n");
        return 1;
    }
    const QStringList coldPhotos = coldJpegs + coldHeics;

    qint64 headerBytes = 0;
    for (const QString& f : jpegSources) {
        std::vector<std::uint8_t> header;
        app::JpegHeader::read(app::MetadataFile(QFile::encodeName(f)), header);
        headerBytes += qint64(header.size());
    }
    const int cores = QThread::idealThreadCount();
    std::printf("inputs in %s\n", qPrintable(root));
    std::printf("  JPEG: 4000x3000, %.2f MB each on average, header through start of scan %.1f KB (Exif with GPS, "
                "maker note, 160x120 IFD1 thumbnail), orientations 1/3/6/8; %d distinct, copied\n",
                bench::mean(jpegSources) / 1e6, double(headerBytes) / jpegSources.size() / 1e3, int(jpegSources.size()));
    std::printf("  HEIC: 4000x3000 with Exif and a 320-pixel thumbnail item, %.2f MB each; %d distinct, copied\n",
                bench::mean(heicSources) / 1e6, int(heicSources.size()));
    std::printf("  videos: 1080p 3 s H.264 .mov, 'moov' after 'mdat', %.2f MB each; %d distinct, copied\n",
                bench::mean(videoSources) / 1e6, int(videoSources.size()));
    std::printf("  cold: %d JPEG + %d HEIC + %d video distinct copies; warm: %d JPEG names (hard links to the "
                "copies) + %d HEIC + %d videos\n",
                o.coldJpegs, o.heics, o.videos, o.warmJpegs, o.heics, o.videos);
    std::printf("  read-ahead: %s\n", qPrintable(bench::readAheadDescription(root)));
    std::printf("  cores: %d; exiv2 %s; ffprobe from FFmpeg\n", cores, "0.27 command-line tool");

    const app::MediaScanner scanner;
    {
        const app::MediaItems items = scanner.scan(cold, {});
        qsizetype dated = 0;
        for (const app::MediaItem& item : items)
            dated += item.captureDate.date().year() >= 2015 && item.latitude ? 1 : 0;
        std::printf("  a scan of the cold library finds %lld items, %lld of them with a date and a place from their "
                    "metadata\n",
                    (long long)items.size(), (long long)dated);
    }
    const auto ours = [&](const QString& folder) {
        return [&scanner, folder] { return bench::measure([&] { (void)scanner.scan(folder, {}); }); };
    };
    // The same scan with this process held to one core: the scanner sizes its workers by the cores it may use.
    const auto oneCore = [&](const QString& folder) {
        return [&scanner, folder] {
            cpu_set_t all, one;
            sched_getaffinity(0, sizeof all, &all);
            CPU_ZERO(&one);
            for (int c = 0; c < CPU_SETSIZE; ++c)
                if (CPU_ISSET(c, &all)) {
                    CPU_SET(c, &one);
                    break;
                }
            sched_setaffinity(0, sizeof one, &one);
            const bench::Run run = bench::measure([&] { (void)scanner.scan(folder, {}); });
            sched_setaffinity(0, sizeof all, &all);
            return run;
        };
    };
    const auto shell = [](const QString& command) { return [command] { return bench::runShell(command); }; };
    const int batch32 = std::max(1, int((coldPhotos.size() + 31) / 32));
    // The files split evenly over one exiv2 process per core: as many reads in flight as our workers.
    const auto even = [cores](const QStringList& files) { return std::max(1, int((files.size() + cores - 1) / cores)); };

    std::printf("\ncold (every file dropped from the page cache before each run); median of %d runs, ours and the "
                "peers taking turns\n", o.repeats);
    const std::vector<Row> coldRows = contest(o.repeats, {
        {QString("ours, JPEG+HEIC (%1 workers)").arg(app::MediaScanner::workerCount()), coldPhotos, ours(cold + "/photos")},
        {QString("exiv2, xargs -P %1 -n %2 (even split)").arg(cores).arg(even(coldPhotos)), coldPhotos,
         shell(exiv2Command(cold + "/photos", cores, even(coldPhotos)))},
        {"exiv2, xargs -P 32 -n 200", coldPhotos, shell(exiv2Command(cold + "/photos", 32, 200))},
        {QString("exiv2, xargs -P 32 -n %1 (32 at once)").arg(batch32), coldPhotos, shell(exiv2Command(cold + "/photos", 32, batch32))},
        {"ours, JPEG only", coldJpegs, ours(cold + "/photos/jpeg")},
        {QString("exiv2 JPEG only, -P %1 -n 200").arg(cores), coldJpegs, shell(exiv2Command(cold + "/photos/jpeg", cores, 200))},
        {"ours, HEIC only", coldHeics, ours(cold + "/photos/heic")},
        {"ours, videos", coldVideos, ours(cold + "/videos")},
        {QString("ffprobe, xargs -P %1 -n 1").arg(cores), coldVideos, shell(ffprobeCommand(cold + "/videos", cores))},
        {"ffprobe, xargs -P 32 -n 1", coldVideos, shell(ffprobeCommand(cold + "/videos", 32))},
    }, true);
    std::printf("  (the exiv2 0.27 tool reads no HEIC metadata, so HEICs have no peer row of their own; ffprobe also "
                "reads packets to fill in stream details, the scan reads the container's headers only)\n");

    std::printf("\nwarm (one untimed pass of each first); median of %d runs, taking turns\n", o.repeats);
    const QStringList warmPhotos = warmJpegs + warmHeics;
    const std::vector<Row> warmRows = contest(o.repeats, {
        {"ours, JPEG+HEIC", warmPhotos, ours(warm + "/photos")},
        {QString("exiv2, xargs -P %1 -n %2 (even split)").arg(cores).arg(even(warmPhotos)), warmPhotos,
         shell(exiv2Command(warm + "/photos", cores, even(warmPhotos)))},
        {"ours, videos", warmVideos, ours(warm + "/videos")},
        {QString("ffprobe, xargs -P %1 -n 1").arg(cores), warmVideos, shell(ffprobeCommand(warm + "/videos", cores))},
        {"ours, JPEG+HEIC, one core", warmPhotos, oneCore(warm + "/photos")},
    }, false);

    // One thread, warm, per file: the metadata read, and the date and place parsing on its own.
    const auto probe = app::MediaProbe::system();
    const app::CaptureDates dates;
    const QStringList sample = warmJpegs.mid(0, 2000);
    std::vector<app::PhotoProperties> properties;
    properties.reserve(size_t(sample.size()));
    const bench::Run readRun = bench::measure([&] {
        for (const QString& f : sample)
            properties.push_back(probe->readPhoto(f));
    });
    int parsed = 0;
    const bench::Run parseRun = bench::measure([&] {
        for (int repeat = 0; repeat < 10; ++repeat)
            for (const app::PhotoProperties& p : properties)
                parsed += dates.photoMetadata(p).date ? 1 : 0;
    });
    std::printf("\none thread, warm, per JPEG: metadata read %.1f us, date and place from it %.2f us (%d parsed)\n",
                readRun.wallSeconds * 1e6 / sample.size(), parseRun.wallSeconds * 1e6 / (10.0 * sample.size()), parsed);

    std::printf("\nratios, ours / peer (same run)\n");
    printRatio("cold JPEG+HEIC vs exiv2 same in flight:", coldRows[0], coldRows[1], 1.0);
    printRatio("cold JPEG+HEIC vs exiv2 -P 32 -n 200:", coldRows[0], coldRows[2], 0);
    printRatio("cold JPEG+HEIC vs exiv2 32 at once:", coldRows[0], coldRows[3], 0);
    printRatio("cold JPEG only vs exiv2 -P nproc:", coldRows[4], coldRows[5], 0);
    std::printf("  bytes read, cold JPEG+HEIC: %.2f x exiv2's (target <= 1.5)\n",
                double(coldRows[0].run.bytesRead) / std::max<double>(double(coldRows[1].run.bytesRead), 1.0));
    printRatio("warm JPEG+HEIC vs exiv2 over nproc:", warmRows[0], warmRows[1], 0.7);
    std::printf("  %-44s wall %.2f   (target: <= 0.45)\n", "warm all cores / one core:",
                warmRows[0].run.wallSeconds / warmRows[4].run.wallSeconds);
    printRatio("cold videos vs ffprobe -P nproc:", coldRows[7], coldRows[8], 0);
    printRatio("cold videos vs ffprobe -P 32:", coldRows[7], coldRows[9], 0);
    printRatio("warm videos vs ffprobe -P nproc:", warmRows[2], warmRows[3], 0);
    return 0;
}
