#include "app/platform/desktop/CacheFileInput.h"
#include "app/services/library/KeptScans.h"
#include "app/services/library/ScanCacheFile.h"
#include "app/services/noncaptured/NonCapturedIndex.h"
#include "app/services/thumbnails/ThumbnailDiskCache.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>

#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace app;

namespace {

const QByteArray zone = "Asia/Shanghai";

// Each way of putting something else where a cache file belongs.
enum class Hostile { linkToZero, fifo, oversized };

void replaceWith(Hostile hostile, const QString& path, const QByteArray& oversized)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile::remove(path);
    const QByteArray native = QFile::encodeName(path);
    switch (hostile) {
    case Hostile::linkToZero:
        ASSERT_EQ(::symlink("/dev/zero", native.constData()), 0);
        break;
    case Hostile::fifo:
        ASSERT_EQ(::mkfifo(native.constData(), 0600), 0);
        break;
    case Hostile::oversized: {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(oversized);
        break;
    }
    }
}

// Runs `read` on a thread of its own: a read that blocks fails the test instead of hanging it.
// A FIFO's reader is let go by opening its writing end; an endless read cannot be, so the process ends.
bool readsNothingAndReturns(const std::function<bool()>& read, const QString& path)
{
    std::packaged_task<bool()> task(read);
    std::future<bool> found = task.get_future();
    std::thread(std::move(task)).detach();
    if (found.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
        return !found.get();
    ADD_FAILURE() << "the read of " << path.toStdString() << " did not return";
    const int writer = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0)
        ::close(writer);
    if (writer < 0 || found.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
        std::fprintf(stderr, "a cache read is stuck for good\n");
        std::_Exit(1);
    }
    return false;
}

} // namespace

// A link to /dev/zero, a FIFO or an oversized file where a kept scan, a thumbnail entry or a
// non-captured cache belongs is a missing cache: the read returns at once and finds nothing.
TEST(CacheFileInput, HostileFilesInPlaceOfCachesReadAsMissing)
{
    struct Cache {
        const char* name;
        // Where the cache file of the case lives, what an oversized one holds, and a read that
        // says whether the cache found anything.
        std::function<QString(const QString& dir)> path;
        std::function<QByteArray(const QString& dir)> oversized;
        std::function<bool(const QString& dir)> read;
    };
    const QString library = "/photos/library";
    const QString thumbKey(40, QChar('a'));
    const QUuid libraryID("{6a1f0c2e-8d4b-4f7a-9c3e-2b5d7e9f1a3c}");
    const Cache caches[] = {
        {"kept scan",
         [&](const QString& dir) { return KeptScans(dir, zone).fileFor(library); },
         // Whole and valid, but far beyond what its one item may take.
         [&](const QString&) {
             MediaItem item;
             item.url = library + "/" + QString(3 * ScanCacheFile::maximumBytesPerItem, QChar('x')) + ".jpg";
             item.liveVideoURL = item.url + ".mov";
             item.isLivePhoto = true;
             return ScanCacheFile::encode(library, zone, {item}, {});
         },
         [&](const QString& dir) { return KeptScans(dir, zone).last(library) != nullptr; }},
        {"thumbnail entry",
         [&](const QString& dir) { return ThumbnailDiskCache(dir, 1 << 30).entryPath(thumbKey); },
         [](const QString&) { return QByteArray(8 * 1024 * 1024 + 1, 'T'); },
         [&](const QString& dir) { return ThumbnailDiskCache(dir, 1 << 30).find(thumbKey).has_value(); }},
        {"non-captured cache",
         [&](const QString& dir) {
             NonCapturedIndex::Environment env;
             env.cacheDirectory = dir;
             env.settingsFile = dir + "/settings.ini";
             return NonCapturedIndex(env).cachePath(libraryID);
         },
         [](const QString&) { return QByteArray(); }, // sized below, sparsely
         [&](const QString& dir) {
             NonCapturedIndex::Environment env;
             env.cacheDirectory = dir;
             env.settingsFile = dir + "/settings.ini";
             NonCapturedIndex index(env);
             index.setHasConfirmedOrganize(true);
             QSignalSpy settled(&index, &NonCapturedIndex::classificationSettled);
             index.ensureClassified(libraryID, {});
             // Settles only once the cache has been read.
             return !settled.wait(8000);
         }},
    };
    for (const Cache& cache : caches) {
        for (Hostile hostile : {Hostile::linkToZero, Hostile::fifo, Hostile::oversized}) {
            SCOPED_TRACE(std::string(cache.name) + " as " + std::to_string(int(hostile)));
            QTemporaryDir dir;
            const QString path = cache.path(dir.path());
            replaceWith(hostile, path, cache.oversized(dir.path()));
            if (hostile == Hostile::oversized && std::string(cache.name) == "non-captured cache")
                ASSERT_EQ(::truncate(QFile::encodeName(path).constData(), (qint64(256) << 20) + 1), 0);
            EXPECT_TRUE(readsNothingAndReturns([&] { return cache.read(dir.path()); }, path));
        }
    }
}
