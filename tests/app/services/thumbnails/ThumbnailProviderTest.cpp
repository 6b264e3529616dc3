#include "app/services/rotation/PhotoOrientationRotator.h"
#include "app/services/thumbnails/ThumbnailCache.h"
#include "app/services/thumbnails/ThumbnailDiskCache.h"
#include "app/services/thumbnails/ThumbnailProvider.h"

#include "support/app/Fixtures.h"
#include "support/app/Wait.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QMutex>
#include <QObject>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QWaitCondition>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>

using namespace app;
using app::test::waitFor;

namespace {

// Records every decode and, while closed, holds each one until the test lets it go.
class GatedDecoder final : public ImageDecoder {
public:
    QImage decode(const MediaItem& item, int maxPixelSize) override
    {
        QMutexLocker lock(&mutex);
        started.append(item.url);
        ++running;
        peak = std::max(peak, running);
        while (closed && releases == 0)
            opened.wait(&mutex);
        if (releases > 0)
            --releases;
        --running;
        if (item.url.endsWith(".fail"))
            return {};
        QImage image(maxPixelSize, maxPixelSize, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        return image;
    }

    void releaseOne()
    {
        QMutexLocker lock(&mutex);
        ++releases;
        opened.wakeAll();
    }
    void open()
    {
        QMutexLocker lock(&mutex);
        closed = false;
        opened.wakeAll();
    }
    int runningCount()
    {
        QMutexLocker lock(&mutex);
        return running;
    }
    int peakRunning()
    {
        QMutexLocker lock(&mutex);
        return peak;
    }
    QStringList startedPaths()
    {
        QMutexLocker lock(&mutex);
        return started;
    }

    QMutex mutex;
    QWaitCondition opened;
    bool closed = true;
    int releases = 0;
    int running = 0;
    int peak = 0;
    QStringList started;
};

MediaItem photo(const QString& path)
{
    MediaItem item;
    item.url = path;
    return item;
}

struct ThumbnailProviderRequests : ::testing::Test {
    GatedDecoder* decoder = new GatedDecoder;
    std::unique_ptr<ThumbnailProvider> provider{new ThumbnailProvider(std::unique_ptr<ImageDecoder>(decoder))};
    QObject context;

    void TearDown() override
    {
        decoder->open();
        provider->waitForIdle();
        QCoreApplication::processEvents();
    }
};

// Each run() stands for one start of the program over the same thumbnail folder.
struct KeptThumbnails : ::testing::Test {
    QTemporaryDir dir;
    static constexpr int pixels = 280;

    // Asks once, as a grid cell does, and returns how many decodes that took.
    quint64 run(const MediaItem& item)
    {
        auto* decoder = new GatedDecoder;
        decoder->open();
        ThumbnailProvider::Options options;
        // Parents missing, as in a new user's cache folder.
        options.diskCacheDirectory = dir.filePath("cache/Tessivarnholm/thumbnails");
        ThumbnailProvider provider(std::unique_ptr<ImageDecoder>(decoder), options);
        QObject context;
        QImage image;
        provider.thumbnail(item, pixels, 1, &context, [&](const QImage& i) { image = i; });
        EXPECT_TRUE(test::waitFor([&] { return !image.isNull(); })) << qPrintable(item.url);
        EXPECT_EQ(image.width(), pixels);
        provider.waitForIdle();
        return provider.decodesStarted();
    }

