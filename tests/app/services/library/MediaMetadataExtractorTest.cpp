#include "app/services/library/MediaMetadataExtractor.h"

#include "support/app/FakeMediaProbe.h"
#include "support/app/Fixtures.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTemporaryDir>

#include <clocale>
#include <limits>
#include <optional>

using namespace app;
using app::test::FakeMediaProbe;

namespace {

const QTimeZone shanghai("Asia/Shanghai");

QString fixture(const QString& name)
{
    return test::fixturePath(QStringLiteral("media/") + name);
}

QStringList labels(const MediaMetadata& m)
{
    QStringList out;
    for (const MediaMetadata::Row& r : m.rows())
        out.append(r.label);
    return out;
}

QString value(const MediaMetadata& m, const QString& label)
{
    for (const MediaMetadata::Row& r : m.rows())
        if (r.label == label)
            return r.value;
    return QStringLiteral("<none>");
}

MediaItem item(const QString& path, MediaKind kind, bool live = false)
{
    MediaItem i;
    i.url = path;
    i.kind = kind;
    i.isLivePhoto = live;
    i.captureDate = QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5), shanghai);
    return i;
}

} // namespace

TEST(MediaMetadataExtractorTest, Formatting)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, const char*> shutter[] = {
        {0, "—"}, {-1, "—"}, {nan, "—"}, {0.004, "1/250 s"}, {0.5, "1/2 s"}, {0.8, "1/1 s"},
        {1, "1.0 s"}, {2, "2.0 s"}, {1e-300, "1/1000000000 s"}, {inf, "—"},
    };
    for (const auto& [t, text] : shutter)
        EXPECT_EQ(MediaMetadataExtractor::formatShutter(t), QString::fromUtf8(text)) << t;

    const std::pair<double, const char*> durations[] = {
        {59.4, "0:59"}, {59.5, "1:00"}, {3599.5, "1:00:00"}, {3725, "1:02:05"}, {12.6, "0:13"},
        {1e30, "277777777:46:40"}, {-5, "0:00"}, {nan, "0:00"},
    };
    for (const auto& [d, text] : durations)
        EXPECT_EQ(MediaMetadataExtractor::formatDuration(d), QString::fromUtf8(text)) << d;

    const std::pair<quint32, const char*> codes[] = {
        {0x68766331, "HEVC (H.265)"}, {0x68657631, "HEVC (H.265)"}, {0x61766331, "H.264"},
        {0x61706366, "APCF"}, {0x6170636e, "ProRes"}, {0x20202020, "未知"}, {0x6d703476, "MP4V"},
        {0x6a706567, "JPEG"}, {0x09617031, "AP1"},
    };
    for (const auto& [code, text] : codes)
        EXPECT_EQ(MediaMetadataExtractor::fourCCString(code), QString::fromUtf8(text)) << std::hex << code;

    EXPECT_EQ(MediaMetadataExtractor::codecDisplayName("hevc"), "HEVC (H.265)");
    EXPECT_EQ(MediaMetadataExtractor::codecDisplayName("vp9"), "VP9");

    const MediaMetadataExtractor extractor(std::make_shared<FakeMediaProbe>(), shanghai);
    EXPECT_EQ(extractor.formatDate(QDateTime(QDate(2023, 7, 1), QTime(8, 5, 9), shanghai)),
              QString::fromUtf8("2023年7月1日 08:05:09"));
}

TEST(MediaMetadataExtractorTest, FieldsFromProbeValues)
{
    auto probe = std::make_shared<FakeMediaProbe>();
    PhotoProperties p;
    p.readable = p.hasTiff = p.hasExif = p.hasGps = true;
    p.pixelWidth = 4032;
    p.pixelHeight = 3024;
    p.make = "  Canon\n";
    p.model = "   ";
    p.isoSpeedRatings = QList<qint64>{};
    p.flash = 16;
    p.whiteBalance = 0;
    p.fNumber = std::numeric_limits<double>::infinity(); // zero denominator
    p.dateTimeOriginal = "2023:07:01 08:05:09";
    p.gpsLatitude = 33.8688;
    p.gpsLatitudeRef = "s";
    p.gpsAltitude = 12.34;
    p.gpsAltitudeRef = 1;
    probe->photos.insert("a.jpg", p);
    const MediaMetadataExtractor extractor(probe, shanghai);

    const MediaMetadata m = extractor.extract(item("/nowhere/a.jpg", MediaKind::photo));
    EXPECT_EQ(labels(m), (QStringList{"文件名", "类型", "尺寸", "拍摄时间", "设备品牌", "闪光灯", "白平衡", "海拔"}));
    EXPECT_EQ(value(m, "尺寸"), QString::fromUtf8("4032 × 3024"));
    EXPECT_EQ(value(m, "设备品牌"), "Canon");
    EXPECT_EQ(value(m, "拍摄时间"), QString::fromUtf8("2023年7月1日 08:05:09"));
    EXPECT_EQ(value(m, "闪光灯"), QString::fromUtf8("未闪光"));
    EXPECT_EQ(value(m, "白平衡"), QString::fromUtf8("自动"));
    EXPECT_EQ(value(m, "海拔"), "-12.3 m"); // no longitude: no place, but the altitude stays

    // Unreadable: name, kind and the item's own date only; a live photo is labelled as such.
    const MediaMetadata none = extractor.extract(item("/nowhere/b.HEIC", MediaKind::photo, true));
    EXPECT_EQ(labels(none), (QStringList{"文件名", "类型", "拍摄时间"}));
    EXPECT_EQ(value(none, "类型"), QString::fromUtf8("实况照片"));
    EXPECT_EQ(value(none, "拍摄时间"), QString::fromUtf8("2020年1月2日 03:04:05"));

    // A video's place is shown as written, but an out-of-range text is no place: the next one is taken.
    VideoProperties v;
    v.readable = true;
    v.iso6709Locations = {"+123.4+567.8/", "+48.8584+002.2945/"};
    probe->videos.insert("c.mov", v);
    EXPECT_EQ(value(extractor.extract(item("/nowhere/c.mov", MediaKind::video)), "位置"), "+48.8584+002.2945/");
    v.iso6709Locations = {"+123.4+567.8/"};
    probe->videos.insert("d.mov", v);
    EXPECT_FALSE(labels(extractor.extract(item("/nowhere/d.mov", MediaKind::video))).contains("位置"));
}

