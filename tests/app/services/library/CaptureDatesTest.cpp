#include "app/services/library/CaptureDates.h"

#include "support/app/Fixtures.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cmath>
#include <limits>

using namespace app;

namespace {

const QTimeZone shanghai("Asia/Shanghai");

QString fixture(const QString& name)
{
    return test::fixturePath(QStringLiteral("media/") + name);
}

CaptureDates datesAt(const QDateTime& now = QDateTime(QDate(2026, 1, 1), QTime(12, 0), QTimeZone::utc()))
{
    return CaptureDates(shanghai, [now] { return now; });
}

QDateTime local(int y, int mo, int d, int h = 0, int mi = 0, int s = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), shanghai);
}

} // namespace

TEST(CaptureDatesTest, ExifAndFileNameDates)
{
    const CaptureDates dates = datesAt();
    struct Case {
        const char* text;
        std::optional<QDateTime> exif;
    };
    const Case exifCases[] = {
        {"2021:07:04 09:15:00", local(2021, 7, 4, 9, 15)},
        {"2021:07:04 09:15:00 ", local(2021, 7, 4, 9, 15)}, // trailing blank, as some cameras pad
        {"0000:00:00 00:00:00", std::nullopt},
        {"2021:13:45 99:00:00", std::nullopt},
        {"2021-07-04 09:15:00", std::nullopt},
        {"2021:07:04", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : exifCases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(dates.parseExifDate(QString::fromUtf8(c.text)), c.exif);
    }
    EXPECT_EQ(dates.parseExifDate(QString("2021:07:04 09:15:00") + QChar(0)), local(2021, 7, 4, 9, 15));

    const Case nameCases[] = {
        {"IMG_20230512_143015.jpg", local(2023, 5, 12, 14, 30, 15)},
        {"IMG_20230512_1430.jpg", local(2023, 5, 12)},       // 12 digits: only the 8-digit form fits
        {"IMG_20230512_999999.jpg", local(2023, 5, 12)},     // no valid time, date alone
        {"IMG_19991231_WA0001.jpg", local(1999, 12, 31)},
        {"IMG_20991231.jpg", std::nullopt},                  // later than tomorrow
        {"IMG_19691231.jpg", std::nullopt},                  // before 1970
        {"IMG_1234.JPG", std::nullopt},
        {"微信图片_２０２２０１０２.jpg", local(2022, 1, 2)}, // full-width digits are numbers too
    };
    for (const Case& c : nameCases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(dates.dateFromFilename(QString::fromUtf8(c.text)), c.exif);
    }
    // Tomorrow is the limit, measured from now.
    EXPECT_TRUE(datesAt(local(2030, 1, 1)).dateFromFilename(u"IMG_20291231.jpg").has_value());
}

TEST(CaptureDatesTest, GpsSignAndValidity)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        std::optional<double> lat, lon;
        std::optional<QString> latRef, lonRef;
        std::optional<Coordinate> expected;
    };
    const Case cases[] = {
        {"south in lower case, east by default", 33.5, 151.2, QString("s"), std::nullopt, Coordinate{-33.5, 151.2}},
        {"west", 48.85, 2.35, QString("N"), QString("W"), Coordinate{48.85, -2.35}},
        {"unknown ref keeps the value", 10, 20, QString("X"), QString("?"), Coordinate{10, 20}},
        {"zero is a place", 0, 0, std::nullopt, std::nullopt, Coordinate{0, 0}},
        {"latitude only", 10, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        {"latitude 95", 95, 10, std::nullopt, std::nullopt, std::nullopt},
        {"longitude 181 west", 10, 181, std::nullopt, QString("W"), std::nullopt},
        {"zero denominator (NaN)", nan, 10, std::nullopt, std::nullopt, std::nullopt},
        {"zero denominator (inf)", 10, inf, std::nullopt, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PhotoProperties p;
        p.readable = p.hasGps = true;
        p.gpsLatitude = c.lat;
        p.gpsLongitude = c.lon;
        p.gpsLatitudeRef = c.latRef;
        p.gpsLongitudeRef = c.lonRef;
        EXPECT_EQ(CaptureDates::coordinate(p), c.expected);
        const PhotoMeta meta = datesAt().photoMetadata(p);
        EXPECT_EQ(meta.latitude.has_value(), c.expected.has_value());
    }

    struct IsoCase {
        const char* text;
        std::optional<Coordinate> expected;
    };
    const IsoCase iso[] = {
        {"+37.3349-122.0090+011.000/", Coordinate{37.3349, -122.009}},
        {"+35-139/", Coordinate{35, -139}},
        {"location: +48.8584+002.2945/ tail", Coordinate{48.8584, 2.2945}},
        {"+123.4+567.8/", std::nullopt},
        {"+48.8584/", std::nullopt},
        {"x+1-+10.5-20./", Coordinate{10.5, -20}}, // a sign without digits starts nothing
        {"", std::nullopt},
    };
    for (const IsoCase& c : iso) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(CaptureDates::coordinateFromISO6709(QString::fromUtf8(c.text)), c.expected);
    }
    // A tag from a hostile file: a long run of digits before the real place is skipped in one pass.
    const QString padded = "+" + QString(200000, u'7') + "x+48.8584+002.2945/";
    EXPECT_EQ(CaptureDates::coordinateFromISO6709(padded), (Coordinate{48.8584, 2.2945}));

    // A video whose first location is out of range takes the next one.
    VideoProperties v;
    v.readable = true;
    v.iso6709Locations = {"+123.4+567.8/", "+48.8584+002.2945/"};
    const VideoMeta meta = datesAt().videoMetadata(v);
    EXPECT_EQ(meta.latitude, 48.8584);
    EXPECT_EQ(meta.longitude, 2.2945);
}

