#include "support/BenchInputs.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <libheif/heif.h>

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace bench {
namespace {

QString numbered(const QString& dir, int i, const QString& prefix, const QString& ext, int perFolder)
{
    const QString sub = QString("%1/sub-%2").arg(dir).arg(i / perFolder, 3, 10, QChar('0'));
    if (i % perFolder == 0)
        QDir().mkpath(sub);
    return QString("%1/%2_%3.%4").arg(sub, prefix).arg(i, 5, 10, QChar('0')).arg(ext);
}

QString exifDate(int seed)
{
    return QString::asprintf("20%02d:%02d:%02d %02d:%02d:%02d", 15 + seed % 10, 1 + seed % 12, 1 + seed % 28,
                             (seed * 5) % 24, (seed * 7) % 60, (seed * 11) % 60);
}

bool run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), process.readAllStandardError().constData());
        return false;
    }
    return true;
}

double seconds(const timeval& t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

} // namespace

QImage cameraLikePicture(int seed, QSize size)
{
    const int w = size.width();
    const int h = size.height();
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient sky(0, 0, w, h);
    sky.setColorAt(0, QColor::fromHsv((seed * 47) % 360, 110, 225));
    sky.setColorAt(1, QColor::fromHsv((seed * 47 + 140) % 360, 150, 80));
    painter.fillRect(image.rect(), sky);
    QRandomGenerator rng(quint32(seed) * 7919u + 1);
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < 500; ++i) {
        painter.setBrush(QColor::fromHsv(rng.bounded(360), 40 + rng.bounded(160), 60 + rng.bounded(190), 140));
        painter.drawEllipse(QPointF(rng.bounded(w), rng.bounded(h)), rng.bounded(10, w / 12), rng.bounded(10, h / 12));
    }
    painter.end();
    // Sensor-like grain: a little, so the picture is neither flat nor pure noise.
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const quint32 r = rng.generate();
            const int n = int(r % 9) - 4;
            const QRgb p = line[x];
            line[x] = qRgb(std::clamp(qRed(p) + n, 0, 255), std::clamp(qGreen(p) + n, 0, 255),
                           std::clamp(qBlue(p) + n, 0, 255));
        }
    }
    return image;
}

