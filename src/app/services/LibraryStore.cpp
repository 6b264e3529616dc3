#include "app/services/LibraryStore.h"

#include "app/platform/ApplicationSupport.h"
#include "app/platform/BookmarkService.h"
#include "app/platform/FileRevealer.h"
#include "app/platform/FolderChooser.h"
#include "app/platform/VolumeMonitor.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QTimeZone>

#include <algorithm>

Q_LOGGING_CATEGORY(lcLibraryStore, "tessivarnholm.library-store")

namespace app {

namespace {
// Linux file names are bytes: compare them as such, never with Unicode folding.
QByteArray pathKey(const QString& path)
{
    return QFile::encodeName(path);
}

// What a file URL's path gives: no trailing slash except for the root.
QString plainFolderPath(const QString& path)
{
    QString p = path;
    while (p.size() > 1 && p.endsWith(u'/'))
        p.chop(1);
    return p;
}
} // namespace

LibraryStore::LibraryStore(Services services, const QString& storeFolder, QObject* parent)
    : QObject(parent), m_services(services)
{
    if (!QDir().mkpath(storeFolder))
        qCWarning(lcLibraryStore) << "cannot create" << storeFolder;
    m_storePath = QDir(storeFolder).filePath("libraries.json");
    loadFromDisk();
    refreshAvailability();
    observeVolumeChanges();
}

LibraryStore::~LibraryStore()
{
    for (auto it = m_accessedURLs.cbegin(); it != m_accessedURLs.cend(); ++it)
        m_services.bookmarks->stopAccessing(it.value());
    m_accessedURLs.clear();
}

QString LibraryStore::defaultStoreFolder()
{
    return applicationSupportFolder();
}

QString LibraryStore::canonicalPath(const QString& path)
{
    // Dot and dot-dot components go as written first ("link/.." is the folder holding the link),
    // then symbolic links are resolved.
    const QString standardised = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QString resolved = QFileInfo(standardised).canonicalFilePath();
    // A missing folder has no canonical path; keep the standardised one so that two unplugged
    // libraries are not taken for the same folder.
    return resolved.isEmpty() ? standardised : resolved;
}

void LibraryStore::setPendingFolder(const std::optional<PendingFolder>& folder)
{
    if (m_pendingFolder == folder)
        return;
    m_pendingFolder = folder;
    Q_EMIT pendingFolderChanged();
}

void LibraryStore::setLibraries(const QList<PhotoLibrary>& libraries)
{
    if (m_libraries == libraries)
        return;
    m_libraries = libraries;
    Q_EMIT librariesChanged();
}

void LibraryStore::setUnavailableIDs(const QSet<QUuid>& ids)
{
    if (m_unavailableIDs == ids)
        return;
    m_unavailableIDs = ids;
    Q_EMIT unavailableIDsChanged();
}

void LibraryStore::stopAccess(const QUuid& id)
{
    const auto it = m_accessedURLs.find(id);
    if (it == m_accessedURLs.end())
        return;
    m_services.bookmarks->stopAccessing(it.value());
    m_accessedURLs.erase(it);
}

void LibraryStore::loadFromDisk()
{
    QFile file(m_storePath);
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcLibraryStore) << "cannot read" << m_storePath << file.errorString();
        m_keepAsideBeforeSave = true;
        return;
    }
    QString error;
    const auto decoded = PhotoLibrary::decodeList(file.readAll(), &error);
    if (!decoded) {
        qCWarning(lcLibraryStore) << "cannot decode" << m_storePath << error;
        m_keepAsideBeforeSave = true;
        return;
    }
    setLibraries(*decoded);
    removeDuplicatePaths();
}

