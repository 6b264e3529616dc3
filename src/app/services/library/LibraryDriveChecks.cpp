// The library store's answers for a receive that is about to write: asked afresh, not from the
// last probe, which may predate a pull.

#include "app/services/library/LibraryStore.h"

#include "app/platform/volumes/BookmarkService.h"

#include <QFileInfo>

namespace app {

std::optional<QString> LibraryStore::confirmedFolder(const QUuid& id)
{
    const std::optional<PhotoLibrary> library = this->library(id);
    if (!library || !isAvailable(*library))
        return std::nullopt;
    const std::optional<ResolvedBookmark> resolved = m_services.bookmarks->resolveBookmark(library->bookmark);
    if (!resolved || !QFileInfo(resolved->path).isDir()) {
        // The sidebar is told as soon as the probe says so.
        requestProbe(*library);
        return std::nullopt;
    }
    return resolved->path;
}

std::optional<QByteArray> LibraryStore::driveRecord(const QString& folder)
{
    return m_services.bookmarks->makeBookmark(folder);
}

bool LibraryStore::isOnRecordedDrive(const QByteArray& record, const QString& folder)
{
    const std::optional<ResolvedBookmark> resolved = m_services.bookmarks->resolveBookmark(record);
    return resolved && !resolved->isStale && canonicalPath(resolved->path) == canonicalPath(folder);
}

} // namespace app