bool writeCameraJpeg(const QString& path, int seed, int orientation, QSize size)
{
    const QImage picture = cameraLikePicture(seed, size);
    QImageWriter writer(path, "jpeg");
    writer.setQuality(92);
    if (!writer.write(picture))
        return false;
    QByteArray thumbnail;
    {
        QBuffer buffer(&thumbnail);
        buffer.open(QIODevice::WriteOnly);
        picture.scaled(160, 120, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).save(&buffer, "JPEG", 80);
    }
    try {
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        image->readMetadata();
        Exiv2::ExifData& e = image->exifData();
        const std::string date = exifDate(seed).toStdString();
        e["Exif.Image.Make"] = "Kamera";
        e["Exif.Image.Model"] = "K-12 Mark II";
        e["Exif.Image.Software"] = "Firmware 1.04";
        e["Exif.Image.DateTime"] = date;
        e["Exif.Image.Orientation"] = uint16_t(orientation);
        e["Exif.Image.XResolution"] = Exiv2::URational(72, 1);
        e["Exif.Image.YResolution"] = Exiv2::URational(72, 1);
        e["Exif.Image.ResolutionUnit"] = uint16_t(2);
        e["Exif.Photo.DateTimeOriginal"] = date;
        e["Exif.Photo.DateTimeDigitized"] = date;
        e["Exif.Photo.OffsetTimeOriginal"] = "+08:00";
        e["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 250);
        e["Exif.Photo.FNumber"] = Exiv2::URational(28, 10);
        e["Exif.Photo.ISOSpeedRatings"] = uint16_t(200);
        e["Exif.Photo.FocalLength"] = Exiv2::URational(50, 1);
        e["Exif.Photo.LensModel"] = "24-105mm F4";
        e["Exif.Photo.PixelXDimension"] = uint32_t(picture.width());
        e["Exif.Photo.PixelYDimension"] = uint32_t(picture.height());
        e["Exif.Photo.Flash"] = uint16_t(16);
        e["Exif.Photo.WhiteBalance"] = uint16_t(0);
        e["Exif.Photo.ExposureProgram"] = uint16_t(2);
        e["Exif.Photo.MeteringMode"] = uint16_t(5);
        // Cameras carry a maker note of some tens of kilobytes; an unknown maker keeps it opaque.
        std::string note(24 * 1024, '\0');
        QRandomGenerator rng(quint32(seed) + 99);
        for (char& c : note)
            c = char(rng.bounded(256));
        Exiv2::DataValue makerNote(Exiv2::undefined);
        makerNote.read(reinterpret_cast<const Exiv2::byte*>(note.data()), long(note.size()));
        e.add(Exiv2::ExifKey("Exif.Photo.MakerNote"), &makerNote);
        e["Exif.GPSInfo.GPSVersionID"] = "2 3 0 0";
        e["Exif.GPSInfo.GPSLatitudeRef"] = seed % 2 ? "N" : "S";
        e["Exif.GPSInfo.GPSLatitude"] = QString("%1/1 %2/1 %3/100").arg(20 + seed % 40).arg(seed % 60).arg(seed * 37 % 6000).toStdString();
        e["Exif.GPSInfo.GPSLongitudeRef"] = seed % 3 ? "E" : "W";
        e["Exif.GPSInfo.GPSLongitude"] = QString("%1/1 %2/1 %3/100").arg(100 + seed % 60).arg(seed * 3 % 60).arg(seed * 53 % 6000).toStdString();
        e["Exif.GPSInfo.GPSAltitudeRef"] = "0";
        e["Exif.GPSInfo.GPSAltitude"] = Exiv2::URational(1234, 10);
        e["Exif.GPSInfo.GPSTimeStamp"] = "3/1 4/1 5/1";
        e["Exif.GPSInfo.GPSDateStamp"] = exifDate(seed).left(10).toStdString();
        Exiv2::ExifThumb thumb(e);
        thumb.setJpegThumbnail(reinterpret_cast<const Exiv2::byte*>(thumbnail.constData()), long(thumbnail.size()));
        image->writeMetadata();
    } catch (const Exiv2::AnyError& error) {
        std::fprintf(stderr, "exiv2: %s\n", error.what());
        return false;
    }
    return true;
}

// What a phone's camera writes at its normal setting.
constexpr int kPhoneQuality = 60;

heif_image* heifImageOf(const QImage& rgb888)
{
    heif_image* image = nullptr;
    heif_image_create(rgb888.width(), rgb888.height(), heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, rgb888.width(), rgb888.height(), 8);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < rgb888.height(); ++y)
        std::memcpy(plane + qsizetype(y) * stride, rgb888.constScanLine(y), size_t(rgb888.width()) * 3);
    return image;
}

// A picture scaled smoothly to twice a phone's 320-pixel thumbnail, for libheif's thumbnail call to
// halve: that call picks pixels, which on the full picture would keep all of its grain.
QImage thumbnailOf(const QImage& picture)
{
    return picture.scaled(640, 640, Qt::KeepAspectRatio, Qt::SmoothTransformation).convertToFormat(QImage::Format_RGB888);
}

bool writePhoneHeic(const QString& path, int seed, int orientation)
{
    QTemporaryDir temp;
    const QString jpeg = temp.filePath("source.jpg");
    if (!writeCameraJpeg(jpeg, seed, orientation))
        return false;
    // heif-enc copies the JPEG's Exif block into the HEIC.
    return run("heif-enc", {"-q", "50", "-t", "320", "-p", "preset=ultrafast", jpeg, "-o", path});
}

