#include "app/views/map/SlippyMapWidget.h"

#include "support/app/LoopbackTileServer.h"
#include "support/app/Wait.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDataStream>
#include <QNetworkDiskCache>
#include <QSettings>
#include <QSignalSpy>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace app;
using app::testing::LoopbackHttpServer;
using app::test::waitFor;

namespace {

using TileServer = app::testing::LoopbackTileServer;

QColor tileColour(int z, int x, int y)
{
    return TileServer::colour(z, x, y);
}

struct MapHarness {
    explicit MapHarness(const TileServer& tiles, const QString& cacheDirectory, MapTileLoader::Options loader = {})
        : MapHarness(tiles.urlTemplate(), cacheDirectory, loader)
    {
    }

    MapHarness(const QString& urlTemplate, const QString& cacheDirectory, MapTileLoader::Options loader = {})
    {
        settings.setValue(MapStyleSource::standardKey, urlTemplate);
        SlippyMapWidget::Environment environment;
        environment.settings = &settings;
        environment.loader = loader;
        environment.loader.cacheDirectory = cacheDirectory;
        environment.loader.firstRetryDelayMs = 20;
        widget = std::make_unique<SlippyMapWidget>(environment);
        widget->resize(600, 400);
        // Zoom 3 exactly: 600 px of a 2048-px world is 105.46875° of longitude.
        widget->setRegion({{0, 0}, 1, 105.46875});
        widget->show();
    }

    bool settled() const { return widget->loader()->inFlight() == 0 && widget->loader()->waitingRetries() == 0; }

    // Ends a camera move as a released drag does, without moving.
    void endMove()
    {
        QTest::mousePress(widget.get(), Qt::LeftButton, {}, QPoint(300, 200));
        QTest::mouseMove(widget.get(), QPoint(310, 200));
        QTest::mouseMove(widget.get(), QPoint(300, 200));
        QTest::mouseRelease(widget.get(), Qt::LeftButton, {}, QPoint(300, 200));
    }

    QTemporaryDir settingsDir;
    QSettings settings{settingsDir.filePath("s.ini"), QSettings::IniFormat};
    std::unique_ptr<SlippyMapWidget> widget;
};

// The eight tiles of a 600×400 view at zoom 3 around (0, 0): columns 2–5, rows 3–4.
const QStringList expectedTiles = {"/3/2/3.png", "/3/3/3.png", "/3/4/3.png", "/3/5/3.png",
                                   "/3/2/4.png", "/3/3/4.png", "/3/4/4.png", "/3/5/4.png"};

// Where tile (x, y) of that view shows: the world's left edge sits 724 px, its top 824 px, off the view.
QPoint insideTile(int x, int y)
{
    const QRect tile(x * 256 - 724, y * 256 - 824, 256, 256);
    return tile.intersected(QRect(0, 0, 600, 380)).center();
}

QSet<QString> requestedPaths(const LoopbackHttpServer& server)
{
    QSet<QString> paths;
    for (const auto& r : server.requests())
        paths.insert(r.path);
    return paths;
}

} // namespace

