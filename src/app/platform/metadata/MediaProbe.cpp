#include "app/platform/metadata/MediaProbe.h"
#include "app/platform/metadata/UntrustedMediaInput.h"
#include "app/platform/metadata/MediaLimits.h"
#include "app/platform/metadata/HeifBoxReader.h"
#include "app/platform/metadata/JpegHeader.h"
#include "app/platform/metadata/MetadataFile.h"
#include "app/platform/metadata/RandomAccessIo.h"
#include "app/platform/metadata/TiffLayout.h"

#include "app/models/MediaFormat.h"

#include <QFile>
#include <QImageReader>

// exiv2 0.27 still spells its smart pointers with std::auto_ptr.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#include <exiv2/webpimage.hpp>
#pragma GCC diagnostic pop

#include <libheif/heif.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/log.h>
}

#include <cmath>
#include <cstring>
#include <vector>

#include <limits>
#include <mutex>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace app {
namespace {


std::mutex xmpMutex;
void xmpLock(void*, bool lock)
{
    if (lock)
        xmpMutex.lock();
    else
        xmpMutex.unlock();
}

// Library set-up that must happen once and before any concurrent use.
void initialiseLibraries()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::LogMsg::setHandler(nullptr);
        // Without this, HEIC/AVIF/CR3 reads come back empty without an error.
        Exiv2::enableBMFF(true);
        // The XMP toolkit's globals are not thread-safe; scans read 32 files at once.
        Exiv2::XmpParser::initialize(xmpLock, nullptr);
        av_log_set_level(AV_LOG_QUIET);
        heif_init(nullptr);
    });
}

// IFD numbers as exiv2 assigns them; read once through known keys instead of internal headers.
struct Ifds {
    int image = -1;
    int photo = -1;
    int gps = -1;
};

const Ifds& ifds()
{
    static const Ifds ids = [] {
        Ifds i;
        try {
            i.image = Exiv2::ExifKey("Exif.Image.Make").ifdId();
            i.photo = Exiv2::ExifKey("Exif.Photo.FNumber").ifdId();
            i.gps = Exiv2::ExifKey("Exif.GPSInfo.GPSLatitude").ifdId();
        } catch (...) {
        }
        return i;
    }();
    return ids;
}

double ratio(double num, double den)
{
    if (den == 0) {
        if (num == 0)
            return std::numeric_limits<double>::quiet_NaN();
        return num > 0 ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    }
    return num / den;
}

// One component of a numeric tag; NaN when the tag holds no number there.
double numberAt(const Exiv2::Value& v, long i)
{
    if (i < 0 || i >= v.count())
        return std::numeric_limits<double>::quiet_NaN();
    switch (v.typeId()) {
    case Exiv2::unsignedRational:
        if (auto* r = dynamic_cast<const Exiv2::URationalValue*>(&v))
            return ratio(r->value_.at(i).first, r->value_.at(i).second);
        break;
    case Exiv2::signedRational:
        if (auto* r = dynamic_cast<const Exiv2::RationalValue*>(&v))
            return ratio(r->value_.at(i).first, r->value_.at(i).second);
        break;
    case Exiv2::unsignedByte:
    case Exiv2::unsignedShort:
    case Exiv2::unsignedLong:
    case Exiv2::signedByte:
    case Exiv2::signedShort:
    case Exiv2::signedLong:
        return static_cast<double>(v.toLong(i));
    case Exiv2::tiffFloat:
    case Exiv2::tiffDouble:
        return static_cast<double>(v.toFloat(i));
    default:
        break;
    }
    return std::numeric_limits<double>::quiet_NaN();
}

// Integer tags; anything not an integer type is absent.
std::optional<qint64> integerAt(const Exiv2::Value& v, long i)
{
    if (i < 0 || i >= v.count())
        return std::nullopt;
    switch (v.typeId()) {
    case Exiv2::unsignedByte:
    case Exiv2::unsignedShort:
    case Exiv2::unsignedLong:
    case Exiv2::signedByte:
    case Exiv2::signedShort:
    case Exiv2::signedLong:
        return static_cast<qint64>(v.toLong(i));
    default:
        return std::nullopt;
    }
}

