#include "app/models/MediaFormat.h"

namespace app {

const QSet<QString>& MediaFormat::photoExtensions()
{
    static const QSet<QString> set{"heic", "heif", "jpg", "jpeg", "png", "gif", "tif",
                                   "tiff", "bmp", "webp", "dng", "cr2", "cr3", "nef",
                                   "arw", "orf", "rw2", "raf", "srw", "pef"};
    return set;
}

const QSet<QString>& MediaFormat::videoExtensions()
{
    static const QSet<QString> set{"mov", "mp4", "m4v", "avi", "mpg", "mpeg", "mkv", "hevc"};
    return set;
}

const QSet<QString>& MediaFormat::orientationRotatableExtensions()
{
    static const QSet<QString> set{"jpg", "jpeg", "heic", "heif", "tif", "tiff", "dng"};
    return set;
}

QString MediaFormat::pathExtension(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    const QStringView name = QStringView(path).mid(slash + 1);
    const qsizetype dot = name.lastIndexOf(u'.');
    // A leading dot names a hidden file, not an extension.
    if (dot <= 0)
        return {};
    return name.mid(dot + 1).toString().toLower();
}

std::optional<MediaKind> MediaFormat::kind(const QString& path)
{
    const QString ext = pathExtension(path);
    if (ext.isEmpty())
        return std::nullopt;
    if (photoExtensions().contains(ext))
        return MediaKind::photo;
    if (videoExtensions().contains(ext))
        return MediaKind::video;
    return std::nullopt;
}

} // namespace app
