#include "app/services/thumbnails/ThumbnailDiskCache.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

using namespace app;

namespace {

QString keyOf(char c)
{
    return QString(40, QChar(c));
}

QImage solid()
{
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(Qt::darkGreen);
    return image;
}

} // namespace

TEST(ThumbnailDiskCache, boundEvictsLeastRecentlyUsedAlsoAfterRestart)
{
    QTemporaryDir dir;
    qint64 entryBytes = 0;
    {
        ThumbnailDiskCache probe(dir.filePath("probe"), 1 << 20);
        probe.insert(keyOf('0'), solid());
        entryBytes = probe.bytes();
    }
    ASSERT_GT(entryBytes, 0);
    // Room for three entries.
    const qint64 limit = entryBytes * 3 + entryBytes / 2;
    const QString folder = dir.filePath("thumbnails");
    {
        ThumbnailDiskCache cache(folder, limit);
        for (char c : {'a', 'b', 'c'})
            cache.insert(keyOf(c), solid());
        ASSERT_TRUE(cache.find(keyOf('a')).has_value());
        cache.insert(keyOf('d'), solid());
        EXPECT_FALSE(cache.contains(keyOf('b')));
        EXPECT_FALSE(QFile::exists(cache.entryPath(keyOf('b'))));
        for (char c : {'a', 'c', 'd'})
            EXPECT_TRUE(cache.contains(keyOf(c))) << c;
        EXPECT_EQ(cache.bytes(), entryBytes * 3);
    }
    // The order of use is kept on disk: after a restart 'c' is still the least recently used.
    ThumbnailDiskCache restarted(folder, limit);
    EXPECT_EQ(restarted.bytes(), entryBytes * 3);
    restarted.insert(keyOf('e'), solid());
    EXPECT_FALSE(restarted.contains(keyOf('c')));
    for (char c : {'a', 'd', 'e'})
        EXPECT_TRUE(restarted.contains(keyOf(c))) << c;
    const std::optional<QImage> kept = restarted.find(keyOf('a'));
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->size(), solid().size());
}

// Two views decoding one photo at once write its thumbnail twice, in this run or across a restart:
// it counts once against the bound, so nothing is evicted early.
TEST(ThumbnailDiskCache, ThumbnailWrittenTwiceCountsOnce)
{
    QTemporaryDir dir;
    ThumbnailDiskCache probe(dir.filePath("probe"), 1 << 20);
    probe.insert(keyOf('0'), solid());
    const qint64 entryBytes = probe.bytes();
    // Room for two entries.
    const qint64 limit = entryBytes * 2 + entryBytes / 2;
    {
        ThumbnailDiskCache cache(dir.filePath("thumbnails"), limit);
        cache.insert(keyOf('a'), solid());
        cache.insert(keyOf('a'), solid());
        EXPECT_EQ(cache.bytes(), entryBytes);
    }
    ThumbnailDiskCache restarted(dir.filePath("thumbnails"), limit);
    restarted.insert(keyOf('a'), solid());
    restarted.insert(keyOf('b'), solid());
    EXPECT_EQ(restarted.bytes(), entryBytes * 2);
    for (char c : {'a', 'b'})
        EXPECT_TRUE(restarted.contains(keyOf(c)) && QFile::exists(restarted.entryPath(keyOf(c)))) << c;
}