std::optional<QString> text(const Exiv2::Value& v)
{
    if (v.typeId() != Exiv2::asciiString && v.typeId() != Exiv2::string)
        return std::nullopt;
    // The stored text itself: toString() formats through a string stream, a real share of a scan.
    const auto* stored = dynamic_cast<const Exiv2::StringValueBase*>(&v);
    const std::string formatted = stored ? std::string() : v.toString();
    const std::string& s = stored ? stored->value_ : formatted;
    const size_t nul = std::min(s.find('\0'), s.size());
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(nul));
}

double degrees(const Exiv2::Value& v)
{
    const long n = std::min<long>(v.count(), 3);
    if (n < 1)
        return std::numeric_limits<double>::quiet_NaN();
    double result = 0;
    double scale = 1;
    for (long i = 0; i < n; ++i) {
        result += numberAt(v, i) / scale;
        scale *= 60;
    }
    return result;
}

void readExif(const Exiv2::ExifData& exif, PhotoProperties& out)
{
    const Ifds& ids = ifds();
    for (const Exiv2::Exifdatum& d : exif) {
        const int ifd = d.ifdId();
        const uint16_t tag = d.tag();
        const Exiv2::Value& v = d.value();
        if (ifd == ids.image) {
            out.hasTiff = true;
            switch (tag) {
            case 0x010f: out.make = text(v); break;
            case 0x0110: out.model = text(v); break;
            case 0x0131: out.software = text(v); break;
            case 0x0132: out.dateTime = text(v); break;
            case 0x0112:
                if (auto o = integerAt(v, 0); o && *o >= 0 && *o <= 0xffff)
                    out.orientation = static_cast<int>(*o);
                break;
            default: break;
            }
        } else if (ifd == ids.photo) {
            out.hasExif = true;
            switch (tag) {
            case 0x9003: out.dateTimeOriginal = text(v); break;
            case 0x9004: out.dateTimeDigitized = text(v); break;
            case 0xa434: out.lensModel = text(v); break;
            case 0x829d: out.fNumber = numberAt(v, 0); break;
            case 0x829a: out.exposureTime = numberAt(v, 0); break;
            case 0x920a: out.focalLength = numberAt(v, 0); break;
            case 0x8827: {
                QList<qint64> list;
                for (long i = 0; i < v.count(); ++i)
                    if (auto n = integerAt(v, i))
                        list.append(*n);
                out.isoSpeedRatings = list;
                break;
            }
            case 0x9209: out.flash = integerAt(v, 0); break;
            case 0xa403: out.whiteBalance = integerAt(v, 0); break;
            default: break;
            }
        } else if (ifd == ids.gps) {
            out.hasGps = true;
            switch (tag) {
            case 1: out.gpsLatitudeRef = text(v); break;
            case 2: out.gpsLatitude = degrees(v); break;
            case 3: out.gpsLongitudeRef = text(v); break;
            case 4: out.gpsLongitude = degrees(v); break;
            case 5: out.gpsAltitudeRef = integerAt(v, 0); break;
            case 6: out.gpsAltitude = numberAt(v, 0); break;
            default: break;
            }
        }
    }
}

bool isHeif(const QString& path)
{
    const QString ext = MediaFormat::pathExtension(path);
    return ext == QLatin1String("heic") || ext == QLatin1String("heif");
}

// A HEIF Exif block starts with a 4-byte offset to the TIFF header.
void readHeifExif(const unsigned char* bytes, size_t size, PhotoProperties& out)
{
    if (size <= 4 || size >= 64 * 1024 * 1024)
        return;
    const uint32_t offset = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8)
        | uint32_t(bytes[3]);
    if (offset >= size - 4)
        return;
    try {
        Exiv2::ExifData exif;
        Exiv2::ExifParser::decode(exif, bytes + 4 + offset, static_cast<uint32_t>(size - 4 - offset));
        readExif(exif, out);
    } catch (...) {
    }
}