// Sizes read in Chinese, in decimal units, whatever the locale: a fresh install often runs
// under C.UTF-8, whose words are English.
TEST(MediaMetadataExtractorTest, SizesReadInChineseUnderAnyLocale)
{
    const QLocale before;
    const std::string cBefore = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C.UTF-8");
    QLocale::setDefault(QLocale::c());
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString empty = dir.filePath("empty.jpg");
    ASSERT_TRUE(QFile(empty).open(QIODevice::WriteOnly));
    const QString mov = fixture("mov-quicktime-date-iso6709.mov");
    const double kB = QFileInfo(mov).size() / 1000.0;
    const MediaMetadataExtractor extractor;
    EXPECT_EQ(value(extractor.extract(item(empty, MediaKind::photo)), "大小"), QString::fromUtf8("0 字节"));
    EXPECT_EQ(MediaMetadataExtractor::fileSizeString(mov), QString("%1 kB").arg(kB, 0, 'f', 1));
    QLocale::setDefault(before);
    std::setlocale(LC_ALL, cBefore.c_str());
}

TEST(MediaMetadataExtractorTest, RealPhotosAndVideos)
{
    const MediaMetadataExtractor extractor(MediaProbe::system(), shanghai);

    const MediaMetadata camera = extractor.extract(item(fixture("jpeg-exif-date-gps-camera.jpg"), MediaKind::photo));
    EXPECT_EQ(labels(camera),
              (QStringList{"文件名", "类型", "大小", "尺寸", "拍摄时间", "设备品牌", "设备型号", "镜头", "焦距", "光圈",
                           "快门", "感光度", "闪光灯", "白平衡", "位置", "海拔"}));
    EXPECT_EQ(value(camera, "文件名"), "jpeg-exif-date-gps-camera.jpg");
    EXPECT_EQ(value(camera, "类型"), QString::fromUtf8("照片"));
    const qint64 bytes = QFileInfo(fixture("jpeg-exif-date-gps-camera.jpg")).size();
    EXPECT_EQ(value(camera, "大小"), QString::fromUtf8("%1 字节").arg(bytes));
    EXPECT_FALSE(MediaMetadataExtractor::fileSizeString(fixture("does-not-exist.jpg")).has_value());
    EXPECT_EQ(value(camera, "尺寸"), QString::fromUtf8("48 × 32"));
    EXPECT_EQ(value(camera, "拍摄时间"), QString::fromUtf8("2021年7月4日 09:15:00"));
    EXPECT_EQ(value(camera, "设备品牌"), "Canon");
    EXPECT_EQ(value(camera, "设备型号"), "EOS R5");
    EXPECT_EQ(value(camera, "镜头"), "RF24-105mm F4 L IS USM");
    EXPECT_EQ(value(camera, "焦距"), "50.0 mm");
    EXPECT_EQ(value(camera, "光圈"), QString::fromUtf8("ƒ/2.8"));
    EXPECT_EQ(value(camera, "快门"), "1/250 s");
    EXPECT_EQ(value(camera, "感光度"), "ISO 100");
    EXPECT_EQ(value(camera, "闪光灯"), QString::fromUtf8("已闪光"));
    EXPECT_EQ(value(camera, "白平衡"), QString::fromUtf8("手动"));
    EXPECT_EQ(value(camera, "位置"), "-33.500000, 151.210000");
    EXPECT_EQ(value(camera, "海拔"), "-12.3 m");

    EXPECT_EQ(labels(extractor.extract(item(fixture("jpeg-no-metadata.jpg"), MediaKind::photo))),
              (QStringList{"文件名", "类型", "大小", "尺寸", "拍摄时间"}));
    EXPECT_FALSE(labels(extractor.extract(item(fixture("jpeg-make-only-blanks.jpg"), MediaKind::photo)))
                     .contains("设备品牌"));
    const MediaMetadata zeroDen = extractor.extract(item(fixture("jpeg-gps-zero-denominator.jpg"), MediaKind::photo));
    EXPECT_FALSE(labels(zeroDen).contains("位置"));

    MediaItem movieItem = item(fixture("mov-quicktime-date-iso6709.mov"), MediaKind::video);
    movieItem.duration = 12.6; // the item's own length wins over the container's
    const MediaMetadata movie = extractor.extract(movieItem);
    EXPECT_EQ(labels(movie), (QStringList{"文件名", "类型", "大小", "尺寸", "时长", "帧率", "编码", "拍摄时间",
                                          "设备品牌", "设备型号", "位置"}));
    EXPECT_EQ(value(movie, "类型"), QString::fromUtf8("视频"));
    EXPECT_EQ(value(movie, "时长"), "0:13");
    EXPECT_EQ(value(movie, "帧率"), "29.97 fps");
    EXPECT_EQ(value(movie, "编码"), "H.264");
    EXPECT_EQ(value(movie, "拍摄时间"), QString::fromUtf8("2022年8月1日 10:20:30"));
    EXPECT_EQ(value(movie, "设备型号"), "iPhone 15 Pro");
    EXPECT_EQ(value(movie, "位置"), "+31.2304+121.4737+010.000/");

    struct Case {
        const char* file;
        const char* codec;
        const char* size;
    };
    const Case videos[] = {
        {"mov-xyz-location-hevc.mov", "HEVC (H.265)", "64 × 48"},
        {"mp4-creation-time-only-mp4v.mp4", "MP4V", "64 × 48"},
        {"mkv-h264-no-codec-tag.mkv", "H.264", "64 × 48"},
        {"mov-portrait-display-matrix.mov", "H.264", "48 × 64"},
    };
    for (const Case& c : videos) {
        SCOPED_TRACE(c.file);
        const MediaMetadata v = extractor.extract(item(fixture(c.file), MediaKind::video));
        EXPECT_EQ(value(v, "编码"), QString::fromUtf8(c.codec));
        EXPECT_EQ(value(v, "尺寸"), QString::fromUtf8(c.size));
        EXPECT_EQ(value(v, "时长"), "0:01");
    }

    const MediaMetadata sound = extractor.extract(item(fixture("mov-sound-only.mov"), MediaKind::video));
    EXPECT_FALSE(labels(sound).contains("尺寸") || labels(sound).contains("帧率") || labels(sound).contains("编码"));
    EXPECT_EQ(value(sound, "设备品牌"), "Zoom");

    // A hostile file still gets its name, kind, size and date.
    const MediaMetadata hls = extractor.extract(item(fixture("mov-hls-playlist.mov"), MediaKind::video));
    EXPECT_EQ(labels(hls), (QStringList{"文件名", "类型", "大小", "拍摄时间"}));

    // The asynchronous road gives the same card.
    EXPECT_EQ(extractor.extractAsync(movieItem).result().rows(), movie.rows());
}