// The view asks for exactly its tiles, centre first, two at a time, paints each where it belongs,
// asks nothing more when repainted, and a new widget finds them in the disk cache.
TEST(SlippyMapWidget, LoadsPaintsAndCachesTheVisibleTiles)
{
    TileServer tiles(30);
    QTemporaryDir cache;
    {
        MapHarness map(tiles, cache.path());
        ASSERT_TRUE(waitFor([&] { return tiles.server.requests().size() == 8; }, 10000));
        ASSERT_TRUE(waitFor([&] { return map.settled(); }, 10000));

        EXPECT_EQ(requestedPaths(tiles.server), QSet<QString>(expectedTiles.begin(), expectedTiles.end()));
        EXPECT_EQ(tiles.server.requests().size(), 8) << "each tile once";
        EXPECT_EQ(tiles.server.mostOpenAtOnce(), 2) << "two requests at a time to one host";
        const QSet<QString> centre = {"/3/3/3.png", "/3/4/3.png", "/3/3/4.png", "/3/4/4.png"};
        EXPECT_TRUE(centre.contains(tiles.server.requests()[0].path));
        EXPECT_TRUE(centre.contains(tiles.server.requests()[1].path));
        EXPECT_TRUE(tiles.server.requests()[0].userAgent.startsWith("Tessivarnholm/"));
        EXPECT_TRUE(tiles.server.requests()[0].userAgent.contains("contact"));

        const QImage shot = map.widget->grab().toImage();
        for (int y = 3; y <= 4; ++y)
            for (int x = 2; x <= 5; ++x)
                EXPECT_EQ(shot.pixelColor(insideTile(x, y)), tileColour(3, x, y)) << x << "," << y;

        const int started = map.widget->loader()->requestsStarted();
        for (int i = 0; i < 3; ++i)
            map.widget->repaint();
        (void)map.widget->grab();
        EXPECT_EQ(map.widget->loader()->requestsStarted(), started);
        EXPECT_TRUE(map.settled());
        EXPECT_EQ(tiles.server.requests().size(), 8);
    }

    // Kept for a week although the server said a minute, as tile servers ask.
    QNetworkDiskCache disk;
    disk.setCacheDirectory(cache.path());
    const QNetworkCacheMetaData stored = disk.metaData(QUrl(tiles.server.baseUrl() + expectedTiles[0]));
    ASSERT_TRUE(stored.isValid());
    EXPECT_GT(stored.expirationDate(), QDateTime::currentDateTimeUtc().addDays(7).addSecs(-3600));

    MapHarness again(tiles, cache.path());
    ASSERT_TRUE(waitFor([&] { return again.settled(); }, 10000));
    for (const QString& path : expectedTiles)
        EXPECT_NE(again.widget->loader()->tile(QUrl(tiles.server.baseUrl() + path)), nullptr) << qPrintable(path);
    EXPECT_EQ(tiles.server.requests().size(), 8) << "every tile came from the disk cache";
    EXPECT_EQ(again.widget->grab().toImage().pixelColor(insideTile(3, 3)), tileColour(3, 3, 3));
}

// A tile the server does not have is asked for a bounded number of times, spaced out, then left as
// the placeholder; its neighbours paint normally.
TEST(SlippyMapWidget, MissingTileBecomesPlaceholderAfterBoundedRetries)
{
    TileServer tiles(0, {"/3/4/3.png"});
    QTemporaryDir cache;
    MapHarness map(tiles, cache.path());
    const QUrl missing(tiles.server.baseUrl() + "/3/4/3.png");
    ASSERT_TRUE(waitFor([&] { return map.widget->loader()->hasFailed(missing); }, 10000));
    ASSERT_TRUE(waitFor([&] { return map.settled(); }, 10000));

    EXPECT_EQ(tiles.server.countOf("/3/4/3.png"), 3);
    EXPECT_EQ(tiles.server.requests().size(), 7 + 3);
    const QImage shot = map.widget->grab().toImage();
    EXPECT_EQ(shot.pixelColor(insideTile(4, 3)), QColor(0xEB, 0xE8, 0xE2));
    EXPECT_EQ(shot.pixelColor(insideTile(3, 3)), tileColour(3, 3, 3));

    map.widget->repaint();
    map.widget->setStyle(MapStyle::standard);
    EXPECT_EQ(tiles.server.countOf("/3/4/3.png"), 3) << "not asked again before the camera moves or the long delay";
    map.endMove();
    ASSERT_TRUE(waitFor([&] { return tiles.server.countOf("/3/4/3.png") == 4; })) << "asked again after a move";
}

