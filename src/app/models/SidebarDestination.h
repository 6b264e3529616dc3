#pragma once

#include "app/models/MediaItem.h"

#include <QHashFunctions>
#include <QMetaType>
#include <QString>
#include <QUuid>

#include <functional>
#include <optional>

namespace app {

// What the sidebar selects: a library, one kind of its media, or its map.
struct SidebarDestination {
    enum class Kind { library, photos, videos, livePhotos, nonCaptured, map };

    Kind kind = Kind::library;
    QUuid libraryID;

    static SidebarDestination library(const QUuid& id) { return {Kind::library, id}; }
    static SidebarDestination photos(const QUuid& id) { return {Kind::photos, id}; }
    static SidebarDestination videos(const QUuid& id) { return {Kind::videos, id}; }
    static SidebarDestination livePhotos(const QUuid& id) { return {Kind::livePhotos, id}; }
    static SidebarDestination nonCaptured(const QUuid& id) { return {Kind::nonCaptured, id}; }
    static SidebarDestination map(const QUuid& id) { return {Kind::map, id}; }

    QString id() const;

    friend bool operator==(const SidebarDestination&, const SidebarDestination&) = default;
};

size_t qHash(const SidebarDestination& destination, size_t seed = 0);

// The media filter of a library page.
enum class LibraryMediaFilter { all, photos, videos, livePhotos, nonCaptured };

namespace MediaFilter {
QString rawValue(LibraryMediaFilter filter);
// Exact, case-sensitive match; any other text is no filter.
std::optional<LibraryMediaFilter> fromRawValue(const QString& raw);
QString title(LibraryMediaFilter filter);
QString systemImage(LibraryMediaFilter filter);

// The callback gives an item's non-captured flag: true, false, or unclassified.
using NonCapturedLookup = std::function<std::optional<bool>(const MediaItem&)>;
MediaItems apply(LibraryMediaFilter filter, const MediaItems& items, const NonCapturedLookup& isNonCaptured);
} // namespace MediaFilter

} // namespace app

Q_DECLARE_METATYPE(app::SidebarDestination)