// HEIC/HEIF through libheif, which reads the whole file: only for files the box reader leaves to
// it. exiv2 0.27's BMFF reader returns no Exif and a wrong size for many files (measured on
// heif-enc output).
void readHeifWithDecoder(const QByteArray& path, PhotoProperties& out)
{
    heif_context* ctx = heif_context_alloc();
    if (!ctx)
        return;
    heif_image_handle* handle = nullptr;
    if (heif_context_read_from_file(ctx, path.constData(), nullptr).code == heif_error_Ok
        && heif_context_get_primary_image_handle(ctx, &handle).code == heif_error_Ok) {
        out.readable = true;
        if (heif_image_handle_get_width(handle) > 0 && heif_image_handle_get_height(handle) > 0) {
            out.pixelWidth = heif_image_handle_get_width(handle);
            out.pixelHeight = heif_image_handle_get_height(handle);
        }
        heif_item_id id = 0;
        if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) == 1) {
            const size_t size = heif_image_handle_get_metadata_size(handle, id);
            if (size > 4 && size < 64 * 1024 * 1024) {
                std::string data(size, '\0');
                if (heif_image_handle_get_metadata(handle, id, data.data()).code == heif_error_Ok)
                    readHeifExif(reinterpret_cast<const unsigned char*>(data.data()), size, out);
            }
        }
        heif_image_handle_release(handle);
    }
    heif_context_free(ctx);
}

// The primary image's size and Exif from the file's boxes; false when the file is no HEIF file.
bool readHeif(const MetadataFile& file, PhotoProperties& out)
{
    const HeifBoxReader::Result heif = HeifBoxReader::read(file);
    switch (heif.status) {
    case HeifBoxReader::Status::notHeif:
        return false;
    case HeifBoxReader::Status::unreadable:
        return true; // a HEIF file, not readable
    case HeifBoxReader::Status::unsupported:
        readHeifWithDecoder(file.path(), out);
        return out.readable;
    case HeifBoxReader::Status::ok:
        break;
    }
    out.readable = true;
    if (heif.width > 0 && heif.height > 0) {
        out.pixelWidth = heif.width;
        out.pixelHeight = heif.height;
    }
    readHeifExif(reinterpret_cast<const unsigned char*>(heif.exif.data()), heif.exif.size(), out);
    return true;
}

std::optional<QString> tag(AVDictionary* dict, const char* key)
{
    const AVDictionaryEntry* e = av_dict_get(dict, key, nullptr, 0);
    if (!e || !e->value)
        return std::nullopt;
    return QString::fromUtf8(e->value);
}

// exiv2 picks its reader by content, whatever the name. Its video readers (Matroska, QuickTime,
// RIFF, ASF) abort the process on assertions for damaged files, and the rarer formats are not photos
// we list: only the photo containers are read.
bool isPhotoContainer(int type)
{
    namespace T = Exiv2::ImageType;
    switch (type) {
    case T::jpeg:
    case T::tiff: // also DNG, NEF, ARW, SRW, PEF
    case T::cr2:
    case T::orf:
    case T::raf:
    case T::rw2:
    case T::png:
    case T::gif:
    case T::bmp:
    case T::webp:
    case T::bmff: // HEIC, HEIF, CR3
        return true;
    default:
        return false;
    }
}

class SystemMediaProbe final : public MediaProbe {
public:
    SystemMediaProbe() { initialiseLibraries(); }

    PhotoProperties readPhoto(const QString& path) const override
    {
        return readPhotoFrom(path, MetadataFile(QFile::encodeName(path)));
    }

    PhotoProperties readPhoto(const QString& path, qint64 knownSize) const override
    {
        return readPhotoFrom(path, MetadataFile(QFile::encodeName(path), knownSize));
    }

    // Whatever the name, the file's content decides how its metadata is read.
    static PhotoProperties readPhotoFrom(const QString& path, const MetadataFile& file)
    {
        PhotoProperties out;
        if (!file.isOpen())
            return out;
        bool done = false;
        // A JPEG saved under a HEIC name is left to the readers below, which go by content.
        if (isHeif(path))
            done = readHeif(file, out);
        if (!done) {
            // Whatever the name, a JPEG's metadata is its header: read that exactly and parse it in memory.
            thread_local std::vector<std::uint8_t> header;
            switch (JpegHeader::read(file, header)) {
            case JpegHeader::Result::complete:
                readJpegHeader(header, out);
                done = true;
                break;
            case JpegHeader::Result::wholeFile:
                readImage([&] { return Exiv2::ImageFactory::open(header.data(), static_cast<long>(header.size())); },
                          out);
                done = true;
                break;
            case JpegHeader::Result::notJpeg:
            case JpegHeader::Result::unusual:
                break;
            }
            if (header.capacity() > 1024 * 1024)
                std::vector<std::uint8_t>().swap(header); // a rare huge header is not kept per thread
        }
        if (!done)
            readImage([&] { return Exiv2::ImageFactory::open(Exiv2::BasicIo::AutoPtr(new RandomAccessIo(file))); },
                      out);
        if (!out.pixelWidth) {
            // Formats exiv2 knows only by name still have a readable header size.
            QImageReader reader(path);
            reader.setAutoTransform(false);
            const QSize size = reader.size();
            if (size.isValid() && !size.isEmpty()) {
                out.readable = true;
                out.pixelWidth = size.width();
                out.pixelHeight = size.height();
            }
        }
        return out;
    }