TEST(CaptureDatesTest, VideoCreationDateAndDuration)
{
    const CaptureDates dates = datesAt();
    struct Case {
        const char* name;
        std::optional<QString> quickTime, creationTime;
        std::optional<QDateTime> expected;
    };
    const QDateTime utc1 = QDateTime(QDate(2020, 2, 3), QTime(4, 5, 6), QTimeZone::utc());
    const Case cases[] = {
        {"quicktime key wins", QString("2022-08-01T10:20:30+0800"), QString("2000-01-01T00:00:00.000000Z"),
         QDateTime(QDate(2022, 8, 1), QTime(2, 20, 30), QTimeZone::utc())},
        {"creation_time is UTC", std::nullopt, QString("2020-02-03T04:05:06.000000Z"), utc1},
        {"epoch is no date", std::nullopt, QString("1970-01-01T00:00:00.000000Z"), std::nullopt},
        {"garbage quicktime falls through", QString("yesterday"), QString("2020-02-03T04:05:06Z"), utc1},
        {"no offset is local", QString("2022-08-01T10:20:30"), std::nullopt, local(2022, 8, 1, 10, 20, 30)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VideoProperties v;
        v.readable = true;
        v.quickTimeCreationDate = c.quickTime;
        v.creationTime = c.creationTime;
        EXPECT_EQ(dates.videoCreationDate(v), c.expected);
    }

    for (const double d : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::infinity()}) {
        VideoProperties v;
        v.readable = true;
        v.duration = d;
        EXPECT_FALSE(dates.videoMetadata(v).duration.has_value()) << d;
    }
}

