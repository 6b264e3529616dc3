#include "app/platform/metadata/MediaProbe.h"

#include "support/app/Fixtures.h"
#include "support/app/TiffBytes.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cmath>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#include <exiv2/webpimage.hpp>
#pragma GCC diagnostic pop
#include <libheif/heif.h>

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

namespace {

// What the probe reported before it read headers itself: exiv2 over the whole file, libheif for
// HEIF files, and Qt's header size when neither gave one.
PhotoProperties fullFileReading(const QString& path)
{
    PhotoProperties out;
    const QByteArray native = QFile::encodeName(path);
    const auto fromExif = [&out](const Exiv2::ExifData& exif) {
        const auto text = [&exif](const char* key) -> std::optional<QString> {
            const auto it = exif.findKey(Exiv2::ExifKey(key));
            if (it == exif.end())
                return std::nullopt;
            std::string s = it->toString();
            s.resize(std::min(s.size(), s.find('\0')));
            return QString::fromStdString(s);
        };
        const auto degrees = [&exif](const char* key) -> std::optional<double> {
            const auto it = exif.findKey(Exiv2::ExifKey(key));
            if (it == exif.end())
                return std::nullopt;
            double value = 0;
            double scale = 1;
            for (long i = 0; i < std::min(it->count(), 3L); ++i, scale *= 60) {
                const Exiv2::Rational r = it->toRational(i);
                value += (r.second == 0 ? (r.first == 0 ? NAN : INFINITY) : double(r.first) / r.second) / scale;
            }
            return value;
        };
        out.dateTimeOriginal = text("Exif.Photo.DateTimeOriginal");
        out.dateTimeDigitized = text("Exif.Photo.DateTimeDigitized");
        out.dateTime = text("Exif.Image.DateTime");
        out.make = text("Exif.Image.Make");
        out.gpsLatitudeRef = text("Exif.GPSInfo.GPSLatitudeRef");
        out.gpsLatitude = degrees("Exif.GPSInfo.GPSLatitude");
        out.gpsLongitude = degrees("Exif.GPSInfo.GPSLongitude");
        const auto o = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        if (o != exif.end())
            out.orientation = int(o->toLong());
    };
    bool done = false;
    const QString ext = QFileInfo(path).suffix().toLower();
    if (ext == "heic" || ext == "heif") {
        heif_context* ctx = heif_context_alloc();
        heif_image_handle* handle = nullptr;
        if (heif_context_read_from_file(ctx, native.constData(), nullptr).code == heif_error_Ok
            && heif_context_get_primary_image_handle(ctx, &handle).code == heif_error_Ok) {
            done = out.readable = true;
            out.pixelWidth = heif_image_handle_get_width(handle);
            out.pixelHeight = heif_image_handle_get_height(handle);
            heif_item_id id = 0;
            if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) == 1) {
                std::string data(heif_image_handle_get_metadata_size(handle, id), '\0');
                heif_image_handle_get_metadata(handle, id, data.data());
                const auto* b = reinterpret_cast<const Exiv2::byte*>(data.data());
                const uint32_t offset = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
                Exiv2::ExifData exif;
                Exiv2::ExifParser::decode(exif, b + 4 + offset, uint32_t(data.size() - 4 - offset));
                fromExif(exif);
            }
            heif_image_handle_release(handle);
        }
        heif_context_free(ctx);
    }
    if (!done) {
        try {
            const int type = Exiv2::ImageFactory::getType(native.toStdString());
            // Video containers are never handed to exiv2 (its readers abort on damaged ones).
            namespace T = Exiv2::ImageType;
            if (type == T::jpeg || type == T::bmff || type == T::png || type == T::tiff || type == T::gif
                || type == T::bmp || type == T::webp || type == T::cr2 || type == T::orf || type == T::raf
                || type == T::rw2) {
                auto image = Exiv2::ImageFactory::open(native.toStdString());
                image->readMetadata();
                out.readable = true;
                if (image->pixelWidth() > 0 && image->pixelHeight() > 0) {
                    out.pixelWidth = image->pixelWidth();
                    out.pixelHeight = image->pixelHeight();
                }
                fromExif(image->exifData());
            }
        } catch (const Exiv2::AnyError&) {
            out = PhotoProperties();
        }
    }
    if (!out.pixelWidth) {
        QImageReader reader(path);
        reader.setAutoTransform(false);
        if (reader.size().isValid() && !reader.size().isEmpty()) {
            out.readable = true;
            out.pixelWidth = reader.size().width();
            out.pixelHeight = reader.size().height();
        }
    }
    return out;
}

// Equal, NaN included.
bool same(const std::optional<double>& a, const std::optional<double>& b)
{
    return a.has_value() == b.has_value() && (!a || *a == *b || (std::isnan(*a) && std::isnan(*b)));
}

} // namespace

