#include "app/services/library/KeptScans.h"
#include "app/services/library/ScanCacheFile.h"
#include "app/views/library/LibraryContentModel.h"

#include "p2p/protocol/framing/CRC32.h"
#include "support/app/Fixtures.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>

#include <functional>
#include <mutex>

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
        // The next session starts from the file alone and gets the same.
        lib.kept->waitForWrites();
        KeptScans nextSession(lib.kept->cacheFolder(), shanghai.id());
        const auto next = nextSession.last(lib.root);
        ASSERT_NE(next, nullptr);
        ASSERT_EQ(next->items, rescanned);
        // Equal dates are equal instants; the kept ones also read as the times in the kept zone.
        for (qsizetype i = 0; i < rescanned.size(); ++i) {
            const QDateTime there = rescanned[i].captureDate.toTimeZone(shanghai);
            EXPECT_EQ(next->items[i].captureDate.date(), there.date());
            EXPECT_EQ(next->items[i].captureDate.time(), there.time());
        }
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
