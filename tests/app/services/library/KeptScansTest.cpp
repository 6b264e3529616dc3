#include "app/services/library/KeptScans.h"
#include "app/models/PhotoLibrary.h"
#include "app/services/library/ScanCacheFile.h"
#include "app/services/noncaptured/NonCapturedIndex.h"
#include "app/services/thumbnails/ThumbnailDiskCache.h"
#include "app/views/library/LibraryContentModel.h"

#include "p2p/protocol/framing/CRC32.h"
#include "support/app/Fixtures.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <thread>
#include <mutex>
#include <utility>

using namespace app;

namespace {

const QTimeZone shanghai("Asia/Shanghai");

// The system probe, noting which files it was asked to read.
class CountingProbe final : public MediaProbe {
public:
    PhotoProperties readPhoto(const QString& path) const override
    {
        note(path);
        return MediaProbe::system()->readPhoto(path);
    }
    VideoProperties readVideo(const QString& path, VideoDetail detail) const override
    {
        note(path);
        return MediaProbe::system()->readVideo(path, detail);
    }
    QStringList takeReads()
    {
        std::lock_guard lock(mutex_);
        QStringList out = reads_;
        reads_.clear();
        out.sort();
        return out;
    }

private:
    void note(const QString& path) const
    {
        std::lock_guard lock(mutex_);
        reads_.append(QFileInfo(path).fileName());
    }
    mutable std::mutex mutex_;
    mutable QStringList reads_;
};

void copyTree(const QString& from, const QString& to)
{
    QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString target = to + path.mid(from.size());
        QDir().mkpath(QFileInfo(target).path());
        ASSERT_TRUE(QFile::copy(path, target)) << path.toStdString();
    }
}

// Rewrites the file in place, the way a rotation does: same size, same modification time, new content.
void rewriteKeepingTimes(const QString& path, const std::function<void(QByteArray&)>& edit)
{
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    edit(bytes);
    file.seek(0);
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

struct Library {
    QTemporaryDir dir;
    QString root = dir.filePath("library");
    std::shared_ptr<CountingProbe> probe = std::make_shared<CountingProbe>();
    std::shared_ptr<KeptScans> kept = std::make_shared<KeptScans>(dir.filePath("cache"), shanghai.id());
    MediaFolderScanner scanner{kept, MediaScanner(probe, CaptureDates(shanghai))};

    Library() { copyTree(QDir(test::fixturePath("media")).absolutePath(), root); }
    MediaItems fullScan() const { return MediaScanner(MediaProbe::system(), CaptureDates(shanghai)).scan(root, {}); }
    MediaItems keptScan() { return scanner.scan(root, {}, CancellationToken()); }
};

} // namespace