bool writeTurnedPhoneHeic(const QString& path, int seed)
{
    constexpr int width = 4032, height = 3024;
    const QImage picture = cameraLikePicture(seed, QSize(width, height)).convertToFormat(QImage::Format_RGB888);
    heif_image* image = heifImageOf(picture);
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    bool ok = heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code == heif_error_Ok;
    if (ok)
        heif_encoder_set_lossy_quality(encoder, kPhoneQuality);
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = heif_orientation_rotate_90_cw;
    heif_image_handle* handle = nullptr;
    heif_image_handle* thumbnail = nullptr;
    heif_image* small = heifImageOf(thumbnailOf(picture));
    ok = ok && heif_context_encode_image(context, image, encoder, options, &handle).code == heif_error_Ok
        && heif_context_encode_thumbnail(context, small, handle, encoder, options, 320, &thumbnail).code == heif_error_Ok
        && heif_context_write_to_file(context, QFile::encodeName(path).constData()).code == heif_error_Ok;
    heif_image_handle_release(thumbnail);
    heif_image_handle_release(handle);
    heif_image_release(small);
    heif_encoding_options_free(options);
    heif_image_release(image);
    if (encoder)
        heif_encoder_release(encoder);
    heif_context_free(context);
    return ok;
}

bool writePhoneGridHeic(const QString& path, int seed)
{
    // libheif 1.15 writes no grids: it codes the tiles and a thumbnail of the whole, and the
    // fixtures' grid maker makes the grid item of them.
    constexpr int tile = 512, columns = 8, rows = 6;
    constexpr int width = 4032, height = 3024; // the last column and row of tiles reach past it
    const QImage picture = cameraLikePicture(seed, QSize(tile * columns, tile * rows)).convertToFormat(QImage::Format_RGB888);
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    bool ok = heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code == heif_error_Ok;
    // A phone's quality and the encoder's own speed preset: a fast preset's plain stream decodes
    // faster than what phones write.
    if (ok)
        heif_encoder_set_lossy_quality(encoder, kPhoneQuality);
    heif_image_handle* first = nullptr;
    for (int i = 0; ok && i < columns * rows; ++i) {
        heif_image* image = heifImageOf(picture.copy((i % columns) * tile, (i / columns) * tile, tile, tile));
        heif_image_handle* handle = nullptr;
        ok = heif_context_encode_image(context, image, encoder, nullptr, &handle).code == heif_error_Ok;
        heif_image_release(image);
        if (!first)
            first = handle;
        else
            heif_image_handle_release(handle);
    }
    // Scaled smoothly, as a camera does.
    heif_image* whole = ok ? heifImageOf(thumbnailOf(picture.copy(0, 0, width, height))) : nullptr;
    heif_image_handle* thumbnail = nullptr;
    ok = ok && heif_context_encode_thumbnail(context, whole, first, encoder, nullptr, 320, &thumbnail).code == heif_error_Ok;
    QTemporaryDir temp;
    const QString tiles = temp.filePath("tiles.heic");
    ok = ok && heif_context_write_to_file(context, QFile::encodeName(tiles).constData()).code == heif_error_Ok;
    heif_image_handle_release(thumbnail);
    heif_image_release(whole);
    heif_image_handle_release(first);
    if (encoder)
        heif_encoder_release(encoder);
    heif_context_free(context);
    return ok
        && run("python3", {TESS_SOURCE_DIR "/tests/fixtures/make-heif-grid.py", tiles, path, QString::number(width),
                           QString::number(height), "1", QString("%1x%2").arg(columns).arg(rows)});
}

bool writePhoneVideo(const QString& path, int seed)
{
    const QString date = QString::asprintf("2024-%02d-%02dT10:20:30+0800", 1 + seed % 12, 1 + seed % 28);
    return run("ffmpeg", {"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                          QString("testsrc2=size=1920x1080:rate=30:duration=3,noise=alls=12:allf=t+u,hue=h=%1")
                              .arg(seed * 40),
                          "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "12M", "-pix_fmt", "yuv420p",
                          "-movflags", "use_metadata_tags",
                          "-metadata", "com.apple.quicktime.creationdate=" + date,
                          "-metadata", "com.apple.quicktime.location.ISO6709=+31.2304+121.4737+010.000/",
                          "-metadata", "creation_time=" + date, "-f", "mov", path});
}

