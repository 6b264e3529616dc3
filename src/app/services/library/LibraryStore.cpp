#include "app/services/library/LibraryStore.h"

#include "app/platform/desktop/ApplicationSupport.h"
#include "app/platform/volumes/BookmarkService.h"
#include "app/platform/desktop/FileRevealer.h"
#include "app/platform/desktop/FolderChooser.h"
#include "app/platform/volumes/VolumeMonitor.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPointer>
#include <QSaveFile>
#include <QThread>
#include <QThreadPool>
#include <QTimeZone>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

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

struct LibraryStore::ProbeResult {
    QUuid id;
    bool found = false;
    QString path;                          // access started when found
    std::optional<QByteArray> renewedBookmark;
    QByteArray key;                        // canonical path of the folder when found
};

// Where a probe leaves its answer: taken once, by the queued delivery or by a caller that waited.
struct LibraryStore::ProbeMailbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<ProbeResult> result;
    bool taken = false;
};

namespace {

QByteArray canonicalKey(const QString& path)
{
    return pathKey(LibraryStore::canonicalPath(path));
}

} // namespace

// Runs on a worker: everything here may block on a drive that hangs.
LibraryStore::ProbeResult LibraryStore::probeFolder(BookmarkService* bookmarks, const PhotoLibrary& library)
{
    ProbeResult result;
    result.id = library.id;
    const auto resolved = bookmarks->resolveBookmark(library.bookmark);
    if (!resolved || !bookmarks->startAccessing(resolved->path))
        return result;
    if (!QFileInfo(resolved->path).isDir()) {
        bookmarks->stopAccessing(resolved->path);
        return result;
    }
    result.found = true;
    result.path = resolved->path;
    if (resolved->isStale)
        result.renewedBookmark = bookmarks->makeBookmark(resolved->path);
    // Where the folder is now for a bookmark found elsewhere, else the stored path as written.
    result.key = canonicalKey(resolved->isStale ? resolved->path : library.displayPath);
    return result;
}

LibraryStore::LibraryStore(Services services, const QString& storeFolder, QObject* parent)
    : QObject(parent), m_services(services)
{
    if (!m_services.runProbe) {
        m_probePool = std::make_unique<QThreadPool>();
        m_probePool->setMaxThreadCount(4);
    }
    if (!QDir().mkpath(storeFolder))
        qCWarning(lcLibraryStore) << "cannot create" << storeFolder;
    m_storePath = QDir(storeFolder).filePath("libraries.json");
    loadFromDisk();
    refreshAvailability();
    if (!m_probing.isEmpty()) {
        // Before any window shows: wait a little so the first page does not flash "unavailable".
        QEventLoop wait;
        m_startupWait = &wait;
        QTimer::singleShot(probeTimeoutMs, &wait, &QEventLoop::quit);
        wait.exec(QEventLoop::ExcludeUserInputEvents);
        m_startupWait = nullptr;
        for (const QUuid& id : m_probing.keys())
            probeTimedOut(id);
    }
    removeDuplicatePaths();
    m_starting = false;
    observeVolumeChanges();
}

LibraryStore::~LibraryStore()
{
    for (auto it = m_accessedURLs.cbegin(); it != m_accessedURLs.cend(); ++it)
        m_services.bookmarks->stopAccessing(it.value());
    m_accessedURLs.clear();
    if (m_probePool && !m_probePool->waitForDone(probeTimeoutMs)) {
        // A probe stuck in a hung file system must not hold up the exit: leave its pool behind.
        qCWarning(lcLibraryStore) << "a folder check did not return; not waiting for it";
        (void)m_probePool.release();
    }
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
        // found at another place than its stored path is compared by where it is now (the probe's key).
        const auto key = m_folderKeys.constFind(library.id);
        if (key == m_folderKeys.cend()) {
            kept.append(library);
            continue;
        }
        if (seen.contains(*key)) {
            dropped.append(library.id);
            continue;
        }
        seen.insert(*key);
        kept.append(library);
    }
    if (dropped.isEmpty())
        return;
    QSet<QUuid> unavailable = m_unavailableIDs;
    for (const QUuid& id : std::as_const(dropped)) {
        stopAccess(id);
        m_folderKeys.remove(id);
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
    requestProbe(library);
    // A folder never checked before (just added) gets a moment to answer, so that its page does not
    // flash "unavailable" first; a hung one costs this once.
    const auto probe = m_probing.value(library.id);
    if (probe && !m_answered.contains(library.id)) {
        {
            std::unique_lock lock(probe->mutex);
            probe->arrived.wait_for(lock, std::chrono::milliseconds(firstAnswerWaitMs), [&] { return probe->result.has_value(); });
        }
        finishProbe(probe);
    }
    if (const auto it = m_accessedURLs.constFind(library.id); it != m_accessedURLs.cend())
        return it.value();
    // The caller is told once the folder turns up, through the content revision.
    m_answerPending.insert(library.id);
    return std::nullopt;
}