// A rescan reads only the files that are new or changed, and its result is exactly a full scan's.
TEST(KeptScansTest, RescanReadsOnlyChangesAndEqualsAFullScan)
{
    struct Case {
        const char* name;
        std::function<void(const QString& root)> change;
        QStringList reads;
    };
    const auto file = [](const QString& root, const char* name) { return root + "/" + name; };
    const Case cases[] = {
        {"nothing changed", [](const QString&) {}, {}},
        {"added", [&](const QString& root) {
             QDir(root).mkdir("new");
             QFile::copy(file(root, "jpeg-exif-date-gps-camera.jpg"), file(root, "new/IMG_0002.jpg"));
         }, {"IMG_0002.jpg"}},
        {"removed", [&](const QString& root) { QFile::remove(file(root, "jpeg-tiff-date-only.jpg")); }, {}},
        {"renamed", [&](const QString& root) {
             QFile::rename(file(root, "jpeg-orientation-6.jpg"), file(root, "IMG_20190101_101010.jpg"));
         }, {"IMG_20190101_101010.jpg"}},
        {"touched", [&](const QString& root) {
             const QByteArray path = QFile::encodeName(file(root, "jpeg-no-metadata.jpg"));
             const timespec times[2] = {{0, UTIME_OMIT}, {1'000'000'000, 0}};
             ::utimensat(AT_FDCWD, path.constData(), times, 0);
         }, {"jpeg-no-metadata.jpg"}},
        {"touched, its facts unchanged", [&](const QString& root) {
             const QByteArray path = QFile::encodeName(file(root, "jpeg-exif-date-gps-camera.jpg"));
             const timespec times[2] = {{0, UTIME_OMIT}, {1'000'000'000, 0}};
             ::utimensat(AT_FDCWD, path.constData(), times, 0);
         }, {"jpeg-exif-date-gps-camera.jpg"}},
        {"rotated in place, modification time kept", [&](const QString& root) {
             rewriteKeepingTimes(file(root, "jpeg-exif-date-gps-camera.jpg"), [](QByteArray& bytes) {
                 // A new year in every Exif date, the size unchanged.
                 static const QRegularExpression date(R"(\d{4}:\d\d:\d\d \d\d:\d\d:\d\d)");
                 for (auto m = date.globalMatch(QString::fromLatin1(bytes)); m.hasNext();)
                     bytes[m.next().capturedStart()] = '1';
             });
         }, {"jpeg-exif-date-gps-camera.jpg"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Library lib;
        lib.keptScan();
        lib.probe->takeReads();
        c.change(lib.root);
        const MediaItems rescanned = lib.keptScan();
        EXPECT_EQ(lib.probe->takeReads(), c.reads);
        EXPECT_EQ(rescanned, lib.fullScan());
        // The next session starts from the file alone, gets the same and reads nothing: what
        // changed was read once, not at every start.
        lib.kept->waitForWrites();
        auto nextSession = std::make_shared<KeptScans>(lib.kept->cacheFolder(), shanghai.id());
        const auto next = nextSession->last(lib.root);
        ASSERT_NE(next, nullptr);
        ASSERT_EQ(next->items, rescanned);
        // Equal dates are equal instants; the kept ones also read as the times in the kept zone.
        for (qsizetype i = 0; i < rescanned.size(); ++i) {
            const QDateTime there = rescanned[i].captureDate.toTimeZone(shanghai);
            EXPECT_EQ(next->items[i].captureDate.date(), there.date());
            EXPECT_EQ(next->items[i].captureDate.time(), there.time());
        }
        MediaFolderScanner nextScan(nextSession, MediaScanner(lib.probe, CaptureDates(shanghai)));
        EXPECT_EQ(nextScan.scan(lib.root, {}, CancellationToken()), rescanned);
        EXPECT_EQ(lib.probe->takeReads(), QStringList{});
    }

    // A folder that is gone is unavailable, not shown from what was kept of it.
    Library lib;
    lib.keptScan();
    ASSERT_TRUE(lib.scanner.keptItems(lib.root).has_value());
    ASSERT_TRUE(QDir(lib.dir.path()).rename("library", "elsewhere"));
    EXPECT_FALSE(lib.scanner.keptItems(lib.root).has_value());
    EXPECT_THROW(lib.keptScan(), FolderUnavailable);
}

// A cache file that is torn, damaged, foreign or of another folder or time zone is never trusted:
// the scan reads every file again.
TEST(KeptScansTest, DamagedCacheIsIgnored)
{
    const auto withChecksum = [](QByteArray body) {
        body.chop(4);
        const quint32 crc = p2p::CRC32::value(p2p::Bytes(body.begin(), body.end()));
        return body.append(reinterpret_cast<const char*>(&crc), 4);
    };
    struct Case {
        const char* name;
        std::function<QByteArray(const QByteArray& good, const QString& root)> damage;
    };
    const Case cases[] = {
        {"torn in the middle", [](const QByteArray& good, const QString&) { return good.left(good.size() / 2); }},
        {"torn before its checksum", [](const QByteArray& good, const QString&) { return good.chopped(2); }},
        {"empty", [](const QByteArray&, const QString&) { return QByteArray(); }},
        {"one byte changed", [](const QByteArray& good, const QString&) {
             QByteArray b = good;
             b[b.size() / 2] = char(b[b.size() / 2] ^ 0x20);
             return b;
         }},
        {"another version", [&](const QByteArray& good, const QString&) {
             QByteArray b = good;
             b[4] = char(b[4] + 1);
             return withChecksum(b);
         }},
        {"another folder's", [](const QByteArray&, const QString& root) {
             return ScanCacheFile::encode(root + "-other", shanghai.id(), {}, {});
         }},
        {"another time zone", [](const QByteArray& good, const QString& root) {
             const auto contents = ScanCacheFile::decode(good, root, shanghai.id());
             return ScanCacheFile::encode(root, "Europe/Berlin", contents->items, contents->files());
         }},
        {"a count beyond the file", [&](const QByteArray& good, const QString& root) {
             QByteArray b = good;
             const qsizetype countAt = 8 + 4 + root.toUtf8().size() + 4 + shanghai.id().size();
             b[countAt + 3] = 0x7f;
             return withChecksum(b);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Library lib;
        const MediaItems full = lib.keptScan();
        lib.kept->waitForWrites();
        const QString path = lib.kept->fileFor(lib.root);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray good = file.readAll();
        file.close();
        ASSERT_TRUE(ScanCacheFile::decode(good, lib.root, shanghai.id()).has_value());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(c.damage(good, lib.root));
        file.close();

        // A new session finds only the damaged file.
        auto kept = std::make_shared<KeptScans>(lib.kept->cacheFolder(), shanghai.id());
        EXPECT_EQ(kept->last(lib.root), nullptr);
        MediaFolderScanner scanner(kept, MediaScanner(lib.probe, CaptureDates(shanghai)));
        EXPECT_FALSE(scanner.keptItems(lib.root).has_value());
        lib.probe->takeReads();
        EXPECT_EQ(scanner.scan(lib.root, {}, CancellationToken()), full);
        EXPECT_EQ(lib.probe->takeReads().size(), full.size()); // a live photo's movie is never read
    }
}

namespace {

// Runs `read` on a thread of its own, so that a read that blocks fails the test instead of hanging
// it. A FIFO's reader is let go by opening and closing its writing end; an endless read is not.
bool returnsMissing(const std::function<bool()>& read, const QString& path)
{
    std::packaged_task<bool()> task(read);
    std::future<bool> found = task.get_future();
    std::thread(std::move(task)).detach();
    if (found.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
        return !found.get();
    ::close(::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK));
    if (found.wait_for(std::chrono::seconds(2)) != std::future_status::ready)
        std::_Exit(1); // stuck for good
    return false;
}

// Records the calls of a durable replace and fails the chosen one.
class RecordingIo final : public ScanCacheFile::Io {
public:
    QString failing;
    QStringList calls;

    int open(const char* path, int flags, mode_t mode) override
    {
        return step(flags & O_DIRECTORY ? "open folder" : "open temporary") ? -1 : Io::open(path, flags, mode);
    }
    ssize_t write(int fd, const void* data, size_t size) override
    {
        return step("write") ? (errno = ENOSPC, -1) : Io::write(fd, data, size);
    }
    int fsync(int fd) override
    {
        struct stat st {};
        ::fstat(fd, &st);
        return step(S_ISDIR(st.st_mode) ? "sync folder" : "sync temporary") ? -1 : Io::fsync(fd);
    }
    int close(int fd) override { return Io::close(fd); }
    int rename(const char* from, const char* to) override { return step("rename") ? -1 : Io::rename(from, to); }

private:
    bool step(const QString& name)
    {
        calls.append(name);
        return name == failing;
    }
};

} // namespace

// The new cache reaches the disk before it replaces the old one, and the rename is flushed with its
// folder; a failure at any step leaves the old cache as it was and no temporary file behind.
TEST(KeptScansTest, CacheReplacedDurablyOrNotAtAll)
{
    const QStringList order{"open temporary", "write", "sync temporary", "rename", "open folder", "sync folder"};
    for (const QString& failing : QStringList{"", "open temporary", "write", "sync temporary", "rename"}) {
        SCOPED_TRACE(failing.toStdString());
        QTemporaryDir dir;
        const QString path = dir.filePath("library.scan");
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old");
        old.close();

        RecordingIo io;
        io.failing = failing;
        EXPECT_EQ(ScanCacheFile::writeDurably(path, "new", io), failing.isEmpty());
        const qsizetype reached = failing.isEmpty() ? order.size() : order.indexOf(failing) + 1;
        EXPECT_EQ(io.calls, order.mid(0, reached));
        QFile now(path);
        ASSERT_TRUE(now.open(QIODevice::ReadOnly));
        EXPECT_EQ(now.readAll(), failing.isEmpty() ? "new" : "old");
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"library.scan"});
    }
}

// Two writers of one cache (two programs) each write a file of their own: the cache is whole, the
// last one's, never a mix of both.
TEST(KeptScansTest, TwoWritersAtOnceLeaveOneWholeCache)
{
    struct OvertakenIo final : ScanCacheFile::Io {
        QString target;
        bool overtaken = false;
        ssize_t write(int fd, const void* data, size_t size) override
        {
            // The other writer starts and finishes while this one writes.
            if (!std::exchange(overtaken, true))
                EXPECT_TRUE(ScanCacheFile::writeDurably(target, "another, longer cache"));
            return Io::write(fd, data, size);
        }
    };
    QTemporaryDir dir;
    OvertakenIo io;
    io.target = dir.filePath("library.scan");
    EXPECT_TRUE(ScanCacheFile::writeDurably(io.target, "new", io));
    QFile now(io.target);
    ASSERT_TRUE(now.open(QIODevice::ReadOnly));
    EXPECT_EQ(now.readAll(), "new");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"library.scan"});
}

// A link (to /dev/zero, or to a whole cache elsewhere), a FIFO or an oversized file where a kept
// scan, a thumbnail entry or a non-captured cache belongs is a missing cache: the read returns at
// once and finds nothing.
TEST(KeptScansTest, HostileFilesInPlaceOfCachesReadAsMissing)
{
    const QString library = "/photos/library";
    const QByteArray zone = shanghai.id();
    const QString thumbKey(40, QChar('a'));
    const QUuid libraryID = QUuid::createUuid();
    const QString screenshot = library + "/shot.png";
    MediaItem photo;
    photo.url = library + "/a.jpg";
    struct Cache {
        const char* name;
        std::function<QString(const QString& dir)> path;
        qint64 oversize; // an oversized file of zeros, or of `bloated` when 0
        std::function<bool(const QString& dir)> read; // found anything
        std::function<QByteArray()> whole; // a cache that reads back whole
    };
    const Cache caches[] = {
        {"kept scan", [&](const QString& dir) { return KeptScans(dir, zone).fileFor(library); }, 0,
         [&](const QString& dir) { return KeptScans(dir, zone).last(library) != nullptr; },
         [&] { return ScanCacheFile::encode(library, zone, {photo}, {}); }},
        {"thumbnail entry", [&](const QString& dir) { return ThumbnailDiskCache(dir, 1 << 30).entryPath(thumbKey); },
         8 * 1024 * 1024 + 1, [&](const QString& dir) { return ThumbnailDiskCache(dir, 1 << 30).find(thumbKey).has_value(); },
         [&] {
             QTemporaryDir other;
             ThumbnailDiskCache made(other.path(), 1 << 30);
             QImage image(8, 8, QImage::Format_RGB32);
             image.fill(Qt::red);
             made.insert(thumbKey, image);
             QFile file(made.entryPath(thumbKey));
             return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
         }},
        {"non-captured cache", [&](const QString& dir) { return dir + "/" + uuidString(libraryID) + ".json"; },
         (qint64(256) << 20) + 1,
         [&](const QString& dir) {
             NonCapturedIndex index({.cacheDirectory = dir, .settingsFile = dir + "/settings.ini"});
             index.setHasConfirmedOrganize(true);
             QSignalSpy settled(&index, &NonCapturedIndex::classificationSettled);
             index.ensureClassified(libraryID, {});
             // Settles once its cache was read; what the cache said shows in the flags.
             return !settled.wait(8000) || index.isNonCaptured(libraryID, screenshot);
         },
         [&] {
             NonCapturedIndex::CacheFile file;
             file.schemaVersion = 1;
             file.libraryID = libraryID;
             file.entries.insert(screenshot, {.fileSize = 1, .mtime = 1, .isNonCaptured = true, .rule = "screenshot"});
             return QJsonDocument(file.toJson()).toJson();
         }},
    };
    // A kept scan that is whole and valid, but far beyond what its one item may take.
    MediaItem item;
    item.url = library + "/" + QString(3 * ScanCacheFile::maximumBytesPerItem, QChar('x')) + ".jpg";
    item.liveVideoURL = item.url + ".mov";
    item.isLivePhoto = true;
    const QByteArray bloated = ScanCacheFile::encode(library, zone, {item}, {});

    for (const Cache& cache : caches) {
        for (const char* hostile : {"link to /dev/zero", "link to a whole cache", "FIFO", "oversized file"}) {
            SCOPED_TRACE(std::string(cache.name) + ", " + hostile);
            QTemporaryDir dir;
            const QString path = cache.path(dir.path());
            const QByteArray native = QFile::encodeName(path);
            QDir().mkpath(QFileInfo(path).path());
            if (hostile == std::string("link to /dev/zero")) {
                ASSERT_EQ(::symlink("/dev/zero", native.constData()), 0);
            } else if (hostile == std::string("link to a whole cache")) {
                // Read as a file of its own, the cache is found: only the link makes it missing.
                QFile whole(path);
                ASSERT_TRUE(whole.open(QIODevice::WriteOnly));
                ASSERT_GT(whole.write(cache.whole()), 0);
                whole.close();
                ASSERT_TRUE(cache.read(dir.path()));
                ASSERT_TRUE(whole.rename(dir.filePath("elsewhere")));
                ASSERT_EQ(::symlink(QFile::encodeName(whole.fileName()).constData(), native.constData()), 0);
            } else if (hostile[0] == 'F') {
                ASSERT_EQ(::mkfifo(native.constData(), 0600), 0);
            } else {
                QFile file(path);
                ASSERT_TRUE(file.open(QIODevice::WriteOnly));
                ASSERT_TRUE(cache.oversize ? file.resize(cache.oversize) : file.write(bloated) == bloated.size());
            }
            EXPECT_TRUE(returnsMissing([&] { return cache.read(dir.path()); }, path));
        }
    }
}
