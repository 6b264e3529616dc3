#include "app/platform/MediaProbe.h"

#include "support/app/Fixtures.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cmath>

using namespace app;

namespace {

QString fixture(const QString& name)
{
    return test::fixturePath(QStringLiteral("media/") + name);
}

constexpr quint32 fourCC(const char (&s)[5])
{
    return (quint32(quint8(s[0])) << 24) | (quint32(quint8(s[1])) << 16) | (quint32(quint8(s[2])) << 8)
        | quint32(quint8(s[3]));
}

} // namespace

// Formatting of these values is the extractor's test; here: the raw values as stored.
TEST(MediaProbeTest, PhotoPropertiesAsStored)
{
    const auto probe = MediaProbe::system();

    const PhotoProperties camera = probe->readPhoto(fixture("jpeg-exif-date-gps-camera.jpg"));
    ASSERT_TRUE(camera.readable);
    EXPECT_EQ(camera.make, QString("  Canon\n")); // untrimmed
    EXPECT_EQ(camera.software, QString("Firmware 1.8"));
    EXPECT_EQ(camera.isoSpeedRatings, (QList<qint64>{100, 200}));
    EXPECT_EQ(camera.gpsLatitudeRef, QString("s"));
    EXPECT_DOUBLE_EQ(camera.gpsLatitude.value_or(0), 33.5); // unsigned; the ref gives the sign
    EXPECT_FALSE(camera.gpsLongitudeRef.has_value());
    EXPECT_DOUBLE_EQ(camera.gpsLongitude.value_or(0), 151.21);

    const PhotoProperties rotated = probe->readPhoto(fixture("jpeg-orientation-6.jpg"));
    EXPECT_EQ(rotated.orientation, 6);
    EXPECT_EQ(rotated.pixelWidth, 40); // stored size, not turned
    EXPECT_EQ(rotated.pixelHeight, 20);

    // A zero denominator reads as a non-number, never as a crash or a plausible value.
    const PhotoProperties zero = probe->readPhoto(fixture("jpeg-gps-zero-denominator.jpg"));
    ASSERT_TRUE(zero.gpsLatitude.has_value());
    EXPECT_FALSE(std::isfinite(*zero.gpsLatitude));

    const PhotoProperties plain = probe->readPhoto(fixture("jpeg-no-metadata.jpg"));
    EXPECT_TRUE(plain.readable);
    EXPECT_FALSE(plain.hasExif || plain.hasTiff || plain.hasGps);

    const PhotoProperties heic = probe->readPhoto(fixture("heic-with-exif.heic"));
    EXPECT_EQ(heic.dateTimeOriginal, QString("2022:02:22 22:22:22"));
    EXPECT_NEAR(heic.gpsLatitude.value_or(0), 31.2304, 1e-9);
    EXPECT_EQ(heic.pixelWidth, 64);
    EXPECT_EQ(heic.pixelHeight, 48);
    const PhotoProperties bare = probe->readPhoto(fixture("heic-without-exif.heic"));
    EXPECT_TRUE(bare.readable);
    EXPECT_FALSE(bare.hasExif);
    EXPECT_EQ(bare.pixelWidth, 64);

    // The damaged Matroska header aborts exiv2's video reader: it must never reach it.
    for (const char* name : {"heic-zero-bytes.heic", "jpeg-truncated.jpg", "mov-hls-playlist.mov",
                             "jpeg-name-damaged-matroska.jpg", "does-not-exist.jpg"}) {
        SCOPED_TRACE(name);
        const PhotoProperties p = probe->readPhoto(fixture(name));
        EXPECT_FALSE(p.dateTimeOriginal || p.gpsLatitude || p.make);
    }
}

TEST(MediaProbeTest, PixelSizeOfOtherImageFormats)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QImage image(37, 21, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    const auto probe = MediaProbe::system();
    for (const char* format : {"png", "bmp", "webp", "tiff"}) {
        SCOPED_TRACE(format);
        const QString path = dir.filePath(QString("image.") + format);
        if (!image.save(path, format)) {
            ADD_FAILURE() << "this Qt cannot write " << format;
            continue;
        }
        const PhotoProperties p = probe->readPhoto(path);
        EXPECT_TRUE(p.readable);
        EXPECT_EQ(p.pixelWidth, 37);
        EXPECT_EQ(p.pixelHeight, 21);
    }
    // A JPEG under a HEIC name is still read, by content.
    const QString renamed = dir.filePath("IMG_0001.HEIC");
    ASSERT_TRUE(QFile::copy(fixture("jpeg-exif-date-gps-camera.jpg"), renamed));
    EXPECT_EQ(probe->readPhoto(renamed).dateTimeOriginal, QString("2021:07:04 09:15:00"));

    // Qt writes no GIF; the fixture comes from ImageMagick.
    const PhotoProperties gif = probe->readPhoto(fixture("gif-37x21.gif"));
    EXPECT_EQ(gif.pixelWidth, 37);
    EXPECT_EQ(gif.pixelHeight, 21);
}

TEST(MediaProbeTest, VideoTagsAndCodecTags)
{
    const auto probe = MediaProbe::system();
    const auto detail = MediaProbe::VideoDetail::streams;

    const VideoProperties qt = probe->readVideo(fixture("mov-quicktime-date-iso6709.mov"), detail);
    ASSERT_TRUE(qt.readable);
    EXPECT_EQ(qt.quickTimeCreationDate, QString("2022-08-01T10:20:30+0800"));
    EXPECT_EQ(qt.iso6709Locations, QStringList{"+31.2304+121.4737+010.000/"});

    const VideoProperties xyz = probe->readVideo(fixture("mov-xyz-location-hevc.mov"), detail);
    EXPECT_FALSE(xyz.quickTimeCreationDate.has_value());
    EXPECT_EQ(xyz.creationTime, QString("2021-09-10T11:12:13.000000Z"));
    EXPECT_TRUE(xyz.iso6709Locations.contains("+48.8584+002.2945/"));

    // codec_tag is little-endian in FFmpeg; the probe hands out the readable order.
    EXPECT_EQ(probe->readVideo(fixture("mp4-creation-time-only-mp4v.mp4"), detail).codecFourCC, fourCC("mp4v"));
    const VideoProperties mkv = probe->readVideo(fixture("mkv-h264-no-codec-tag.mkv"), detail);
    EXPECT_EQ(mkv.codecFourCC, 0u);
    EXPECT_EQ(mkv.codecName, QString("h264"));
    EXPECT_NEAR(std::fabs(probe->readVideo(fixture("mov-portrait-display-matrix.mov"), detail).rotation), 90, 0.5);

    // The playlist would make a permissive demuxer open the file it names.
    for (const char* name : {"mov-hls-playlist.mov", "heic-zero-bytes.heic", "jpeg-truncated.jpg",
                             "does-not-exist.mov"}) {
        SCOPED_TRACE(name);
        const VideoProperties v = probe->readVideo(fixture(name), detail);
        EXPECT_FALSE(v.readable || v.hasVideoTrack);
    }
}
