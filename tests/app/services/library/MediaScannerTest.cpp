#include "app/services/library/MediaScanner.h"

#include "support/app/FakeMediaProbe.h"
#include "support/app/Fixtures.h"

#include <gtest/gtest.h>

#include <functional>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <mutex>
#include <utility>
#include <vector>

using namespace app;
using app::test::FakeMediaProbe;

namespace {

const QTimeZone shanghai("Asia/Shanghai");

QString fixtures()
{
    return QDir(test::fixturePath(QStringLiteral("media"))).absolutePath();
}

void touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
}

QStringList relative(const QString& root, const QStringList& paths)
{
    QStringList out;
    for (const QString& p : paths)
        out.append(p.mid(root.size() + 1));
    return out;
}

using Reports = std::vector<std::pair<qsizetype, qsizetype>>;

struct Recorder {
    std::mutex mutex;
    Reports reports;
    MediaScanner::ProgressCallback callback()
    {
        return [this](qsizetype done, qsizetype total) {
            std::lock_guard lock(mutex);
            reports.emplace_back(done, total);
        };
    }
};

} // namespace

TEST(MediaScannerTest, LivePhotoPairing)
{
    struct Case {
        const char* name;
        QStringList files;
        // url -> paired movie ("" when not live); movies that stay items are listed with "video".
        std::vector<std::pair<QString, QString>> expected;
    };
    const Case cases[] = {
        {"same stem pairs", {"/l/IMG_0001.HEIC", "/l/IMG_0001.MOV"}, {{"/l/IMG_0001.HEIC", "/l/IMG_0001.MOV"}}},
        {"stems pair whatever their case", {"/l/IMG_0001.heic", "/l/img_0001.mov"},
         {{"/l/IMG_0001.heic", "/l/img_0001.mov"}}},
        {"mp4 never pairs", {"/l/IMG_0001.JPG", "/l/IMG_0001.MP4"},
         {{"/l/IMG_0001.JPG", ""}, {"/l/IMG_0001.MP4", "video"}}},
        {"another folder never pairs", {"/l/a/IMG_0001.HEIC", "/l/b/IMG_0001.MOV"},
         {{"/l/a/IMG_0001.HEIC", ""}, {"/l/b/IMG_0001.MOV", "video"}}},
        {"folders differing in case are different folders", {"/x/DCIM/a.HEIC", "/x/dcim/a.MOV"},
         {{"/x/DCIM/a.HEIC", ""}, {"/x/dcim/a.MOV", "video"}}},
        {"two stills share one movie", {"/l/A.JPG", "/l/A.HEIC", "/l/A.MOV"},
         {{"/l/A.JPG", "/l/A.MOV"}, {"/l/A.HEIC", "/l/A.MOV"}}},
        {"a later movie of the same key wins, the other is hidden too",
         {"/l/A.HEIC", "/l/A.MOV", "/l/a.mov"}, {{"/l/A.HEIC", "/l/a.mov"}}},
        {"unknown kinds are dropped", {"/l/notes.txt", "/l/A.MOV"}, {{"/l/A.MOV", "video"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QList<MediaScanner::Entry> entries = MediaScanner::pairLivePhotos(c.files);
        ASSERT_EQ(entries.size(), qsizetype(c.expected.size()));
        for (size_t i = 0; i < c.expected.size(); ++i) {
            const auto& [url, movie] = c.expected[i];
            const MediaScanner::Entry& e = entries[qsizetype(i)];
            EXPECT_EQ(e.url, url);
            if (movie == "video") {
                EXPECT_EQ(e.kind, MediaKind::video);
                EXPECT_FALSE(e.isLivePhoto);
            } else {
                EXPECT_EQ(e.kind, MediaKind::photo);
                EXPECT_EQ(e.isLivePhoto, !movie.isEmpty());
                EXPECT_EQ(e.liveVideoURL, movie.isEmpty() ? std::nullopt : std::optional<QString>(movie));
            }
        }
    }
}

TEST(MediaScannerTest, DateChainOfOneItem)
{
    // The file's own metadata first, then its name, then the file system; a live photo's still only.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    auto probe = std::make_shared<FakeMediaProbe>();
    probe->photos.insert("IMG_20230512_143015.JPG", FakeMediaProbe::photoTakenAt("2021:07:04 09:15:00"));
    PhotoProperties located = FakeMediaProbe::photoTakenAt("bad date");
    located.hasGps = true;
    located.gpsLatitude = 10;
    located.gpsLongitude = 20;
    located.gpsLongitudeRef = "W";
    probe->photos.insert("IMG_20220101_000000.HEIC", located);
    VideoProperties movie;
    movie.readable = true;
    movie.creationTime = "2020-02-03T04:05:06Z";
    movie.duration = 3.5;
    probe->videos.insert("VID_20230512_143015.mp4", movie);
    probe->videos.insert("VID_20190101_101010.mp4", VideoProperties{});
    const QString plain = dir.filePath("clip.mov");
    touch(plain);
    const MediaScanner scanner(probe, CaptureDates(shanghai));

    struct Case {
        QString name;
        MediaKind kind;
        QDateTime date;
    };
    const Case cases[] = {
        {"IMG_20230512_143015.JPG", MediaKind::photo, QDateTime(QDate(2021, 7, 4), QTime(9, 15), shanghai)},
        {"IMG_20220101_000000.HEIC", MediaKind::photo, QDateTime(QDate(2022, 1, 1), QTime(0, 0), shanghai)},
        {"VID_20230512_143015.mp4", MediaKind::video, QDateTime(QDate(2020, 2, 3), QTime(4, 5, 6), QTimeZone::utc())},
        {"VID_20190101_101010.mp4", MediaKind::video, QDateTime(QDate(2019, 1, 1), QTime(10, 10, 10), shanghai)},
        {"clip.mov", MediaKind::video, QFileInfo(plain).lastModified()},
        {"gone.mov", MediaKind::video, CaptureDates::distantPast()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        MediaScanner::Entry entry{dir.filePath(c.name), c.kind, false, std::nullopt};
        if (c.kind == MediaKind::photo) {
            entry.isLivePhoto = true;
            entry.liveVideoURL = dir.filePath("VID_20230512_143015.mp4");
        }
        const int videoReads = probe->videoReads.load();
        const MediaItem item = scanner.makeItem(entry);
        EXPECT_EQ(item.captureDate, c.date);
        EXPECT_EQ(item.isLivePhoto, c.kind == MediaKind::photo);
        if (c.kind == MediaKind::photo) {
            EXPECT_EQ(probe->videoReads.load(), videoReads); // the paired movie is not read
        }
    }
    const MediaItem west = scanner.makeItem({dir.filePath("IMG_20220101_000000.HEIC"), MediaKind::photo, false, {}});
    EXPECT_EQ(west.longitude, -20.0);
    EXPECT_FALSE(west.duration.has_value());
    EXPECT_EQ(scanner.makeItem({dir.filePath("VID_20230512_143015.mp4"), MediaKind::video, false, {}}).duration, 3.5);
}

TEST(MediaScannerTest, WalkerSkipsWhatIsNotTheLibrary)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString root = dir.path();
    for (const char* f : {"b/IMG_2.JPG", "a/IMG_1.jpg", "Z.png", "photo.JPG", "IMG_3.JPG.part", ".hidden.jpg",
                          "._IMG_4.JPG", ".backupdb/x.jpg", "__MACOSX/y.jpg", "__macosx/kept.jpg",
                          "Trip.photoslibrary/z.jpg", "notes.txt", "noext"})
        touch(root + "/" + f);
    // A name that is not UTF-8 could not be opened again through its item's path: left out.
    const int bad = open((QFile::encodeName(root) + "/bad\xff.jpg").constData(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(bad, 0);
    close(bad);
    // Links are never followed: a loop back to the root, and a link to a file.
    ASSERT_EQ(symlink(root.toUtf8().constData(), (root + "/loop").toUtf8().constData()), 0);
    ASSERT_EQ(symlink((root + "/Z.png").toUtf8().constData(), (root + "/link.png").toUtf8().constData()), 0);
    ASSERT_EQ(symlink("self", (root + "/a/self").toUtf8().constData()), 0);

    // Names sorted byte-wise per folder, subfolders walked where they sort.
    EXPECT_EQ(relative(root, MediaScanner::enumerateMediaFiles(root)),
              (QStringList{"Z.png", "__macosx/kept.jpg", "a/IMG_1.jpg", "b/IMG_2.JPG", "photo.JPG"}));
    EXPECT_EQ(relative(root, MediaScanner::enumerateMediaFiles(root + "/")).size(), 5);
    EXPECT_TRUE(MediaScanner::enumerateMediaFiles(root + "/missing").isEmpty());

    // The committed folder of things to skip holds no media at all.
    EXPECT_TRUE(MediaScanner::enumerateMediaFiles(fixtures() + "/skipped").isEmpty());
}

TEST(MediaScannerTest, UnreadableFolderLosesOnlyItsSubtree)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString root = dir.path();
    touch(root + "/a/1.jpg");
    touch(root + "/b/2.jpg");
    touch(root + "/c/3.jpg");
    QByteArray blocked = QFile::encodeName(root + "/b");

    if (geteuid() == 0) {
        // Root opens any folder whatever its mode, so make one whose path is too long to open:
        // the walker meets the same failing opendir.
        std::cerr << "[ NOTE     ] running as root: a mode-000 folder is readable here; using a "
                     "folder past PATH_MAX for the unreadable case instead\n";
        const int rootFd = open(QFile::encodeName(root + "/b").constData(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(rootFd, 0);
        int fd = rootFd;
        const std::string name(200, 'd');
        for (int depth = 0; depth < 25; ++depth) {
            ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
            const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
            if (fd != rootFd)
                close(fd);
            ASSERT_GE(next, 0);
            fd = next;
        }
        const int file = openat(fd, "deep.jpg", O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(file, 0);
        close(file);
        close(fd);
        close(rootFd);
    } else {
        ASSERT_EQ(chmod(blocked.constData(), 0), 0);
    }

    const QStringList found = relative(root, MediaScanner::enumerateMediaFiles(root));
    if (geteuid() == 0) {
        EXPECT_EQ(found, (QStringList{"a/1.jpg", "b/2.jpg", "c/3.jpg"}));
        // Too deep for a path-based removal as well; rm walks it by descriptors.
        QProcess::execute("rm", {"-rf", root + "/b"});
    } else {
        EXPECT_EQ(found, (QStringList{"a/1.jpg", "c/3.jpg"}));
        chmod(blocked.constData(), 0755);
    }
}

TEST(MediaScannerTest, ProgressRunsAndNewestFirst)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    auto probe = std::make_shared<FakeMediaProbe>();
    // 70 photos with dates in shuffled order; one has none and falls back to its file times.
    for (int i = 0; i < 70; ++i) {
        const QString name = QString::asprintf("IMG_%04d.JPG", i);
        touch(dir.filePath(name));
        if (i != 5)
            probe->photos.insert(name, FakeMediaProbe::photoTakenAt(
                                           QString::asprintf("2020:01:%02d 00:00:00", 1 + (i * 37) % 28)));
    }
    const MediaScanner scanner(probe, CaptureDates(shanghai));

    Recorder recorder;
    const MediaItems items = scanner.scan(dir.path(), recorder.callback());
    EXPECT_EQ(recorder.reports, (Reports{{0, 70}, {32, 70}, {64, 70}, {70, 70}}));
    ASSERT_EQ(items.size(), 70);
    EXPECT_TRUE(std::is_sorted(items.begin(), items.end(),
                               [](const MediaItem& a, const MediaItem& b) { return a.captureDate > b.captureDate; }));
    // The one without metadata has only its file times, which are newer than 2020 here.
    EXPECT_EQ(items.first().url, dir.filePath("IMG_0005.JPG"));
    EXPECT_EQ(probe->photoReads.load(), 70);

    // A folder without media reports once and gives nothing.
    QTemporaryDir empty;
    touch(empty.filePath("notes.txt"));
    Recorder r;
    EXPECT_TRUE(scanner.scan(empty.path(), r.callback()).isEmpty());
    EXPECT_EQ(r.reports, (Reports{{0, 0}}));
}

// A library folder that is gone is not an empty library: before the scan, as a file in its place, or
// renamed away between two runs (a drive pulled mid-scan) the scan publishes nothing and says so.
TEST(MediaScannerTest, VanishedRootIsUnavailableNotEmpty)
{
    auto probe = std::make_shared<FakeMediaProbe>();
    const MediaScanner scanner(probe, CaptureDates(shanghai));
    struct Case {
        const char* name;
        std::function<QString(QTemporaryDir&)> prepare; // returns the root to scan
        qsizetype vanishAfter;                           // rename the root away once this many are done; -1 never
    };
    const auto library = [](QTemporaryDir& dir) {
        for (int i = 0; i < 40; ++i)
            touch(dir.filePath(QString::asprintf("lib/IMG_%04d.JPG", i)));
        return dir.filePath("lib");
    };
    const Case cases[] = {
        {"missing before the scan", [](QTemporaryDir& dir) { return dir.filePath("missing"); }, -1},
        {"a file where the folder was", [](QTemporaryDir& dir) {
             touch(dir.filePath("file"));
             return dir.filePath("file");
         }, -1},
        {"renamed away mid-scan", library, 32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString root = c.prepare(dir);
        const auto onProgress = [&](qsizetype done, qsizetype) {
            if (done == c.vanishAfter)
                ASSERT_TRUE(QDir(dir.path()).rename("lib", "elsewhere"));
        };
        EXPECT_THROW(scanner.scan(root, onProgress), FolderUnavailable);
    }
    QTemporaryDir dir;
    EXPECT_EQ(scanner.scan(library(dir), {}).size(), 40);
}

// Workers take files from one list until it is done or the scan is cancelled: after a cancellation
// only the files already taken are read, and every file read is in the result, sorted.
TEST(MediaScannerTest, CancelStopsTakingFilesAndKeepsWhatWasReadSorted)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    auto probe = std::make_shared<FakeMediaProbe>();
    for (int i = 0; i < 70; ++i) {
        const QString name = QString::asprintf("IMG_%04d.JPG", i);
        touch(dir.filePath(name));
        probe->photos.insert(name, FakeMediaProbe::photoTakenAt(QString::asprintf("2020:01:01 00:%02d:00", i % 60)));
    }
    const MediaScanner scanner(probe, CaptureDates(shanghai));
    ASSERT_LT(MediaScanner::workerCount(), 32) << "the reports below assume fewer workers than a run";

    CancellationToken token;
    Reports reports;
    const MediaItems items = scanner.scan(
        dir.path(),
        [&](qsizetype done, qsizetype total) {
            reports.emplace_back(done, total);
            if (done == 32)
                token.cancel();
        },
        token);
    EXPECT_EQ(reports, (Reports{{0, 70}, {32, 70}}));
    EXPECT_GE(items.size(), 32);
    EXPECT_LT(items.size(), 32 + MediaScanner::workerCount());
    EXPECT_EQ(items.size(), probe->photoReads.load());
    EXPECT_TRUE(std::is_sorted(items.begin(), items.end(),
                               [](const MediaItem& a, const MediaItem& b) { return a.captureDate > b.captureDate; }));

    // A token cancelled before the scan reads nothing.
    CancellationToken early;
    early.cancel();
    Reports none;
    const int readsBefore = probe->photoReads.load();
    EXPECT_TRUE(scanner.scan(dir.path(), [&](qsizetype d, qsizetype t) { none.emplace_back(d, t); }, early).isEmpty());
    EXPECT_EQ(none, (Reports{{0, 70}}));
    EXPECT_EQ(probe->photoReads.load(), readsBefore);
}

TEST(MediaScannerTest, RealFixturesIncludingHostileFiles)
{
    // Every file becomes a valid item: hostile ones fall back, none crashes under the sanitizers.
    const MediaScanner scanner(MediaProbe::system(), CaptureDates(shanghai));
    Recorder recorder;
    const MediaItems items = scanner.scan(fixtures(), recorder.callback());
    const QString root = fixtures();

    QHash<QString, MediaItem> byName;
    for (const MediaItem& item : items) {
        EXPECT_TRUE(item.captureDate.isValid()) << item.url.toStdString();
        byName.insert(item.url.mid(root.size() + 1), item);
    }
    EXPECT_FALSE(byName.contains("live-photo-pair/IMG_0001.MOV"));
    ASSERT_TRUE(byName.contains("live-photo-pair/IMG_0001.HEIC"));
    const MediaItem live = byName.value("live-photo-pair/IMG_0001.HEIC");
    EXPECT_TRUE(live.isLivePhoto);
    EXPECT_EQ(live.liveVideoURL, root + "/live-photo-pair/IMG_0001.MOV");
    // The still's date, not the movie's 1999 one.
    EXPECT_EQ(live.captureDate, QDateTime(QDate(2022, 2, 22), QTime(22, 22, 22), shanghai));

    const MediaItem camera = byName.value("jpeg-exif-date-gps-camera.jpg");
    EXPECT_EQ(camera.latitude, -33.5);
    EXPECT_EQ(camera.kind, MediaKind::photo);
    EXPECT_EQ(byName.value("IMG_20230512_143015.jpg").captureDate,
              QDateTime(QDate(2023, 5, 12), QTime(14, 30, 15), shanghai));
    const MediaItem movie = byName.value("mov-quicktime-date-iso6709.mov");
    EXPECT_EQ(movie.kind, MediaKind::video);
    EXPECT_TRUE(movie.duration.has_value());
    EXPECT_EQ(movie.longitude, 121.4737);
    for (const char* hostile :
         {"heic-zero-bytes.heic", "jpeg-truncated.jpg", "mov-hls-playlist.mov", "jpeg-name-damaged-matroska.jpg"}) {
        SCOPED_TRACE(hostile);
        ASSERT_TRUE(byName.contains(hostile));
        EXPECT_FALSE(byName.value(hostile).hasLocation());
        EXPECT_FALSE(byName.value(hostile).duration.has_value());
    }
    EXPECT_EQ(recorder.reports.back(), std::make_pair(items.size(), items.size()));
    EXPECT_EQ(recorder.reports.size(), 2u); // under 32 entries: one run
}
