#pragma once

#include <QSet>
#include <QString>

#include <optional>

namespace app {

enum class MediaKind { photo, video };

// Extension rules that decide from a file name whether it is a photo or a video.
struct MediaFormat {
    static const QSet<QString>& photoExtensions();
    static const QSet<QString>& videoExtensions();

    // Formats whose orientation the rotator rewrites; the rotator and
    // MediaItem::supportsOrientationRotate share this one set.
    static const QSet<QString>& orientationRotatableExtensions();

    // Lower-cased text after the last dot of the last path component, empty when there is none.
    static QString pathExtension(const QString& path);

    static std::optional<MediaKind> kind(const QString& path);
};

} // namespace app