QStringList copyDistinct(const QStringList& sources, const QString& dir, int count, const QString& prefix,
                         int perFolder)
{
    QStringList out;
    for (int i = 0; i < count; ++i) {
        const QString& source = sources[i % sources.size()];
        const QString target = numbered(dir, i, prefix, QFileInfo(source).suffix(), perFolder);
        QFile::remove(target);
        if (!QFile::copy(source, target))
            return {};
        out << target;
    }
    return out;
}

QStringList linkNames(const QStringList& targets, const QString& dir, int count, const QString& prefix,
                      int perFolder)
{
    QStringList out;
    for (int i = 0; i < count; ++i) {
        const QString& target = targets[i % targets.size()];
        const QString name = numbered(dir, i, prefix, QFileInfo(target).suffix(), perFolder);
        ::unlink(QFile::encodeName(name).constData());
        if (::link(QFile::encodeName(target).constData(), QFile::encodeName(name).constData()) != 0)
            return {};
        out << name;
    }
    return out;
}

void dropFromPageCache(const QStringList& files)
{
    for (const QString& f : files) {
        const int fd = ::open(QFile::encodeName(f).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        ::fdatasync(fd); // dirty pages are not dropped
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

void warm(const QStringList& files)
{
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (const QString& f : files) {
        QFile file(f);
        if (file.open(QIODevice::ReadOnly))
            while (file.read(buffer.data(), buffer.size()) > 0) {
            }
    }
}

std::int64_t storageReadBytes()
{
    QFile io("/proc/self/io");
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : io.readAll().split('\n'))
        if (line.startsWith("read_bytes:"))
            return line.mid(11).trimmed().toLongLong();
    return -1;
}

double cpuSeconds()
{
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return seconds(u.ru_utime) + seconds(u.ru_stime);
}

double childCpuSeconds()
{
    rusage u {};
    getrusage(RUSAGE_CHILDREN, &u);
    return seconds(u.ru_utime) + seconds(u.ru_stime);
}

QString readAheadDescription(const QString& path)
{
    const auto readSetting = [](const QString& file) {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()).trimmed() : QString("?");
    };
    QString text;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) == 0) {
        const QString dev = QString("/sys/dev/block/%1:%2").arg(major(st.st_dev)).arg(minor(st.st_dev));
        QString setting = dev + "/queue/read_ahead_kb";
        if (!QFile::exists(setting))
            setting = dev + "/../queue/read_ahead_kb"; // a partition
        text = QString("%1 (%2): %3 KiB").arg(path, QFileInfo(dev).canonicalFilePath().section('/', -1),
                                              readSetting(setting));
    }
    QStringList all;
    for (const QString& disk : QDir("/sys/block").entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (!disk.startsWith("loop"))
            all << disk + " " + readSetting("/sys/block/" + disk + "/queue/read_ahead_kb");
    return text + "; all disks: " + all.join(", ");
}

Run runShell(const QString& commandLine)
{
    const double cpu = childCpuSeconds();
    const std::int64_t bytes = storageReadBytes();
    QElapsedTimer timer;
    timer.start();
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start("/bin/sh", {"-c", commandLine});
    process.waitForFinished(-1);
    Run r;
    r.wallSeconds = double(timer.nsecsElapsed()) / 1e9;
    r.cpuSeconds = childCpuSeconds() - cpu;
    r.bytesRead = storageReadBytes() - bytes;
    return r;
}

QString megabytes(std::int64_t bytes)
{
    return QString::number(double(bytes) / 1e6, 'f', 1) + " MB";
}

double mean(const QStringList& files)
{
    double sum = 0;
    for (const QString& f : files)
        sum += double(QFileInfo(f).size());
    return files.isEmpty() ? 0 : sum / files.size();
}

QString shellQuote(const QString& text)
{
    QString quoted = text;
    quoted.replace("'", "'\\''");
    return "'" + quoted + "'";
}

} // namespace bench