// Hostile answers for one tile: each is cut off or refused before it costs memory or a decode,
// nothing of it reaches the disk cache, and the tile is asked for again once the camera moves.
// A picture that is merely large is kept, scaled to the tile size.
TEST(SlippyMapWidget, HostileTileAnswersAreBoundedAndNotKept)
{
    const QByteArray giantHeader = [] {
        // A PNG signature and a 30,000 × 30,000 header, then nothing worth decoding.
        QImage small(8, 8, QImage::Format_RGB32);
        small.fill(Qt::red);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        small.save(&buffer, "PNG");
        QDataStream header(&bytes, QIODevice::ReadWrite);
        header.device()->seek(16);
        header << quint32(30000) << quint32(30000);
        // The header's checksum made right again, so only its size is wrong.
        quint32 crc = 0xFFFFFFFF;
        for (int i = 12; i < 29; ++i) {
            crc ^= quint8(bytes[i]);
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
        }
        header.device()->seek(29);
        header << quint32(~crc);
        return bytes;
    }();
    const auto pngOfSide = [](int side) {
        QImage image(side, side, QImage::Format_RGB32);
        image.fill(QColor(10, 200, 30));
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        return bytes;
    };
    constexpr qint64 bound = 2 * 1024 * 1024;
    struct Row {
        const char* name;
        LoopbackHttpServer::Response answer;
        bool kept;
    };
    const auto answer = [](QByteArray body, qint64 filler = 0, const char* type = "image/png") {
        LoopbackHttpServer::Response r;
        r.body = std::move(body);
        r.fillerBytes = filler;
        r.contentType = type;
        return r;
    };
    const Row rows[] = {
        {"a 300 MiB answer", answer(pngOfSide(256), qint64(300) * 1024 * 1024), false},
        {"an endless chunked answer", answer(pngOfSide(256), -1), false},
        {"a 30,000 × 30,000 header", answer(giantHeader), false},
        {"a real 2000 × 2000 picture", answer(pngOfSide(2000)), false},
        {"a 200 that is no picture", answer("<html>log in to the network</html>", 0, "text/html"), false},
        {"a 1024 × 1024 picture", answer(pngOfSide(1024)), true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString hostile = "/3/4/3.png";
        LoopbackHttpServer server([&](const LoopbackHttpServer::Request& request) {
            if (request.path == hostile)
                return row.answer;
            const QStringList parts = request.path.split('/', Qt::SkipEmptyParts);
            return answer(TileServer::png(parts[0].toInt(), parts[1].toInt(), QString(parts[2]).remove(".png").toInt()));
        });
        QTemporaryDir cache;
        MapTileLoader::Options options;
        options.quickAttempts = 1;
        MapHarness map(server.baseUrl() + "/{z}/{x}/{y}.png", cache.path(), options);
        const QUrl url(server.baseUrl() + hostile);
        MapTileLoader& loader = *map.widget->loader();
        ASSERT_TRUE(waitFor([&] { return map.settled() && server.requests().size() == 8; }, 20000));

        EXPECT_EQ(loader.tile(url) != nullptr, row.kept);
        EXPECT_EQ(loader.hasFailed(url), !row.kept);
        if (row.kept)
            EXPECT_EQ(loader.tile(url)->size(), QSize(256, 256));
        EXPECT_LE(loader.bytesRead(), bound + 7 * 20000) << "the bound and seven small tiles";
        EXPECT_LT(server.bodyBytesSent(), 64 * 1024 * 1024) << "the rest was never sent";
        QNetworkDiskCache disk;
        disk.setCacheDirectory(cache.path());
        EXPECT_EQ(disk.metaData(url).isValid(), row.kept);
        EXPECT_LE(disk.cacheSize(), 2 * bound);

        map.endMove();
        if (!row.kept)
            ASSERT_TRUE(waitFor([&] { return server.countOf(hostile) == 2; })) << "asked again after a move";
        ASSERT_TRUE(waitFor([&] { return map.settled(); }));
        EXPECT_EQ(server.countOf(hostile), row.kept ? 1 : 2);
    }
}

// A server down for a while: its tiles fill in when it is back, without the camera moving.
TEST(SlippyMapWidget, TilesFillInWhenTheServerIsBack)
{
    bool down = true;
    LoopbackHttpServer server([&](const LoopbackHttpServer::Request& request) {
        LoopbackHttpServer::Response response;
        if (down) {
            response.status = 503;
            return response;
        }
        const QStringList parts = request.path.split('/', Qt::SkipEmptyParts);
        response.body = TileServer::png(parts[0].toInt(), parts[1].toInt(), QString(parts[2]).remove(".png").toInt());
        return response;
    });
    QTemporaryDir cache;
    MapTileLoader::Options options;
    options.longRetryDelayMs = 300;
    MapHarness map(server.baseUrl() + "/{z}/{x}/{y}.png", cache.path(), options);
    const QUrl centre(server.baseUrl() + "/3/3/3.png");
    ASSERT_TRUE(waitFor([&] { return map.widget->loader()->hasFailed(centre); }));
    down = false;
    ASSERT_TRUE(waitFor([&] {
        for (const QString& path : expectedTiles)
            if (!map.widget->loader()->tile(QUrl(server.baseUrl() + path)))
                return false;
        return true;
    }));
    EXPECT_EQ(map.widget->grab().toImage().pixelColor(insideTile(3, 3)), tileColour(3, 3, 3));
}

// Tiles that leave the view before they arrive are aborted: they never land in the cache, and the
// new view's tiles load.
TEST(SlippyMapWidget, TilesLeavingTheViewAreAborted)
{
    TileServer tiles(400);
    QTemporaryDir cache;
    MapHarness map(tiles, cache.path());
    ASSERT_TRUE(waitFor([&] { return tiles.server.requests().size() >= 2; }));
    const QList<LoopbackHttpServer::Request> first = tiles.server.requests();
    map.widget->setRegion({{-33.87, 151.21}, 0.04, 0.04});
    ASSERT_TRUE(waitFor([&] { return map.settled(); }, 20000));
    for (const auto& request : first)
        EXPECT_EQ(map.widget->loader()->tile(QUrl(tiles.server.baseUrl() + request.path)), nullptr)
            << qPrintable(request.path);
    EXPECT_EQ(map.widget->grab().toImage().pixelColor(300, 190).red(), 128 + (8 * 14) % 128) << "zoom 14 tiles";
}

// regionChangeEnded comes once per finished change: a region set, a drag released, a run of wheel
// steps once they stop, an animation at its end.
TEST(SlippyMapWidget, RegionChangeEndsOncePerChange)
{
    TileServer tiles;
    QTemporaryDir cache;
    MapHarness map(tiles, cache.path());
    QSignalSpy ended(map.widget.get(), &SlippyMapWidget::regionChangeEnded);

    map.widget->setRegion({{31.23, 121.47}, 0.04, 0.04});
    EXPECT_EQ(ended.size(), 1);
    const double zoom = map.widget->camera().zoom();

    QTest::mousePress(map.widget.get(), Qt::LeftButton, {}, QPoint(300, 200));
    for (int step = 1; step <= 5; ++step)
        QTest::mouseMove(map.widget.get(), QPoint(300 + 20 * step, 200));
    QTest::mouseRelease(map.widget.get(), Qt::LeftButton, {}, QPoint(400, 200));
    EXPECT_EQ(ended.size(), 2);
    EXPECT_LT(map.widget->camera().center().longitude, 121.47) << "dragging right shows what lies west";

    for (int i = 0; i < 3; ++i) {
        QWheelEvent wheel(QPointF(300, 200), map.widget->mapToGlobal(QPointF(300, 200)), QPoint(), QPoint(0, 120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(map.widget.get(), &wheel);
    }
    EXPECT_NEAR(map.widget->camera().zoom(), zoom + 1.5, 1e-9);
    EXPECT_EQ(ended.size(), 2);
    ASSERT_TRUE(waitFor([&] { return ended.size() == 3; }, 2000));

    map.widget->setRegion({{31.23, 121.47}, 0.04, 0.04}, 50);
    ASSERT_TRUE(waitFor([&] { return ended.size() == 4; }, 2000));
    EXPECT_NEAR(map.widget->camera().zoom(), zoom, 1e-9);
    EXPECT_NEAR(map.widget->camera().center().longitude, 121.47, 1e-9);
}