// The probe reads only a JPEG's header, a HEIF file's boxes and the parts of other photos that exiv2
// asks for; it must report what reading the whole file with exiv2 and libheif reports, on every
// photo fixture.
TEST(MediaProbeTest, HeaderReadsMatchFullFileReadsOnEveryFixture)
{
    const auto probe = MediaProbe::system();
    int compared = 0;
    QDirIterator it(test::fixturePath(QString()),
                    {"*.jpg", "*.JPG", "*.jpeg", "*.heic", "*.HEIC", "*.heif", "*.dng", "*.png", "*.gif", "*.tif"},
                    QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        SCOPED_TRACE(path.toStdString());
        const PhotoProperties ours = probe->readPhoto(path);
        const PhotoProperties full = fullFileReading(path);
        EXPECT_EQ(ours.readable, full.readable);
        EXPECT_EQ(ours.pixelWidth, full.pixelWidth);
        EXPECT_EQ(ours.pixelHeight, full.pixelHeight);
        EXPECT_EQ(ours.orientation, full.orientation);
        EXPECT_EQ(ours.dateTimeOriginal, full.dateTimeOriginal);
        EXPECT_EQ(ours.dateTimeDigitized, full.dateTimeDigitized);
        EXPECT_EQ(ours.dateTime, full.dateTime);
        EXPECT_EQ(ours.make, full.make);
        EXPECT_EQ(ours.gpsLatitudeRef, full.gpsLatitudeRef);
        EXPECT_TRUE(same(ours.gpsLatitude, full.gpsLatitude));
        EXPECT_TRUE(same(ours.gpsLongitude, full.gpsLongitude));
        ++compared;
    }
    EXPECT_GE(compared, 20);
}

namespace {

// A fixture with `extra` bytes of picture data inserted at `at`, and the box or segment that holds
// them grown to match, so the file still reads the same.
QByteArray grown(const QString& name, qsizetype at, qsizetype boxSizeAt, qsizetype extra)
{
    QFile file(fixture(name));
    file.open(QIODevice::ReadOnly);
    QByteArray bytes = file.readAll();
    if (boxSizeAt >= 0) {
        const quint32 size = (quint32(quint8(bytes[boxSizeAt])) << 24) | (quint32(quint8(bytes[boxSizeAt + 1])) << 16)
            | (quint32(quint8(bytes[boxSizeAt + 2])) << 8) | quint8(bytes[boxSizeAt + 3]);
        const quint32 grownSize = size + quint32(extra);
        for (int i = 0; i < 4; ++i)
            bytes[boxSizeAt + i] = char(grownSize >> (24 - 8 * i));
    }
    return bytes.insert(at, QByteArray(extra, '\x5a'));
}

// Pages of the file in [from, to) that are in the page cache.
qsizetype residentPages(const QString& path, qint64 from, qint64 to)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const qint64 size = QFileInfo(path).size();
    void* map = ::mmap(nullptr, size_t(size), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    const long page = ::sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> resident(size_t((size + page - 1) / page));
    ::mincore(map, size_t(size), resident.data());
    ::munmap(map, size_t(size));
    qsizetype count = 0;
    for (qint64 p = from / page; p < (to + page - 1) / page; ++p)
        count += resident[size_t(p)] & 1;
    return count;
}

void dropFromPageCache(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

} // namespace

// A file from a drive just plugged in: reading its metadata must not bring its picture data into
// memory. Read-ahead or a whole-file read would pull in the 8 MiB in the middle of each file.
TEST(MediaProbeTest, ColdReadsLeaveThePictureDataOnTheDisk)
{
    constexpr qsizetype extra = 8 * 1024 * 1024;
    const QByteArray jpeg = [] {
        QFile f(fixture("jpeg-exif-date-gps-camera.jpg"));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
    struct Case {
        const char* name;
        QByteArray bytes;
        bool video;
    };
    const Case cases[] = {
        // Inside the scan, before the end-of-image marker.
        {"photo.jpg", grown("jpeg-exif-date-gps-camera.jpg", jpeg.size() - 2, -1, extra), false},
        // The 'mdat' after the 'meta', grown at its end.
        {"photo.heic", grown("heic-with-exif.heic", 509 + 255, 509, extra), false},
        // Directories after the strip, as libtiff writes them.
        {"photo.tif", test::tiffWithDirectoriesAtEnd(extra), false},
        // The 'mdat' before the 'moov', grown at its end: the clip's header is at the end of the file.
        {"clip.mov", grown("mov-quicktime-date-iso6709.mov", 28 + 9110, 28, extra), true},
    };
    QTemporaryDir dir;
    const auto probe = MediaProbe::system();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.filePath(c.name);
        QFile out(path);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        ASSERT_EQ(out.write(c.bytes), c.bytes.size());
        out.close();
        const qint64 from = 64 * 1024;
        const qint64 to = c.bytes.size() - 64 * 1024;
        dropFromPageCache(path);
        if (residentPages(path, 0, c.bytes.size()) != 0)
            GTEST_SKIP() << "this file system keeps files in memory (tmpfs?); the page cache cannot be observed";
        if (c.video) {
            EXPECT_EQ(probe->readVideo(path).quickTimeCreationDate, QString("2022-08-01T10:20:30+0800"));
        } else {
            const PhotoProperties p = probe->readPhoto(path);
            EXPECT_TRUE(p.dateTimeOriginal.has_value());
            EXPECT_TRUE(p.gpsLatitude.has_value());
        }
        EXPECT_EQ(residentPages(path, from, to), 0);
    }
}