void LibraryStore::saveToDisk()
{
    if (m_keepAsideBeforeSave) {
        // The unreadable file may be the user's only copy of the list: move it aside, never over it.
        const QString stamp = QDateTime::currentDateTimeUtc().toString("yyyyMMdd-HHmmss");
        QString aside = m_storePath + ".bad-" + stamp;
        for (int n = 2; QFileInfo::exists(aside); ++n)
            aside = m_storePath + ".bad-" + stamp + "-" + QString::number(n);
        if (QFileInfo::exists(m_storePath)) {
            if (!QFile::rename(m_storePath, aside)) {
                qCWarning(lcLibraryStore) << "cannot keep aside" << m_storePath << "; list not saved";
                return;
            }
            qCWarning(lcLibraryStore) << "kept unreadable list as" << aside;
        }
        m_keepAsideBeforeSave = false;
    }
    QSaveFile file(m_storePath);
    if (!file.open(QIODevice::WriteOnly)) {
        qCWarning(lcLibraryStore) << "cannot save" << m_storePath << file.errorString();
        return;
    }
    file.write(PhotoLibrary::encodeList(m_libraries));
    if (!file.commit())
        qCWarning(lcLibraryStore) << "cannot save" << m_storePath << file.errorString();
}

void LibraryStore::removeDuplicatePaths()
{
    QSet<QByteArray> seen;
    QList<PhotoLibrary> kept;
    QList<QUuid> dropped;
    for (const PhotoLibrary& library : std::as_const(m_libraries)) {
        // Only a folder that is there now can be told apart from another. A library whose drive is
        // missing is kept and drops nothing: its stored path may since have been taken by another
        // drive of the same name (two cards both called "NO NAME"). For the same reason a library
        // found at another place than its stored path is compared by where it is now.
        const auto resolved = m_services.bookmarks->resolveBookmark(library.bookmark);
        if (!resolved || !QFileInfo::exists(resolved->path)) {
            kept.append(library);
            continue;
        }
        const QByteArray key = pathKey(canonicalPath(resolved->isStale ? resolved->path : library.displayPath));
        if (seen.contains(key)) {
            dropped.append(library.id);
            continue;
        }
        seen.insert(key);
        kept.append(library);
    }
    if (dropped.isEmpty())
        return;
    QSet<QUuid> unavailable = m_unavailableIDs;
    for (const QUuid& id : std::as_const(dropped)) {
        stopAccess(id);
        unavailable.remove(id);
    }
    setUnavailableIDs(unavailable);
    setLibraries(kept);
    saveToDisk();
}

std::optional<QString> LibraryStore::resolvedURL(const PhotoLibrary& library)
{
    if (const auto it = m_accessedURLs.constFind(library.id); it != m_accessedURLs.cend())
        return it.value();

    const auto resolved = m_services.bookmarks->resolveBookmark(library.bookmark);
    if (!resolved)
        return std::nullopt;
    const QString path = resolved->path;
    if (!m_services.bookmarks->startAccessing(path))
        return std::nullopt;
    if (!QFileInfo::exists(path)) {
        m_services.bookmarks->stopAccessing(path);
        return std::nullopt;
    }
    m_accessedURLs.insert(library.id, path);

    if (resolved->isStale) {
        if (const auto renewed = m_services.bookmarks->makeBookmark(path)) {
            const auto it = std::find_if(m_libraries.cbegin(), m_libraries.cend(),
                                         [&](const PhotoLibrary& l) { return l.id == library.id; });
            if (it != m_libraries.cend()) {
                QList<PhotoLibrary> updated = m_libraries;
                PhotoLibrary& entry = updated[it - m_libraries.cbegin()];
                entry.bookmark = *renewed;
                entry.displayPath = path;
                setLibraries(updated);
                saveToDisk();
            }
        }
    }
    return path;
}

std::optional<PhotoLibrary> LibraryStore::libraryMatching(const QString& folderPath)
{
    const QByteArray wanted = pathKey(canonicalPath(folderPath));
    for (const PhotoLibrary& library : std::as_const(m_libraries)) {
        // The stored path of a library whose drive is missing may now hold another drive of the
        // same name: that folder is a library of its own.
        if (!m_unavailableIDs.contains(library.id) && pathKey(canonicalPath(library.displayPath)) == wanted)
            return library;
    }
    // resolvedURL may renew a bookmark and so change the list: walk a copy.
    const QList<PhotoLibrary> snapshot = m_libraries;
    for (const PhotoLibrary& library : snapshot) {
        const auto resolved = resolvedURL(library);
        if (resolved && pathKey(canonicalPath(*resolved)) == wanted)
            return this->library(library.id).value_or(library);
    }
    return std::nullopt;
}