void LibraryStore::requestProbe(const PhotoLibrary& library)
{
    const QUuid id = library.id;
    if (m_probing.contains(id)) {
        // The probe in flight may have started before whatever changed: ask once more after it.
        m_probeAgain.insert(id);
        return;
    }
    const auto mailbox = std::make_shared<ProbeMailbox>();
    m_probing.insert(id, mailbox);
    QPointer<LibraryStore> self(this);
    QThread* home = thread();
    BookmarkService* bookmarks = m_services.bookmarks;
    auto work = [self, home, bookmarks, library, mailbox] {
        ProbeResult result = probeFolder(bookmarks, library);
        {
            const std::lock_guard lock(mailbox->mutex);
            mailbox->result = std::move(result);
        }
        mailbox->arrived.notify_all();
        if (QThread::currentThread() == home) {
            if (self)
                self->finishProbe(mailbox);
            return;
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, mailbox] {
                if (self)
                    self->finishProbe(mailbox);
            },
            Qt::QueuedConnection);
    };
    if (m_services.runProbe)
        m_services.runProbe(std::move(work));
    else
        m_probePool->start(std::move(work));
    if (m_probing.value(id) == mailbox && !m_starting) {
        QTimer::singleShot(probeTimeoutMs, this, [this, id, mailbox] {
            if (m_probing.value(id) == mailbox)
                probeTimedOut(id);
        });
    }
}

void LibraryStore::finishProbe(const std::shared_ptr<ProbeMailbox>& mailbox)
{
    ProbeResult result;
    {
        const std::lock_guard lock(mailbox->mutex);
        if (mailbox->taken || !mailbox->result)
            return;
        mailbox->taken = true;
        result = *mailbox->result;
    }
    if (m_probing.value(result.id) == mailbox)
        m_probing.remove(result.id);
    applyProbe(result);
    if (m_probeAgain.remove(result.id)) {
        if (const auto library = this->library(result.id))
            requestProbe(*library);
    }
    if (m_startupWait && m_probing.isEmpty())
        m_startupWait->quit();
}

void LibraryStore::applyProbe(const ProbeResult& result)
{
    m_answered.insert(result.id);
    const auto library = this->library(result.id);
    if (!library) {
        if (result.found)
            m_services.bookmarks->stopAccessing(result.path);
        return;
    }
    // The newest answer replaces the one before, access and all.
    stopAccess(result.id);
    if (!result.found) {
        m_folderKeys.remove(result.id);
        setAvailable(result.id, false);
        return;
    }
    m_accessedURLs.insert(result.id, result.path);
    m_folderKeys.insert(result.id, result.key);
    if (result.renewedBookmark) {
        QList<PhotoLibrary> updated = m_libraries;
        for (PhotoLibrary& entry : updated) {
            if (entry.id == result.id) {
                entry.bookmark = *result.renewedBookmark;
                entry.displayPath = result.path;
            }
        }
        setLibraries(updated);
        saveToDisk();
    }
    setAvailable(result.id, true);
}

