#include "app/models/SidebarDestination.h"

#include "app/models/PhotoLibrary.h"

#include <array>

namespace app {

QString SidebarDestination::id() const
{
    static constexpr std::array<const char*, 6> prefixes{"library-", "photos-", "videos-",
                                                         "livePhotos-", "nonCaptured-", "map-"};
    return QLatin1String(prefixes[static_cast<int>(kind)]) + uuidString(libraryID);
}

size_t qHash(const SidebarDestination& d, size_t seed)
{
    return qHashMulti(seed, static_cast<int>(d.kind), d.libraryID);
}

namespace MediaFilter {

namespace {
struct FilterInfo {
    LibraryMediaFilter filter;
    const char* raw;
    const char* title;
    const char* symbol;
};
constexpr std::array<FilterInfo, 5> filters{{
    {LibraryMediaFilter::all, "all", "全部", "photo.on.rectangle"},
    {LibraryMediaFilter::photos, "photos", "照片", "photo"},
    {LibraryMediaFilter::videos, "videos", "视频", "video"},
    {LibraryMediaFilter::livePhotos, "livePhotos", "实况照片", "livephoto"},
    {LibraryMediaFilter::nonCaptured, "nonCaptured", "非拍摄", "square.and.arrow.down"},
}};
const FilterInfo& info(LibraryMediaFilter f) { return filters[static_cast<int>(f)]; }
} // namespace

QString rawValue(LibraryMediaFilter f) { return QString::fromLatin1(info(f).raw); }
QString title(LibraryMediaFilter f) { return QString::fromUtf8(info(f).title); }
QString systemImage(LibraryMediaFilter f) { return QString::fromLatin1(info(f).symbol); }

std::optional<LibraryMediaFilter> fromRawValue(const QString& raw)
{
    for (const auto& f : filters) {
        if (raw == QLatin1String(f.raw))
            return f.filter;
    }
    return std::nullopt;
}

MediaItems apply(LibraryMediaFilter filter, const MediaItems& items, const NonCapturedLookup& isNonCaptured)
{
    if (filter == LibraryMediaFilter::all)
        return items;
    MediaItems out;
    for (const auto& item : items) {
        bool keep = false;
        switch (filter) {
        case LibraryMediaFilter::all:
            keep = true;
            break;
        case LibraryMediaFilter::photos:
            keep = item.kind == MediaKind::photo && !item.isLivePhoto && isNonCaptured(item) != true;
            break;
        case LibraryMediaFilter::videos:
            keep = item.kind == MediaKind::video;
            break;
        case LibraryMediaFilter::livePhotos:
            keep = item.isLivePhoto;
            break;
        case LibraryMediaFilter::nonCaptured:
            keep = isNonCaptured(item) == true;
            break;
        }
        if (keep)
            out.append(item);
    }
    return out;
}

} // namespace MediaFilter
} // namespace app