TEST(CaptureDatesTest, DateChainOnRealFiles)
{
    const CaptureDates dates = datesAt();
    const auto probe = MediaProbe::system();
    struct Case {
        const char* file;
        std::optional<QDateTime> date;
    };
    const Case photos[] = {
        {"jpeg-exif-date-gps-camera.jpg", local(2021, 7, 4, 9, 15)},
        {"jpeg-digitized-date-only.jpg", local(2018, 3, 4, 5, 6, 7)},
        {"jpeg-tiff-date-only.jpg", local(2017, 6, 5, 4, 3, 2)},
        {"heic-with-exif.heic", local(2022, 2, 22, 22, 22, 22)},
        {"heic-without-exif.heic", std::nullopt},
        {"heic-zero-bytes.heic", std::nullopt},
        {"jpeg-truncated.jpg", std::nullopt},
    };
    for (const Case& c : photos) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(dates.photoMetadata(probe->readPhoto(fixture(c.file))).date, c.date);
    }
    const PhotoMeta gps = dates.photoMetadata(probe->readPhoto(fixture("jpeg-exif-date-gps-camera.jpg")));
    EXPECT_DOUBLE_EQ(gps.latitude.value_or(0), -33.5);
    EXPECT_DOUBLE_EQ(gps.longitude.value_or(0), 151.21);
    EXPECT_FALSE(dates.photoMetadata(probe->readPhoto(fixture("jpeg-gps-zero-denominator.jpg"))).latitude);
    const PhotoMeta west = dates.photoMetadata(probe->readPhoto(fixture("jpeg-gps-west-no-refs.jpg")));
    EXPECT_NEAR(west.latitude.value_or(0), 48.85, 1e-9);
    EXPECT_NEAR(west.longitude.value_or(0), -2.35, 1e-9);

    const VideoMeta qt = dates.videoMetadata(probe->readVideo(fixture("mov-quicktime-date-iso6709.mov")));
    EXPECT_EQ(qt.date, QDateTime(QDate(2022, 8, 1), QTime(2, 20, 30), QTimeZone::utc()));
    EXPECT_EQ(qt.latitude, 31.2304);
    EXPECT_EQ(qt.longitude, 121.4737);
    EXPECT_NEAR(qt.duration.value_or(0), 1.0, 0.1);
    const VideoMeta xyz = dates.videoMetadata(probe->readVideo(fixture("mov-xyz-location-hevc.mov")));
    EXPECT_EQ(xyz.date, QDateTime(QDate(2021, 9, 10), QTime(11, 12, 13), QTimeZone::utc()));
    EXPECT_EQ(xyz.latitude, 48.8584);
    const VideoMeta mp4 = dates.videoMetadata(probe->readVideo(fixture("mp4-creation-time-only-mp4v.mp4")));
    EXPECT_EQ(mp4.date, QDateTime(QDate(2020, 2, 3), QTime(4, 5, 6), QTimeZone::utc()));
    EXPECT_FALSE(mp4.latitude.has_value());
    const VideoMeta hls = dates.videoMetadata(probe->readVideo(fixture("mov-hls-playlist.mov")));
    EXPECT_FALSE(hls.date || hls.duration || hls.latitude);
}

TEST(CaptureDatesTest, FallbackDates)
{
    const CaptureDates dates = datesAt();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());

    // The name wins over the file system.
    const QString named = dir.filePath("IMG_20230512_143015.jpg");
    QFile(named).open(QIODevice::WriteOnly);
    EXPECT_EQ(dates.fallbackDate(named), local(2023, 5, 12, 14, 30, 15));

    // Without a name date: the earlier of birth and modification time, so a copy (new birth time, old
    // modification time) keeps its own date.
    const QString plain = dir.filePath("IMG_0001.jpg");
    QFile file(plain);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    const QDateTime old(QDate(2001, 2, 3), QTime(4, 5, 6), QTimeZone::utc());
    ASSERT_TRUE(file.setFileTime(old, QFileDevice::FileModificationTime));
    file.close();
    EXPECT_EQ(dates.fallbackDate(plain), old);

    // Nothing at all: the distant past, which sorts after every real date.
    EXPECT_EQ(dates.fallbackDate(dir.filePath("gone.jpg")), CaptureDates::distantPast());
    EXPECT_LT(CaptureDates::distantPast(), local(1826, 1, 1));
}
