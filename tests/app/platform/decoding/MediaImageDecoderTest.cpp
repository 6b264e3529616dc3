#include "app/platform/decoding/HeifImageDecoder.h"
#include "app/platform/decoding/MediaImageDecoder.h"
#include "app/platform/decoding/PixelBudget.h"
#include "app/platform/decoding/VideoFrameGrabber.h"
#include "app/platform/metadata/HevcParameterSets.h"
#include "app/platform/metadata/MediaLimits.h"
#include "app/platform/metadata/MediaProbe.h"
#include "app/platform/metadata/UntrustedMediaInput.h"
#include "app/services/thumbnails/ThumbnailProvider.h"

#include "support/app/CraftedHeif.h"
#include "support/app/CraftedMovies.h"
#include "support/app/Fixtures.h"
#include "support/app/MediaClips.h"

#include "support/app/Wait.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QCoreApplication>
#include <QTemporaryDir>

extern "C" {
#include <libavformat/avformat.h>
}

#include <string_view>

using namespace app;

namespace {

QString fixture(const QString& name)
{
    return app::test::fixturePath(QStringLiteral("thumbnails/") + name);
}

MediaItem itemAt(const QString& name, MediaKind kind)
{
    MediaItem item;
    item.url = fixture(name);
    item.kind = kind;
    return item;
}

enum class Band { none, redRight, greenRight, redTop };

Band bandOf(const QImage& image)
{
    const QColor top = image.pixelColor(image.width() / 2, 1);
    const QColor bottom = image.pixelColor(image.width() / 2, image.height() - 2);
    if (top.red() > 150 && top.blue() < 100 && bottom.blue() > 150 && bottom.red() < 100)
        return Band::redTop;
    const QColor right = image.pixelColor(image.width() - 2, image.height() / 2);
    const QColor left = image.pixelColor(1, image.height() / 2);
    if (left.blue() < 150)
        return Band::none;
    if (right.red() > 150 && right.green() < 100)
        return Band::redRight;
    if (right.green() > 150 && right.red() < 100)
        return Band::greenRight;
    return Band::none;
}

} // namespace

TEST(MediaImageDecoder, fixturesComeOutUprightSmallAndHostileOnesGiveNothing)
{
    struct Row {
        const char* file;
        MediaKind kind;
        int maxPixels;
        QSize size; // empty: no image
        Band band;
    };
    const Row rows[] = {
        // Exif orientation 6: stored landscape, shown portrait with the band on the right.
        {"orient6.jpg", MediaKind::photo, 440, {48, 64}, Band::redRight},
        {"orient6.jpg", MediaKind::photo, 32, {24, 32}, Band::redRight},
        {"orient6.jpg", MediaKind::photo, 40, {30, 40}, Band::redRight},
        // irot on both items; 32 pixels is served by the (green) thumbnail item, more by the primary.
        {"irot-with-thumbnail.heic", MediaKind::photo, 32, {24, 32}, Band::greenRight},
        {"irot-with-thumbnail.heic", MediaKind::photo, 40, {30, 40}, Band::redRight},
        {"irot-with-thumbnail.heic", MediaKind::photo, 440, {48, 64}, Band::redRight},
        // A raw file's preview, turned by LibRaw's flip.
        {"raw-orient6.dng", MediaKind::photo, 440, {24, 32}, Band::redRight},
        {"raw-orient6.dng", MediaKind::photo, 16, {12, 16}, Band::redRight},
        // A preview smaller than asked for is not scaled up: the raw data is developed instead.
        {"raw-small-preview.dng", MediaKind::photo, 16, {16, 12}, Band::redTop},
        {"raw-small-preview.dng", MediaKind::photo, 24, {24, 18}, Band::none},
        {"raw-small-preview.dng", MediaKind::photo, 440, {32, 24}, Band::none},
        // No preview at all: the raw data is developed.
        {"linear-raw-no-preview.dng", MediaKind::photo, 440, {32, 24}, Band::none},
        // Never upscaled.
        {"small-100x80.png", MediaKind::photo, 440, {100, 80}, Band::none},
        // Palette screenshots keep their palette's colours at every size.
        {"palette-1bit.png", MediaKind::photo, 320, {148, 320}, Band::redRight},
        {"palette-1bit.png", MediaKind::photo, 2200, {1017, 2200}, Band::redRight},
        {"palette-2bit.png", MediaKind::photo, 320, {148, 320}, Band::redRight},
        {"palette-2bit.png", MediaKind::photo, 2200, {1017, 2200}, Band::redRight},
        // The display matrix turns the frame a quarter clockwise.
        {"rotated-video.mp4", MediaKind::video, 440, {48, 64}, Band::redRight},
        // Half way between two quarter turns is none, as the scan reads it.
        {"rotated-45-video.mp4", MediaKind::video, 440, {64, 48}, Band::redTop},
        {"empty.jpg", MediaKind::photo, 440, {}, Band::none},
        {"text-named.jpg", MediaKind::photo, 440, {}, Band::none},
        // Cut inside its first scan: nothing rather than a half-grey picture.
        {"truncated.jpg", MediaKind::photo, 440, {}, Band::none},
        {"garbage.heic", MediaKind::photo, 440, {}, Band::none},
        {"garbage.dng", MediaKind::photo, 440, {}, Band::none},
        {"hls-playlist.mov", MediaKind::video, 440, {}, Band::none},
        {"missing-file.jpg", MediaKind::photo, 440, {}, Band::none},
        // A photo is never handed to the video road and the other way round.
        {"orient6.jpg", MediaKind::video, 440, {}, Band::none},
    };
    MediaImageDecoder decoder;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        const QImage image = decoder.decode(itemAt(row.file, row.kind), row.maxPixels);
        if (row.size.isEmpty()) {
            EXPECT_TRUE(image.isNull());
            continue;
        }
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), row.size);
        if (row.band != Band::none) {
            EXPECT_EQ(bandOf(image), row.band);
        }
    }
}