// Containers that keep their duration on a stream, or their streams in packets rather than a header:
// the grid's duration badge (the scan's quick read) and the card's rows must still be there.
TEST(MediaMetadataExtractorTest, ContainersWithoutAHeaderDuration)
{
    struct Case {
        const char* file;
        std::optional<double> scanDuration; // what the grid badge shows; none for a raw stream
        const char* duration;
        const char* codec;
        const char* frameRate;
        const char* size = "64 × 48";
    };
    const Case cases[] = {
        {"avi-mpeg4.avi", 2.0, "0:02", "FMP4", "25.00 fps"},
        {"mpg-program-stream.mpg", 2.0, "0:02", "MPEG2VIDEO", "25.00 fps"},
        // The transport stream's tag is 0x1b: the codec's name, not a control character.
        {"mpg-transport-stream-h264.mpg", 2.0, "0:02", "H.264", "25.00 fps"},
        {"hevc-raw-stream.hevc", std::nullopt, "<none>", "HEVC (H.265)", "25.00 fps"},
        // Only its name says HEVC: no track, so nothing about one.
        {"hevc-zero-bytes.hevc", std::nullopt, "<none>", "<none>", "<none>", "<none>"},
    };
    const auto probe = MediaProbe::system();
    const MediaMetadataExtractor extractor(probe, shanghai);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const QString path = test::fixturePath(QStringLiteral("video-containers/") + c.file);
        const std::optional<double> quick = probe->readVideo(path, MediaProbe::VideoDetail::tags).duration;
        EXPECT_NEAR(quick.value_or(-1), c.scanDuration.value_or(-1), 0.1);

        const MediaMetadata card = extractor.extract(item(path, MediaKind::video));
        EXPECT_EQ(value(card, "时长"), QString::fromUtf8(c.duration));
        EXPECT_EQ(value(card, "编码"), QString::fromUtf8(c.codec));
        EXPECT_EQ(value(card, "尺寸"), QString::fromUtf8(c.size));
        EXPECT_EQ(value(card, "帧率"), QString::fromUtf8(c.frameRate));
    }
}
