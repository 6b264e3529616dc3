// The library store's answers for a receive that is about to write: asked afresh, not from the
// last probe, which may predate a pull, and off the window's thread, as a drive may hang.

#include "app/services/library/LibraryStore.h"

#include "app/platform/volumes/BookmarkService.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

namespace app {

std::optional<QString> LibraryStore::DriveQuestions::confirmedFolder(const PhotoLibrary& library) const
{
    const std::optional<ResolvedBookmark> resolved = m_bookmarks->resolveBookmark(library.bookmark);
    if (!resolved || !QFileInfo(resolved->path).isDir())
        return std::nullopt;
    return resolved->path;
}

std::optional<QByteArray> LibraryStore::DriveQuestions::driveRecord(const QString& folder) const
{
    return m_bookmarks->makeBookmark(folder);
}

bool LibraryStore::DriveQuestions::isOnRecordedDrive(const QByteArray& record, const QString& folder) const
{
    const std::optional<ResolvedBookmark> resolved = m_bookmarks->resolveBookmark(record);
    return resolved && !resolved->isStale && canonicalPath(resolved->path) == canonicalPath(folder);
}

FolderDriveAnswer LibraryStore::DriveQuestions::aboutFolder(const QString& folder) const
{
    return {canonicalPath(folder), m_bookmarks->makeBookmark(folder), m_bookmarks->volumeIsInternal(folder)};
}

void LibraryStore::askAboutDrive(QObject* receiver, std::function<void()> question, std::function<void(bool)> answered)
{
    // Settled once, on this thread, by the answer or the time-out, whichever comes first.
    struct Pending {
        QPointer<QObject> receiver;
        std::function<void(bool)> answered;
        bool settled = false;
        void settle(bool inTime)
        {
            if (settled || !receiver)
                return;
            settled = true;
            answered(inTime);
        }
    };
    const auto pending = std::make_shared<Pending>(Pending{receiver, std::move(answered)});
    QThread* home = thread();
    auto work = [question = std::move(question), pending, home] {
        question();
        if (QThread::currentThread() == home)
            pending->settle(true);
        else
            QMetaObject::invokeMethod(QCoreApplication::instance(), [pending] { pending->settle(true); }, Qt::QueuedConnection);
    };
    if (m_services.runProbe)
        m_services.runProbe(std::move(work));
    else
        m_probePool->start(std::move(work));
    if (!pending->settled)
        QTimer::singleShot(probeTimeoutMs, receiver, [pending] { pending->settle(false); });
}

void LibraryStore::folderMissing(const QUuid& id)
{
    if (const std::optional<PhotoLibrary> library = this->library(id))
        requestProbe(*library);
}

} // namespace app