// Clips that declare more than a camera makes are refused before a decoder or an index is sized by
// what they declare: the thumbnail, the scan and the player's opening take little memory. Clips
// as phones and cameras write them, long ones included, still open.
TEST(MediaImageDecoder, craftedVideosAreRefusedInBoundedMemory)
{
    QTemporaryDir dir;
    const QString declared = dir.filePath("declared.mp4");
    const QString cropped = dir.filePath("cropped.mp4");
    ASSERT_TRUE(::test::craftedheif::hevcClip(declared, 16000, 16000));
    ASSERT_TRUE(::test::craftedheif::hevcClip(cropped, 16000, 16000, 64, 64));
    enum class Read { refused, header, picture };
    struct Row {
        const char* name;
        QString path;
        Read read;
    };
    QList<Row> rows{
        {"parameter sets coding 16000x16000", declared, Read::header},
        {"16000x16000 coded, cropped to 64x64", cropped, Read::header},
        {"a fragment declaring 16 M samples", app::test::makeFragmentDeclaring(dir, "fragment.mov", 16777216),
         Read::refused},
        {"a phone clip of a minute, fragmented at each key frame",
         app::test::makeClip(dir, "phone.mp4", "320x240", 60,
                             {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "30", "-c:a", "aac",
                              "-movflags", "frag_keyframe"}),
         Read::picture},
        {"a camera clip of a minute with uncompressed sound",
         app::test::makeClip(dir, "camera.mov", "320x240", 60,
                             {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le"}),
         Read::picture},
    };
    for (const app::test::craftedmovie::Crafted& crafted : app::test::craftedmovie::oversizedHeaders(dir))
        rows.append({crafted.name, crafted.path, crafted.headerWithin ? Read::header : Read::refused});
    const auto probe = MediaProbe::system();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QImage image;
        VideoProperties video;
        EXPECT_LT(app::test::peakGrowthMiB([&] { image = VideoFrameGrabber::decodeFile(row.path, 440); }), 64);
        EXPECT_LT(app::test::peakGrowthMiB([&] { video = probe->readVideo(row.path, MediaProbe::VideoDetail::streams); }),
                  64);
        // As the player opens a file, to read it in order.
        bool opened = false;
        EXPECT_LT(app::test::peakGrowthMiB([&] { opened = openUntrustedMediaFile(row.path, MediaAccess::frames) != nullptr; }),
                  64);
        EXPECT_EQ(opened, row.read != Read::refused);
        EXPECT_EQ(image.isNull(), row.read != Read::picture);
        EXPECT_EQ(video.readable, row.read != Read::refused);
        EXPECT_EQ(PixelBudget::held(), 0u);
    }
}

// Clips as encoders write them, coded larger than shown (H.264 in 16-pixel blocks, interlaced ones
// in 32-line pairs of fields, HEVC in 8-pixel ones): each thumbnails and probes at the size shown,
// and its parameter sets, read from its own record, code what the encoder wrote.
TEST(MediaImageDecoder, encodedVideosThumbnailAndProbeAtTheSizeShown)
{
    QTemporaryDir dir;
    const QStringList h264 = {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"};
    struct Row {
        const char* name;
        QString file;
        QString size;
        QStringList encoder;
        QSize shown, coded;
    };
    const Row rows[] = {
        {"H.264 in MP4", "progressive.mp4", "160x120", h264, {160, 120}, {160, 128}},
        {"H.264 in a transport stream", "progressive.ts", "160x120", h264, {160, 120}, {160, 128}},
        {"interlaced H.264 in MP4", "interlaced.mp4", "320x240", h264 + QStringList{"-flags", "+ildct+ilme"},
         {320, 240}, {320, 256}},
        {"interlaced H.264 in a transport stream", "interlaced.ts", "320x240",
         h264 + QStringList{"-x264opts", "interlaced=1"}, {320, 240}, {320, 256}},
        {"HEVC in MP4", "hevc.mp4", "150x100",
         {"-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error", "-pix_fmt", "yuv420p"},
         {150, 100}, {160, 112}},
    };
    const auto probe = MediaProbe::system();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString path = app::test::makeClip(dir, row.file, row.size, 1, QStringList{"-an"} + row.encoder);
        const VideoProperties video = probe->readVideo(path, MediaProbe::VideoDetail::streams);
        EXPECT_EQ(QSize(video.width, video.height), row.shown);
        EXPECT_EQ(VideoFrameGrabber::decodeFile(path, 4096).size(), row.shown);

        const FormatContextPtr format = openUntrustedMediaFile(path, MediaAccess::headers);
        ASSERT_TRUE(format);
        ASSERT_GE(findBoundedStreamInfo(format.get()), 0);
        const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        ASSERT_GE(index, 0);
        const AVStream* stream = format->streams[index];
        EXPECT_EQ(codedVideoSize(stream), row.coded);
        const AVCodecParameters* par = stream->codecpar;
        ASSERT_GT(par->extradata_size, 4);
        const std::string_view record(reinterpret_cast<const char*>(par->extradata), size_t(par->extradata_size));
        const bool isH264 = par->codec_id == AV_CODEC_ID_H264;
        hevc::PictureSize sets;
        const hevc::Found found = record.substr(0, 3) == std::string_view("\0\0\1", 3)
                || record.substr(0, 4) == std::string_view("\0\0\0\1", 4)
            ? hevc::annexBSize(record, isH264, sets)
            : isH264 ? hevc::avcConfigSize(record, sets)
                     : hevc::configSize(record, sets);
        EXPECT_EQ(found, hevc::Found::size);
        if (found != hevc::Found::size)
            continue;
        EXPECT_EQ(QSize(int(sets.width), int(sets.height)), row.shown);
        EXPECT_EQ(QSize(int(sets.codedWidth), int(sets.codedHeight)), row.coded);
    }
}

TEST(MediaImageDecoder, heifReportsWhichItemItDecoded)
{
    HeifImageDecoder::Source source = HeifImageDecoder::Source::none;
    HeifImageDecoder::decodeFile(fixture("irot-with-thumbnail.heic"), 32, &source);
    EXPECT_EQ(source, HeifImageDecoder::Source::thumbnailItem);
    HeifImageDecoder::decodeFile(fixture("irot-with-thumbnail.heic"), 33, &source);
    EXPECT_EQ(source, HeifImageDecoder::Source::primaryImage);
}

TEST(MediaImageDecoder, emptyFileThroughTheProviderIsNullAndUncached)
{
    ThumbnailProvider provider(makeMediaImageDecoder());
    const MediaItem item = itemAt("empty.jpg", MediaKind::photo);
    QObject context;
    bool done = false;
    QImage result(1, 1, QImage::Format_RGB32);
    provider.thumbnail(item, 220, 2, &context, [&](const QImage& image) {
        result = image;
        done = true;
    });
    ASSERT_TRUE(app::test::waitFor([&] { return done; }));
    EXPECT_TRUE(result.isNull());
    EXPECT_FALSE(provider.cachedThumbnail(item, 440).has_value());
    EXPECT_EQ(provider.cachedCount(), 0);
}

// A picture turned band by band while it is decoded is the picture turned whole.
TEST(MediaImageDecoder, bandsPlacedUprightEqualTheWholeTurned)
{
    QImage source(7, 5, QImage::Format_RGB32);
    for (int y = 0; y < source.height(); ++y)
        for (int x = 0; x < source.width(); ++x)
            source.setPixel(x, y, qRgb(x * 30, y * 50, 7));
    for (int orientation = 1; orientation <= 8; ++orientation) {
        for (int bandRows : {1, 2, 5}) {
            SCOPED_TRACE(testing::Message() << "orientation " << orientation << ", bands of " << bandRows);
            QImage upright(ImageScaling::orientedSize(source.size(), orientation), QImage::Format_RGB32);
            for (int first = 0; first < source.height(); first += bandRows) {
                const int count = std::min(bandRows, source.height() - first);
                const QImage band = source.copy(0, first, source.width(), bandRows);
                ImageScaling::placeOrientedRows(band, count, first, source.size(), orientation, upright);
            }
            EXPECT_EQ(upright, ImageScaling::applyExifOrientation(source, orientation).convertToFormat(QImage::Format_RGB32));
        }
    }
}