    MediaItem copyOfFixture(const QString& name)
    {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(QFile::copy(test::fixturePath("rotation/orientation-1.jpg"), path));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        return photo(path);
    }
};

} // namespace

TEST_F(KeptThumbnails, restartDecodesOnlyFilesThatChanged)
{
    struct Row {
        const char* name;
        std::function<void(const QString&)> change;
        quint64 decodesAfterRestart;
        bool keepsTimesAndSize; // a key of path, size and modification time alone would miss it
    };
    const Row rows[] = {
        {"untouched", [](const QString&) {}, 0, true},
        {"rotated", [](const QString& p) { PhotoOrientationRotator::rotateClockwise90(p, 1); }, 1, false},
        {"mode changed", [](const QString& p) { ::chmod(QFile::encodeName(p).constData(), 0400); }, 1, true},
        {"replaced by a copy with the same times",
         [](const QString& p) {
             struct stat st{};
             ::stat(QFile::encodeName(p).constData(), &st);
             QFile::copy(p, p + ".new");
             const timespec times[2] = {st.st_atim, st.st_mtim};
             ::utimensat(AT_FDCWD, QFile::encodeName(p + ".new").constData(), times, 0);
             ::rename(QFile::encodeName(p + ".new").constData(), QFile::encodeName(p).constData());
         },
         1, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const MediaItem item = copyOfFixture(QString(row.name) + ".jpg");
        EXPECT_EQ(run(item), 1u);
        const auto before = FileStamp::of(item.url);
        row.change(item.url);
        const auto after = FileStamp::of(item.url);
        ASSERT_TRUE(before && after);
        EXPECT_EQ(after->modifiedNs, before->modifiedNs);
        if (row.keepsTimesAndSize) {
            EXPECT_EQ(after->size, before->size);
        }
        EXPECT_EQ(run(item), row.decodesAfterRestart);
    }
}

// Another program rewrote the photo: the picture in memory is served once more, and that look at
// the file finds its new stamp, so the views ask again and get the new picture.
TEST_F(KeptThumbnails, photoChangedByAnotherProgramShowsItsNewPictureAfterTheNextLook)
{
    const MediaItem item = copyOfFixture("changed.jpg");
    ThumbnailProvider::Options options;
    options.diskCacheDirectory = dir.filePath("thumbnails");
    ThumbnailProvider provider(makeMediaImageDecoder(), options);
    QStringList changed;
    QObject::connect(&provider, &ThumbnailProvider::orientationDidChange, [&](const QString& p) { changed << p; });
    QObject context;
    QImage shown;
    const auto ask = [&] {
        provider.thumbnail(item, 40, 1, &context, [&](const QImage& i) { shown = i; });
        return test::waitFor([&] { return !std::exchange(shown, QImage()).isNull(); });
    };
    ASSERT_TRUE(ask());
    ASSERT_TRUE(QImage(30, 60, QImage::Format_RGB32).save(item.url, "JPEG")); // now taller than wide
    ASSERT_TRUE(ask());
    EXPECT_TRUE(test::waitFor([&] { return changed == QStringList{item.url}; }));
    provider.thumbnail(item, 40, 1, &context, [&](const QImage& i) { shown = i; });
    ASSERT_TRUE(test::waitFor([&] { return !shown.isNull(); }));
    EXPECT_GT(shown.height(), shown.width());
    EXPECT_EQ(provider.decodesStarted(), 2u);
}

// The last rotation at quit, on a drive whose stamps a rotation keeps (FAT, exFAT): only the writer's
// thread forgets the kept thumbnails, and a decode of the old picture that spans it keeps nothing.
TEST_F(KeptThumbnails, decodeThatSpansARotationsForgettingIsNotKept)
{
    const MediaItem item = copyOfFixture("turned at quit.jpg");
    auto* decoder = new GatedDecoder;
    ThumbnailProvider::Options options;
    options.diskCacheDirectory = dir.filePath("thumbnails");
    ThumbnailProvider provider(std::unique_ptr<ImageDecoder>(decoder), options);
    QObject context;
    provider.thumbnail(item, pixels, 1, &context, {});
    ASSERT_TRUE(waitFor([&] { return decoder->runningCount() == 1; }));
    provider.keptThumbnailsForgetter()(item.url);
    decoder->open();
    provider.waitForIdle();
    const ThumbnailDiskCache disk(options.diskCacheDirectory, 1 << 30);
    EXPECT_FALSE(QFile::exists(disk.entryPath(ThumbnailDiskCache::key(item.url, *FileStamp::of(item.url), pixels))));
    EXPECT_EQ(provider.decodesStarted(), 1u);
}

TEST_F(KeptThumbnails, damagedEntryIsDroppedAndMadeAgain)
{
    struct Row {
        const char* name;
        std::function<void(QByteArray&)> damage;
    };
    const Row rows[] = {
        {"cut short", [](QByteArray& b) { b.truncate(b.size() / 2); }},
        {"empty", [](QByteArray& b) { b.clear(); }},
        {"one byte changed", [](QByteArray& b) { b[b.size() - 10] = char(b[b.size() - 10] ^ 0x55); }},
        {"not a thumbnail", [](QByteArray& b) { b = "GIF89a not what was written"; }},
    };
    ThumbnailDiskCache disk(dir.filePath("cache/Tessivarnholm/thumbnails"), 1 << 30);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const MediaItem item = copyOfFixture(QString(row.name) + ".jpg");
        EXPECT_EQ(run(item), 1u);
        QFile entry(disk.entryPath(ThumbnailDiskCache::key(item.url, *FileStamp::of(item.url), pixels)));
        ASSERT_TRUE(entry.open(QIODevice::ReadWrite));
        QByteArray bytes = entry.readAll();
        row.damage(bytes);
        entry.resize(0);
        entry.write(bytes);
        entry.close();
        EXPECT_EQ(run(item), 1u);
        EXPECT_EQ(run(item), 0u);
    }
}

TEST(ThumbnailProviderKeys, pixelSizeAndGenerations)
{
    struct Row {
        double points, scale;
        int pixels;
    };
    const Row rows[] = {{110, 2, 220}, {110.25, 2, 221}, {140, 1.5, 210}, {0, 2, 0}, {-5, 2, 0},
                        {std::numeric_limits<double>::quiet_NaN(), 2, 0},
                        {std::numeric_limits<double>::infinity(), 2, 0}, {1e9, 2, 65536}};
    for (const Row& row : rows)
        EXPECT_EQ(ThumbnailProvider::pixelSize(row.points, row.scale), row.pixels) << row.points << "x" << row.scale;

    ThumbnailProvider provider(std::make_unique<GatedDecoder>());
    const MediaItem item = photo("/Volumes/Backup/DCIM/IMG_0001.HEIC");
    EXPECT_EQ(provider.cacheKey(item, 440), "/Volumes/Backup/DCIM/IMG_0001.HEIC|440|0");
    QStringList seen;
    QObject::connect(&provider, &ThumbnailProvider::orientationDidChange, [&](const QString& p) { seen << p; });
    provider.invalidate(item.url);
    // Observers ran before invalidate returned.
    EXPECT_EQ(seen, QStringList{item.url});
    provider.invalidate(item.url);
    EXPECT_EQ(provider.cacheKey(item, 440), "/Volumes/Backup/DCIM/IMG_0001.HEIC|440|2");
    EXPECT_EQ(provider.cacheKey(photo("/other.jpg"), 440), "/other.jpg|440|0");
}

TEST_F(ThumbnailProviderRequests, gateAdmitsSixAndTheRestInArrivalOrder)
{
    QStringList delivered;
    for (int i = 0; i < 8; ++i)
        provider->thumbnail(photo(QString("/p%1.jpg").arg(i)), 100, 1, &context,
                            [&delivered, i](const QImage& image) {
                                if (!image.isNull())
                                    delivered << QString::number(i);
                            });
    ASSERT_TRUE(waitFor([&] { return decoder->runningCount() == 6; }));
    QStringList firstSix = decoder->startedPaths();
    firstSix.sort();
    EXPECT_EQ(firstSix, (QStringList{"/p0.jpg", "/p1.jpg", "/p2.jpg", "/p3.jpg", "/p4.jpg", "/p5.jpg"}));

    decoder->releaseOne();
    ASSERT_TRUE(waitFor([&] { return decoder->startedPaths().size() == 7; }));
    EXPECT_EQ(decoder->startedPaths().at(6), "/p6.jpg");
    decoder->releaseOne();
    ASSERT_TRUE(waitFor([&] { return decoder->startedPaths().size() == 8; }));
    EXPECT_EQ(decoder->startedPaths().at(7), "/p7.jpg");

    decoder->open();
    ASSERT_TRUE(waitFor([&] { return delivered.size() == 8; }));
    // Never a seventh decode beside six running ones.
    EXPECT_EQ(decoder->peakRunning(), 6);
}

TEST_F(ThumbnailProviderRequests, cancelledWaiterDecodesNothingAndCachesNothing)
{
    for (int i = 0; i < 6; ++i)
        provider->thumbnail(photo(QString("/busy%1.jpg").arg(i)), 100, 1, &context, {});
    ASSERT_TRUE(waitFor([&] { return decoder->runningCount() == 6; }));
    bool called = false;
    const MediaItem waiting = photo("/waiting.jpg");
    ThumbnailTicket ticket = provider->thumbnail(waiting, 100, 1, &context, [&](const QImage&) { called = true; });
    ticket.cancel();
    decoder->open();
    provider->waitForIdle();
    QCoreApplication::processEvents();
    EXPECT_FALSE(decoder->startedPaths().contains("/waiting.jpg"));
    EXPECT_FALSE(called);
    EXPECT_FALSE(provider->cachedThumbnail(waiting, 100).has_value());
    EXPECT_EQ(provider->decodesStarted(), 6u);
}

TEST_F(ThumbnailProviderRequests, decodeThatRacedAnInvalidationIsNeverServed)
{
    const MediaItem item = photo("/rotated.jpg");
    provider->thumbnail(item, 220, 1, &context, {});
    ASSERT_TRUE(waitFor([&] { return decoder->runningCount() == 1; }));
    provider->invalidate(item.url);
    decoder->open();
    provider->waitForIdle();
    QCoreApplication::processEvents();
    EXPECT_FALSE(provider->cachedThumbnail(item, 220).has_value());

    QImage fresh;
    provider->thumbnail(item, 220, 1, &context, [&](const QImage& image) { fresh = image; });
    ASSERT_TRUE(waitFor([&] { return !fresh.isNull(); }));
    EXPECT_EQ(provider->decodesStarted(), 2u);
    EXPECT_TRUE(provider->cachedThumbnail(item, 220).has_value());
}

TEST_F(ThumbnailProviderRequests, hitsAreImmediateFailuresAreRetriedAndGoneReceiversHearNothing)
{
    decoder->open();
    const MediaItem item = photo("/a.jpg");
    int deliveries = 0;
    provider->thumbnail(item, 110, 2, &context, [&](const QImage&) { ++deliveries; });
    provider->thumbnail(item, 220, 2, &context, [&](const QImage&) { ++deliveries; });
    ASSERT_TRUE(waitFor([&] { return deliveries == 2; }));
    EXPECT_EQ(provider->cachedCount(), 2);
    EXPECT_EQ(provider->cachedThumbnail(item, 440)->width(), 440);
    EXPECT_FALSE(provider->cachedThumbnail(item, 300).has_value());
    // A placeholder looks through other sizes, in the order given.
    EXPECT_EQ(provider->cachedThumbnail(item, QList<double>{480, 220, 110}, 2)->width(), 440);
    EXPECT_FALSE(provider->cachedThumbnail(item, QList<double>{480, 280}, 2).has_value());

    // A hit answers before returning and never reaches the decoder.
    provider->thumbnail(item, 220, 2, &context, [&](const QImage&) { ++deliveries; });
    EXPECT_EQ(deliveries, 3);
    EXPECT_EQ(provider->decodesStarted(), 2u);

    // Nothing decodable is not remembered: the next request tries again.
    const MediaItem broken = photo("/broken.fail");
    bool gotNull = false;
    provider->thumbnail(broken, 100, 1, &context, [&](const QImage& image) { gotNull = image.isNull(); });
    ASSERT_TRUE(waitFor([&] { return gotNull; }));
    provider->thumbnail(broken, 100, 1, &context, {});
    provider->waitForIdle();
    EXPECT_EQ(provider->decodesStarted(), 4u);

    // A receiver destroyed before the result arrives is not called.
    bool lateCall = false;
    auto receiver = std::make_unique<QObject>();
    provider->thumbnail(photo("/late.jpg"), 100, 1, receiver.get(), [&](const QImage&) { lateCall = true; });
    receiver.reset();
    provider->waitForIdle();
    QCoreApplication::processEvents();
    EXPECT_FALSE(lateCall);
}

TEST(ThumbnailCache, boundedByCountAndBytesLeastRecentFirst)
{
    const auto image = [](int side) {
        QImage i(side, side, QImage::Format_RGB32);
        i.fill(Qt::red);
        return i;
    };
    const qint64 unit = image(10).sizeInBytes();

    // Byte budget of three small images, count budget of ten.
    ThumbnailCache cache(10, unit * 3);
    cache.insert("a", image(10));
    cache.insert("b", image(10));
    cache.insert("c", image(10));
    ASSERT_TRUE(cache.find("a").has_value()); // a is now the most recent
    cache.insert("d", image(10));
    EXPECT_FALSE(cache.find("b").has_value());
    EXPECT_TRUE(cache.find("a").has_value());
    EXPECT_EQ(cache.bytes(), unit * 3);

    // An image larger than the whole budget is not kept and evicts nothing.
    cache.insert("huge", image(100));
    EXPECT_FALSE(cache.find("huge").has_value());
    EXPECT_EQ(cache.count(), 3);

    // Replacing a key keeps the byte count exact, so it evicts nothing.
    cache.insert("a", image(10));
    EXPECT_EQ(cache.bytes(), unit * 3);
    EXPECT_EQ(cache.count(), 3);

    ThumbnailCache byCount(2, unit * 100);
    byCount.insert("x", image(10));
    byCount.insert("y", image(10));
    byCount.insert("z", image(10));
    EXPECT_EQ(byCount.count(), 2);
    EXPECT_FALSE(byCount.find("x").has_value());

    byCount.removePrefix("y");
    EXPECT_EQ(byCount.count(), 1);
    EXPECT_EQ(byCount.bytes(), unit);
}
