#include "app/models/MediaItem.h"
#include "app/models/SidebarDestination.h"

#include <gtest/gtest.h>

#include <QTimeZone>

using namespace app;

namespace {
MediaItem item(const QString& path, MediaKind kind = MediaKind::photo, bool live = false)
{
    MediaItem i;
    i.url = path;
    i.kind = kind;
    i.isLivePhoto = live;
    if (live)
        i.liveVideoURL = path.left(path.lastIndexOf('.')) + ".MOV";
    i.captureDate = QDateTime(QDate(2024, 5, 7), QTime(10, 0), QTimeZone::utc());
    return i;
}
} // namespace

TEST(MediaFormat, KindByExtension)
{
    struct Row {
        const char* path;
        std::optional<MediaKind> kind;
    };
    const Row rows[] = {
        {"/a/IMG_1.JPG", MediaKind::photo},
        {"/a/IMG_1.heic", MediaKind::photo},
        {"/a/raw.Cr3", MediaKind::photo},
        {"/a/clip.MOV", MediaKind::video},
        {"/a/clip.hevc", MediaKind::video},
        {"/a/notes.txt", std::nullopt},
        {"/a/photo.jpe", std::nullopt},
        {"/a/noextension", std::nullopt},
        {"/a.jpg/noextension", std::nullopt},
        {"/a/archive.jpg.part", std::nullopt},
        {"/a/trailingdot.", std::nullopt},
    };
    for (const auto& row : rows)
        EXPECT_EQ(MediaFormat::kind(row.path), row.kind) << row.path;
}

TEST(MediaItem, DerivedProperties)
{
    EXPECT_TRUE(item("/p/a.HEIC").supportsOrientationRotate());
    EXPECT_TRUE(item("/p/a.dng").supportsOrientationRotate());
    EXPECT_FALSE(item("/p/a.HEIC", MediaKind::photo, true).supportsOrientationRotate()) << "live photo";
    EXPECT_FALSE(item("/p/a.png").supportsOrientationRotate());
    EXPECT_FALSE(item("/p/a.mov", MediaKind::video).supportsOrientationRotate());

    MediaItem halfLocated = item("/p/a.jpg");
    halfLocated.latitude = 31.2;
    EXPECT_FALSE(halfLocated.hasLocation());
    EXPECT_FALSE(halfLocated.coordinate().has_value());
    halfLocated.longitude = 121.5;
    ASSERT_TRUE(halfLocated.coordinate().has_value());
    EXPECT_EQ(*halfLocated.coordinate(), (Coordinate{31.2, 121.5}));

    // Same path, other date: same identity, different value.
    MediaItem later = item("/p/a.jpg");
    later.captureDate = later.captureDate.addSecs(1);
    EXPECT_EQ(later.id(), item("/p/a.jpg").id());
    EXPECT_NE(later, item("/p/a.jpg"));
    EXPECT_EQ(item("/p/a.jpg"), item("/p/a.jpg"));
    EXPECT_EQ(qHash(item("/p/a.jpg")), qHash(item("/p/a.jpg")));
}

TEST(LibraryMediaFilter, ApplyTable)
{
    const MediaItems items{item("/p/still.jpg"), item("/p/shot.png"), item("/p/flagged-false.jpg"),
                           item("/p/live.heic", MediaKind::photo, true), item("/p/clip.mov", MediaKind::video)};
    const auto flags = [](const MediaItem& i) -> std::optional<bool> {
        if (i.url.endsWith("shot.png") || i.url.endsWith("clip.mov"))
            return true;
        if (i.url.endsWith("flagged-false.jpg"))
            return false;
        return std::nullopt;
    };
    const auto paths = [&](LibraryMediaFilter f) {
        QStringList out;
        for (const auto& i : MediaFilter::apply(f, items, flags))
            out << i.url.mid(3);
        return out.join(',');
    };
    EXPECT_EQ(paths(LibraryMediaFilter::all), "still.jpg,shot.png,flagged-false.jpg,live.heic,clip.mov");
    EXPECT_EQ(paths(LibraryMediaFilter::photos), "still.jpg,flagged-false.jpg");
    EXPECT_EQ(paths(LibraryMediaFilter::videos), "clip.mov");
    EXPECT_EQ(paths(LibraryMediaFilter::livePhotos), "live.heic");
    EXPECT_EQ(paths(LibraryMediaFilter::nonCaptured), "shot.png,clip.mov");

    int calls = 0;
    const auto counting = [&](const MediaItem&) -> std::optional<bool> { ++calls; return std::nullopt; };
    MediaFilter::apply(LibraryMediaFilter::photos, items, counting);
    EXPECT_EQ(calls, 3) << "only still, non-live photos are looked up";
    calls = 0;
    MediaFilter::apply(LibraryMediaFilter::all, items, counting);
    EXPECT_EQ(calls, 0);
}

TEST(LibraryMediaFilter, RawValuesAndDestinations)
{
    for (auto f : {LibraryMediaFilter::all, LibraryMediaFilter::photos, LibraryMediaFilter::videos,
                   LibraryMediaFilter::livePhotos, LibraryMediaFilter::nonCaptured})
        EXPECT_EQ(MediaFilter::fromRawValue(MediaFilter::rawValue(f)), f);
    EXPECT_FALSE(MediaFilter::fromRawValue("All").has_value());
    EXPECT_FALSE(MediaFilter::fromRawValue("").has_value());

    const QUuid id = QUuid::fromString(QStringLiteral("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9"));
    const auto library = SidebarDestination::library(id);
    const auto map = SidebarDestination::map(id);
    EXPECT_EQ(library.libraryID, map.libraryID);
    EXPECT_NE(library, map);
    EXPECT_EQ(map.id(), "map-0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");
    EXPECT_EQ(SidebarDestination::livePhotos(id).id(), "livePhotos-0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");
    EXPECT_NE(qHash(library), qHash(map));
}