    VideoProperties readVideo(const QString& path, VideoDetail detail) const override
    {
        VideoProperties out;
        const FormatContextPtr format = openUntrustedMediaFile(path, MediaAccess::headers);
        if (!format)
            return out;
        AVFormatContext* ctx = format.get();
        out.readable = true;

        // An MPEG program or transport stream has no header: its streams and duration are known
        // only after reading some packets. 64 KiB finds them without reading megabytes of a clip.
        const bool headerless = isHeaderlessMpeg(ctx);
        if (headerless)
            probeStreams(ctx);
        if (ctx->duration != AV_NOPTS_VALUE)
            out.duration = static_cast<double>(ctx->duration) / AV_TIME_BASE;
        else if (auto streamDuration = videoStreamDuration(ctx))
            out.duration = streamDuration; // AVI keeps it on the stream only

        out.quickTimeCreationDate = tag(ctx->metadata, "com.apple.quicktime.creationdate");
        out.creationTime = tag(ctx->metadata, "creation_time");
        if (auto iso = tag(ctx->metadata, "com.apple.quicktime.location.ISO6709"))
            out.iso6709Locations.append(*iso);
        // Other cameras write the ©xyz atom, which FFmpeg names "location" (maybe with a language suffix).
        const AVDictionaryEntry* e = nullptr;
        while ((e = av_dict_get(ctx->metadata, "location", e, AV_DICT_IGNORE_SUFFIX)))
            if (e->value)
                out.iso6709Locations.append(QString::fromUtf8(e->value));
        out.make = tag(ctx->metadata, "com.apple.quicktime.make");
        if (!out.make)
            out.make = tag(ctx->metadata, "make");
        out.model = tag(ctx->metadata, "com.apple.quicktime.model");
        if (!out.model)
            out.model = tag(ctx->metadata, "model");

        readVideoStream(ctx, headerless ? VideoDetail::tags : detail, out);
        return out;
    }

private:
    // A whole header up to its start of scan: its Exif block decoded in place, without exiv2's JPEG
    // reader, which copies every segment and parses XMP and IPTC the scan never uses.
    static void readJpegHeader(std::vector<std::uint8_t>& header, PhotoProperties& out)
    {
        const JpegHeader::Parts parts = JpegHeader::parts(header);
        out.readable = true;
        if (parts.width > 0 && parts.height > 0) {
            out.pixelWidth = parts.width;
            out.pixelHeight = parts.height;
        }
        if (!parts.exif)
            return;
        // The header is our own copy: what the probe never reads is hidden from the decoder.
        TiffLayout::hideThumbnailAndMakerNote(header.data() + (parts.exif - header.data()), parts.exifSize);
        try {
            Exiv2::ExifData exif;
            // Like exiv2's reader: Exif it cannot decode is dropped, a failure part-way fails the file.
            if (Exiv2::ExifParser::decode(exif, parts.exif, static_cast<uint32_t>(parts.exifSize))
                != Exiv2::invalidByteOrder)
                readExif(exif, out);
        } catch (...) {
            out = PhotoProperties();
        }
    }

    // False when exiv2 gave up part-way (a truncated or hostile file); `out` then holds nothing from it.
    template <typename Open>
    static bool readImage(Open open, PhotoProperties& out)
    {
        try {
            auto image = open();
            if (!image.get() || !isPhotoContainer(image->imageType()))
                return false;
            image->readMetadata();
            out.readable = true;
            if (image->pixelWidth() > 0 && image->pixelHeight() > 0) {
                out.pixelWidth = image->pixelWidth();
                out.pixelHeight = image->pixelHeight();
            }
            readExif(image->exifData(), out);
            return true;
        } catch (...) {
            return false;
        }
    }