void LibraryStore::probeTimedOut(const QUuid& id)
{
    // The probe stays in flight (its thread is stuck) and no other starts for this library; its late
    // answer, if one comes, is taken like any other.
    qCWarning(lcLibraryStore) << "folder check of" << id << "gave no answer in" << probeTimeoutMs << "ms";
    m_answered.insert(id);
    stopAccess(id);
    m_folderKeys.remove(id);
    setAvailable(id, false);
}

void LibraryStore::setAvailable(const QUuid& id, bool available)
{
    const bool changed = m_unavailableIDs.contains(id) == available;
    const bool waited = m_answerPending.remove(id) && available;
    if (changed) {
        QSet<QUuid> unavailable = m_unavailableIDs;
        if (available)
            unavailable.remove(id);
        else
            unavailable.insert(id);
        setUnavailableIDs(unavailable);
    }
    // No page is open while the store starts.
    if ((changed || waited) && !m_starting)
        invalidateContent(id);
}

void LibraryStore::reportUnavailable(const QUuid& id)
{
    if (!library(id))
        return;
    stopAccess(id);
    m_folderKeys.remove(id);
    // The reporting page shows it already: no new revision.
    QSet<QUuid> unavailable = m_unavailableIDs;
    unavailable.insert(id);
    setUnavailableIDs(unavailable);
}

QByteArray LibraryStore::folderKey(const PhotoLibrary& library) const
{
    if (const auto key = m_folderKeys.constFind(library.id); key != m_folderKeys.cend())
        return *key;
    // Not checked yet: the folder as written, as asking its drive here could hang the window.
    return pathKey(QDir::cleanPath(library.displayPath));
}

std::optional<PhotoLibrary> LibraryStore::libraryMatching(const QByteArray& wanted)
{
    // Every library's stored path counts, also one whose drive is missing: adding its folder again
    // gives it back rather than a second library of the same folder. A missing drive may hang, so its
    // stored path is compared as written, without touching it.
    for (const PhotoLibrary& library : std::as_const(m_libraries)) {
        const QByteArray key = m_unavailableIDs.contains(library.id)
            ? pathKey(QDir::cleanPath(library.displayPath))
            : folderKey(library);
        if (key == wanted)
            return library;
    }
    // resolvedURL may renew a bookmark and so change the list: walk a copy.
    const QList<PhotoLibrary> snapshot = m_libraries;
    for (const PhotoLibrary& library : snapshot) {
        if (resolvedURL(library) && m_folderKeys.value(library.id) == wanted)
            return this->library(library.id).value_or(library);
    }
    return std::nullopt;
}

std::optional<PhotoLibrary> LibraryStore::addLibrary(const QString& folderPath, const QString& name)
{
    return addLibrary(folderPath, name, driveQuestions().aboutFolder(folderPath));
}

std::optional<PhotoLibrary> LibraryStore::addLibrary(const QString& folderPath, const QString& name,
    const FolderDriveAnswer& drive)
{
    const QByteArray key = pathKey(drive.canonicalPath);
    if (auto existing = libraryMatching(key))
        return existing;
    if (!drive.bookmark)
        return std::nullopt;

    PhotoLibrary library;
    library.id = QUuid::createUuid();
    library.name = name;
    library.bookmark = *drive.bookmark;
    library.displayPath = plainFolderPath(folderPath);
    library.isExternalVolume = drive.internal.has_value() && !*drive.internal;
    library.dateAdded = QDateTime::currentDateTime().toTimeZone(QTimeZone::utc());
    // Known already: a later add compares with it without asking its drive again.
    m_folderKeys.insert(library.id, key);

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
    const QList<PhotoLibrary> snapshot = m_libraries;
    for (const PhotoLibrary& library : snapshot)
        requestProbe(library);
}

void LibraryStore::observeVolumeChanges()
{
    if (m_services.volumes)
        connect(m_services.volumes, &VolumeMonitor::volumesChanged, this, &LibraryStore::handleVolumeChange);
}

void LibraryStore::handleVolumeChange()
{
    // Every library is checked afresh; until its probe answers, the last answer stands.
    refreshAvailability();
}

} // namespace app
