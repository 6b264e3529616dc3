#include "app/services/library/MediaMetadataExtractor.h"

#include "app/models/DisplayText.h"

#include <QFileInfo>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cmath>

namespace app {
namespace {

bool present(const std::optional<QString>& s)
{
    return s && !s->isEmpty();
}

bool finite(const std::optional<double>& v)
{
    return v && std::isfinite(*v);
}

} // namespace

QList<MediaMetadata::Row> MediaMetadata::rows() const
{
    const std::pair<const char*, const std::optional<QString>*> order[] = {
        {"文件名", nullptr},         {"类型", nullptr},          {"大小", &fileSize},
        {"尺寸", &dimensions},       {"时长", &duration},        {"帧率", &frameRate},
        {"编码", &codec},            {"拍摄时间", &captureDate}, {"设备品牌", &cameraMake},
        {"设备型号", &cameraModel},  {"镜头", &lens},            {"焦距", &focalLength},
        {"光圈", &aperture},         {"快门", &shutterSpeed},    {"感光度", &iso},
        {"闪光灯", &flash},          {"白平衡", &whiteBalance},  {"位置", &gps},
        {"海拔", &altitude},
    };
    QList<Row> list;
    for (qsizetype i = 0; i < qsizetype(std::size(order)); ++i) {
        const QString label = QString::fromUtf8(order[i].first);
        QString value;
        if (i == 0)
            value = fileName;
        else if (i == 1)
            value = kindLabel;
        else if (present(*order[i].second))
            value = **order[i].second;
        if (!value.isEmpty())
            list.append(Row{label, label, value});
    }
    return list;
}

MediaMetadataExtractor::MediaMetadataExtractor(std::shared_ptr<const MediaProbe> probe, QTimeZone timeZone)
    : probe_(probe ? std::move(probe) : MediaProbe::system()), dates_(std::move(timeZone))
{
}

QString MediaMetadataExtractor::formatDate(const QDateTime& date) const
{
    return date.toTimeZone(dates_.timeZone()).toString(QStringLiteral("yyyy年M月d日 HH:mm:ss"));
}

std::optional<QString> MediaMetadataExtractor::fileSizeString(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return std::nullopt;
    return DisplayText::byteCount(info.size());
}

QString MediaMetadataExtractor::formatShutter(double t)
{
    // Written so that NaN takes this branch.
    if (!(t > 0))
        return QStringLiteral("—");
    if (t < 1) {
        // 1/t can exceed every integer for a tiny t: clamp before it is printed.
        const double n = std::clamp(std::round(1.0 / t), 1.0, 1e9);
        return QStringLiteral("1/%1 s").arg(static_cast<qint64>(n));
    }
    if (!std::isfinite(t))
        return QStringLiteral("—");
    return QString::asprintf("%.1f s", t);
}

QString MediaMetadataExtractor::formatDuration(double d)
{
    // Longer than any real clip; keeps the integer conversion defined.
    const double clamped = std::isfinite(d) ? std::clamp(std::round(d), 0.0, 1e12) : 0.0;
    const auto s = static_cast<qint64>(clamped);
    if (s < 3600)
        return QString::asprintf("%lld:%02lld", (s % 3600) / 60, s % 60);
    return QString::asprintf("%lld:%02lld:%02lld", s / 3600, (s % 3600) / 60, s % 60);
}

QString MediaMetadataExtractor::fourCCString(quint32 code)
{
    QString text;
    for (int shift = 24; shift >= 0; shift -= 8)
        text.append(QChar(static_cast<char16_t>((code >> shift) & 0xffu)));
    qsizetype begin = 0;
    qsizetype end = text.size();
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    text = text.mid(begin, end - begin).toUpper();
    if (text == QLatin1String("HEV1") || text == QLatin1String("HVC1"))
        return QStringLiteral("HEVC (H.265)");
    if (text == QLatin1String("AVC1") || text == QLatin1String("H264"))
        return QStringLiteral("H.264");
    if (text == QLatin1String("JPEG"))
        return QStringLiteral("JPEG");
    for (const char* prores : {"APCH", "APCN", "APCS", "APCO", "AP4H"})
        if (text == QLatin1String(prores))
            return QStringLiteral("ProRes");
    if (text.isEmpty())
        return QStringLiteral("未知");
    return text;
}

QString MediaMetadataExtractor::codecDisplayName(const QString& name)
{
    if (name == QLatin1String("hevc"))
        return QStringLiteral("HEVC (H.265)");
    if (name == QLatin1String("h264"))
        return QStringLiteral("H.264");
    if (name == QLatin1String("mjpeg"))
        return QStringLiteral("JPEG");
    if (name == QLatin1String("prores"))
        return QStringLiteral("ProRes");
    if (name.isEmpty() || name == QLatin1String("none"))
        return QStringLiteral("未知");
    return name.toUpper();
}

void MediaMetadataExtractor::fillGPS(const PhotoProperties& p, MediaMetadata& into)
{
    if (!p.hasGps)
        return;
    // Out of range or not a number is no place at all.
    if (auto c = CaptureDates::coordinate(p))
        into.gps = QString::asprintf("%.6f, %.6f", c->latitude, c->longitude);
    if (finite(p.gpsAltitude)) {
        const double altitude = p.gpsAltitudeRef == 1 ? -*p.gpsAltitude : *p.gpsAltitude;
        into.altitude = QString::asprintf("%.1f m", altitude);
    }
}

void MediaMetadataExtractor::fillPhotoMetadata(const PhotoProperties& p, MediaMetadata& into) const
{
    if (!p.readable)
        return;
    if (p.pixelWidth && p.pixelHeight)
        into.dimensions = QStringLiteral("%1 × %2").arg(*p.pixelWidth).arg(*p.pixelHeight);
    if (p.make)
        into.cameraMake = p.make->trimmed();
    if (p.model)
        into.cameraModel = p.model->trimmed();
    if (p.lensModel)
        into.lens = *p.lensModel;
    if (finite(p.focalLength))
        into.focalLength = QString::asprintf("%.1f mm", *p.focalLength);
    if (finite(p.fNumber))
        into.aperture = QString::asprintf("ƒ/%.1f", *p.fNumber);
    if (p.exposureTime)
        into.shutterSpeed = formatShutter(*p.exposureTime);
    if (p.isoSpeedRatings && !p.isoSpeedRatings->isEmpty())
        into.iso = QStringLiteral("ISO %1").arg(p.isoSpeedRatings->first());
    if (p.flash)
        into.flash = (*p.flash & 1) ? QStringLiteral("已闪光") : QStringLiteral("未闪光");
    if (p.whiteBalance)
        into.whiteBalance = *p.whiteBalance == 0 ? QStringLiteral("自动") : QStringLiteral("手动");
    if (p.dateTimeOriginal)
        if (auto date = dates_.parseExifDate(*p.dateTimeOriginal))
            into.captureDate = formatDate(*date);
    fillGPS(p, into);
}

void MediaMetadataExtractor::fillVideoMetadata(const VideoProperties& v, MediaMetadata& into) const
{
    if (!v.readable)
        return;
    if (!into.duration && finite(v.duration) && *v.duration > 0)
        into.duration = formatDuration(*v.duration);
    if (v.hasVideoTrack) {
        if (v.width >= 1 && v.height >= 1)
            into.dimensions = QStringLiteral("%1 × %2").arg(v.width).arg(v.height);
        if (finite(v.frameRate) && *v.frameRate > 0)
            into.frameRate = QString::asprintf("%.2f fps", *v.frameRate);
        into.codec = v.codecFourCC != 0 ? fourCCString(v.codecFourCC) : codecDisplayName(v.codecName);
    }
    if (present(v.model))
        into.cameraModel = *v.model;
    if (present(v.make))
        into.cameraMake = *v.make;
    if (auto date = dates_.videoCreationDate(v))
        into.captureDate = formatDate(*date);
    // Shown as written, but only a text that holds a real place counts (the scanner's rule too).
    for (const QString& location : v.iso6709Locations) {
        if (CaptureDates::coordinateFromISO6709(location)) {
            into.gps = location;
            break;
        }
    }
}

MediaMetadata MediaMetadataExtractor::extract(const MediaItem& item) const
{
    MediaMetadata m;
    const qsizetype slash = item.url.lastIndexOf(u'/');
    m.fileName = item.url.mid(slash + 1);
    m.kindLabel = item.isLivePhoto ? QStringLiteral("实况照片")
        : item.kind == MediaKind::video ? QStringLiteral("视频")
                                        : QStringLiteral("照片");
    m.fileSize = fileSizeString(item.url);
    if (item.captureDate.isValid())
        m.captureDate = formatDate(item.captureDate);
    if (item.kind != MediaKind::video) {
        fillPhotoMetadata(probe_->readPhoto(item.url), m);
        return m;
    }
    if (item.duration)
        m.duration = formatDuration(*item.duration);
    fillVideoMetadata(probe_->readVideo(item.url, MediaProbe::VideoDetail::streams), m);
    return m;
}

QFuture<MediaMetadata> MediaMetadataExtractor::extractAsync(const MediaItem& item) const
{
    MediaMetadataExtractor self = *this;
    return QtConcurrent::run(QThreadPool::globalInstance(),
                             [self, item] { return self.extract(item); });
}

} // namespace app