    static const AVStream* firstVideoStream(const AVFormatContext* ctx)
    {
        for (unsigned i = 0; i < ctx->nb_streams; ++i) {
            const AVStream* st = ctx->streams[i];
            if (st && st->codecpar && st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO
                && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
                return st;
        }
        return nullptr;
    }

    static bool isHeaderlessMpeg(const AVFormatContext* ctx)
    {
        const char* name = ctx->iformat ? ctx->iformat->name : nullptr;
        return name && (std::strcmp(name, "mpeg") == 0 || std::strcmp(name, "mpegts") == 0);
    }

    // An elementary video stream with no container: its demuxer makes the stream from the file name alone.
    static bool isRawVideoStream(const AVFormatContext* ctx)
    {
        const char* name = ctx->iformat ? ctx->iformat->name : nullptr;
        return name && (std::strcmp(name, "hevc") == 0 || std::strcmp(name, "h264") == 0);
    }

    static void probeStreams(AVFormatContext* ctx)
    {
        ctx->probesize = 64 * 1024;
        findBoundedStreamInfo(ctx);
    }

    static std::optional<double> videoStreamDuration(const AVFormatContext* ctx)
    {
        const AVStream* st = firstVideoStream(ctx);
        if (!st || st->duration == AV_NOPTS_VALUE || st->duration <= 0 || st->time_base.num <= 0
            || st->time_base.den <= 0)
            return std::nullopt;
        return static_cast<double>(st->duration) * av_q2d(st->time_base);
    }

    // A transport stream's tag is its stream type (0x1b for H.264), not four characters.
    static bool isPrintableFourCC(uint32_t tag)
    {
        for (int shift = 0; shift < 32; shift += 8) {
            const uint32_t c = (tag >> shift) & 0xffu;
            if (c < 0x20 || c > 0x7e)
                return false;
        }
        return true;
    }

    static void readVideoStream(AVFormatContext* ctx, VideoDetail detail, VideoProperties& out)
    {
        const AVStream* st = firstVideoStream(ctx);
        if (detail == VideoDetail::streams && (!st || st->codecpar->width <= 0 || st->codecpar->height <= 0)) {
            probeStreams(ctx);
            st = firstVideoStream(ctx);
        }
        // An empty .hevc file "has" a 25 fps HEVC stream: once packets were read, a raw stream that gave
        // no picture size is no track.
        const bool noPicture = !st || st->codecpar->width <= 0 || st->codecpar->height <= 0;
        if (!st || (detail == VideoDetail::streams && noPicture && isRawVideoStream(ctx)))
            return;
        out.hasVideoTrack = true;
        const AVCodecParameters* par = st->codecpar;
        int width = std::max(par->width, 0);
        int height = std::max(par->height, 0);
        size_t sideSize = 0;
        const uint8_t* matrix = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &sideSize);
        if (matrix && sideSize >= 9 * sizeof(int32_t)) {
            const double rotation = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
            if (std::isfinite(rotation))
                out.rotation = rotation;
        }
        // Turned as the thumbnail and the player turn it.
        if (clockwiseQuarterTurns(st) % 180 == 90)
            std::swap(width, height);
        out.width = width;
        out.height = height;

        AVRational rate = st->avg_frame_rate;
        if (rate.num <= 0 || rate.den <= 0)
            rate = st->r_frame_rate;
        if (rate.num > 0 && rate.den > 0)
            out.frameRate = av_q2d(rate);

        // codec_tag is stored little-endian: 'mp4v' reads 0x7634706d.
        const uint32_t t = isPrintableFourCC(par->codec_tag) ? par->codec_tag : 0;
        out.codecFourCC = ((t & 0xffu) << 24) | ((t & 0xff00u) << 8) | ((t >> 8) & 0xff00u) | (t >> 24);
        out.codecName = QString::fromUtf8(avcodec_get_name(par->codec_id));
    }
};

} // namespace

std::shared_ptr<const MediaProbe> MediaProbe::system()
{
    static const std::shared_ptr<const MediaProbe> probe = std::make_shared<SystemMediaProbe>();
    return probe;
}

void initialiseMediaLibraries()
{
    initialiseLibraries();
}

} // namespace app