std::optional<PhotoLibrary> LibraryStore::addLibrary(const QString& folderPath, const QString& name)
{
    if (auto existing = libraryMatching(folderPath))
        return existing;
    const auto bookmark = m_services.bookmarks->makeBookmark(folderPath);
    if (!bookmark)
        return std::nullopt;
    const auto internal = m_services.bookmarks->volumeIsInternal(folderPath);

    PhotoLibrary library;
    library.id = QUuid::createUuid();
    library.name = name;
    library.bookmark = *bookmark;
    library.displayPath = plainFolderPath(folderPath);
    library.isExternalVolume = internal.has_value() && !*internal;
    library.dateAdded = QDateTime::currentDateTime().toTimeZone(QTimeZone::utc());

    QList<PhotoLibrary> updated = m_libraries;
    updated.append(library);
    setLibraries(updated);
    saveToDisk();
    return library;
}

void LibraryStore::beginAddLibrary()
{
    if (!m_services.chooser)
        return;
    const auto chosen = m_services.chooser->chooseFolder();
    if (!chosen)
        return;
    setPendingFolder(PendingFolder{QUuid::createUuid(), *chosen});
}

void LibraryStore::rename(const QUuid& id, const QString& name)
{
    const auto it = std::find_if(m_libraries.cbegin(), m_libraries.cend(),
                                 [&](const PhotoLibrary& l) { return l.id == id; });
    if (it == m_libraries.cend())
        return;
    QList<PhotoLibrary> updated = m_libraries;
    updated[it - m_libraries.cbegin()].name = name;
    setLibraries(updated);
    saveToDisk();
}

void LibraryStore::remove(const QUuid& id)
{
    stopAccess(id);
    QList<PhotoLibrary> updated = m_libraries;
    updated.removeIf([&](const PhotoLibrary& l) { return l.id == id; });
    setLibraries(updated);
    QSet<QUuid> unavailable = m_unavailableIDs;
    unavailable.remove(id);
    setUnavailableIDs(unavailable);
    saveToDisk();
}

void LibraryStore::moveLibraries(const QList<int>& sourceOffsets, int destination)
{
    const int count = static_cast<int>(m_libraries.size());
    QList<bool> moving(count, false);
    for (int offset : sourceOffsets) {
        if (offset >= 0 && offset < count)
            moving[offset] = true;
    }
    destination = std::clamp(destination, 0, count);
    QList<PhotoLibrary> before, moved, after;
    for (int i = 0; i < count; ++i) {
        if (moving[i])
            moved.append(m_libraries[i]);
        else if (i < destination)
            before.append(m_libraries[i]);
        else
            after.append(m_libraries[i]);
    }
    setLibraries(before + moved + after);
    saveToDisk();
}

std::optional<PhotoLibrary> LibraryStore::library(const std::optional<QUuid>& id) const
{
    if (!id)
        return std::nullopt;
    for (const PhotoLibrary& library : m_libraries) {
        if (library.id == *id)
            return library;
    }
    return std::nullopt;
}

void LibraryStore::invalidateContent(const QUuid& id)
{
    const int revision = m_contentRevisions.value(id, 0) + 1;
    m_contentRevisions.insert(id, revision);
    Q_EMIT contentRevisionChanged(id, revision);
}

void LibraryStore::revealInFinder(const PhotoLibrary& library)
{
    const auto path = resolvedURL(library);
    if (path && m_services.revealer)
        m_services.revealer->reveal(*path);
}

void LibraryStore::refreshAvailability()
{
    QSet<QUuid> unavailable;
    const QList<PhotoLibrary> snapshot = m_libraries;
    for (const PhotoLibrary& library : snapshot) {
        if (!resolvedURL(library))
            unavailable.insert(library.id);
    }
    setUnavailableIDs(unavailable);
}

void LibraryStore::observeVolumeChanges()
{
    if (m_services.volumes)
        connect(m_services.volumes, &VolumeMonitor::volumesChanged, this, &LibraryStore::handleVolumeChange);
}

void LibraryStore::handleVolumeChange()
{
    for (auto it = m_accessedURLs.cbegin(); it != m_accessedURLs.cend(); ++it)
        m_services.bookmarks->stopAccessing(it.value());
    m_accessedURLs.clear();
    refreshAvailability();
}

} // namespace app
