#pragma once

#include "app/models/PhotoLibrary.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>

class QEventLoop;
class QThreadPool;

namespace app {

class BookmarkService;
class FileRevealer;
class FolderChooser;
class VolumeMonitor;

// A folder chosen in the folder chooser, waiting for a name. A new id for each choice;
// `url` is the folder's absolute path.
struct PendingFolder {
    QUuid id;
    QString url;

    friend bool operator==(const PendingFolder&, const PendingFolder&) = default;
};

// What a folder's drive says about it before it is added as a library: asked where a drive that
// hangs holds up nobody, then handed to addLibrary on the window's thread.
struct FolderDriveAnswer {
    QString canonicalPath;
    std::optional<QByteArray> bookmark; // none: the folder cannot be recorded
    std::optional<bool> internal;       // the folder is on the system's own drive
};

// The persistent, ordered list of libraries and the only way to reach a library's folder.
// Lives on the main thread for the whole run of the program.
//
// Whether a folder is there is asked by probes on worker threads (resolving the bookmark, starting
// access, checking the folder), at most one per library at a time: a drive whose file system hangs
// must not freeze the window. resolvedURL() answers from the last finished probe; a probe with no
// answer within probeTimeoutMs counts as unavailable. Every change of a library's availability bumps
// its content revision, so an open page rescans or shows that the drive is gone.
class LibraryStore : public QObject {
    Q_OBJECT
public:
    // Platform layers; not owned, and they must outlive the store. Chooser and revealer may be null.
    struct Services {
        BookmarkService* bookmarks = nullptr;
        VolumeMonitor* volumes = nullptr;
        FolderChooser* chooser = nullptr;
        FileRevealer* revealer = nullptr;
        // Runs one probe; empty: a worker pool of the store's own. Answers given at once on the main
        // thread are taken at once.
        std::function<void(std::function<void()>)> runProbe;
    };

    static constexpr int probeTimeoutMs = 2000;
    // How long resolvedURL waits for the first answer about a library.
    static constexpr int firstAnswerWaitMs = 100;

    // Loads "libraries.json" from `storeFolder`, checks availability (waiting for the probes at most
    // probeTimeoutMs), drops duplicates, starts watching volumes.
    explicit LibraryStore(Services services, const QString& storeFolder = defaultStoreFolder(),
                          QObject* parent = nullptr);
    ~LibraryStore() override;

    // ~/.local/share/Tessivarnholm
    static QString defaultStoreFolder();
    static QString canonicalPath(const QString& path);

    const QList<PhotoLibrary>& libraries() const { return m_libraries; }
    const std::optional<PendingFolder>& pendingFolder() const { return m_pendingFolder; }
    void setPendingFolder(const std::optional<PendingFolder>& folder);
    const QSet<QUuid>& unavailableIDs() const { return m_unavailableIDs; }
    QString storeURL() const { return m_storePath; }

    void beginAddLibrary();
    // Adds `folderPath` as a library from what its drive said (the library of that folder when
    // there is one already); nothing when the drive could not record it. Touches no drive.
    std::optional<PhotoLibrary> addLibrary(const QString& folderPath, const QString& name, const FolderDriveAnswer& drive);
    // The same, asking the drive on this thread first: for a folder the user has just chosen.
    std::optional<PhotoLibrary> addLibrary(const QString& folderPath, const QString& name);
    std::optional<QString> resolvedURL(const PhotoLibrary& library);
    void rename(const QUuid& id, const QString& name);
    void remove(const QUuid& id);
    // Moves the elements at `sourceOffsets` so they land before `destination` (offsets before the move).
    void moveLibraries(const QList<int>& sourceOffsets, int destination);
    std::optional<PhotoLibrary> library(const std::optional<QUuid>& id) const;
    bool isAvailable(const PhotoLibrary& library) const { return !m_unavailableIDs.contains(library.id); }
    const QHash<QUuid, int>& contentRevisions() const { return m_contentRevisions; }
    int contentRevision(const QUuid& id) const { return m_contentRevisions.value(id, 0); }
    void invalidateContent(const QUuid& id);
    // A scan found the folder gone or its drive failing: unavailable until a later probe finds it.
    void reportUnavailable(const QUuid& id);

    // The drive questions of a receive about to write, asked afresh, never from the last probe.
    // They hold the platform layers, not the store, so they may be asked on any thread.
    class DriveQuestions {
    public:
        // The library's folder while its record finds it now, on the drive the record names (where
        // it is now when that drive turned up elsewhere); nothing otherwise.
        std::optional<QString> confirmedFolder(const PhotoLibrary& library) const;
        // A record of the drive that holds `folder` (a new library's, which the store does not list
        // yet), and whether `folder` is still the folder on that drive.
        std::optional<QByteArray> driveRecord(const QString& folder) const;
        bool isOnRecordedDrive(const QByteArray& record, const QString& folder) const;
        // What addLibrary needs to know of `folder`'s drive.
        FolderDriveAnswer aboutFolder(const QString& folder) const;

    private:
        friend class LibraryStore;
        explicit DriveQuestions(BookmarkService* bookmarks) : m_bookmarks(bookmarks) {}
        BookmarkService* m_bookmarks;
    };
    DriveQuestions driveQuestions() const { return DriveQuestions(m_services.bookmarks); }
    // Runs `question` where probes run, never blocking this thread, and calls `answered` here while
    // `receiver` lives: true once the question returned, false when it gave no answer within
    // probeTimeoutMs (a drive that hangs). A question run at once on this thread is answered at once.
    void askAboutDrive(QObject* receiver, std::function<void()> question, std::function<void(bool inTime)> answered);
    // A receive found the library's folder gone: the sidebar is told as soon as a probe says so.
    void folderMissing(const QUuid& id);
    void revealInFinder(const PhotoLibrary& library);

    // Folders with access currently started, by library (exposed for tests and diagnostics).
    const QHash<QUuid, QString>& accessedURLs() const { return m_accessedURLs; }

Q_SIGNALS:
    void librariesChanged();
    void pendingFolderChanged();
    void unavailableIDsChanged();
    void contentRevisionChanged(const QUuid& id, int revision);

private:
    struct ProbeResult;
    struct ProbeMailbox;

    static ProbeResult probeFolder(BookmarkService* bookmarks, const PhotoLibrary& library);
    void requestProbe(const PhotoLibrary& library);
    void finishProbe(const std::shared_ptr<ProbeMailbox>& mailbox);
    void applyProbe(const ProbeResult& result);
    void probeTimedOut(const QUuid& id);
    void setAvailable(const QUuid& id, bool available);
    QByteArray folderKey(const PhotoLibrary& library) const;
    void loadFromDisk();
    void saveToDisk();
    void removeDuplicatePaths();
    void refreshAvailability();
    void observeVolumeChanges();
    void handleVolumeChange();
    std::optional<PhotoLibrary> libraryMatching(const QByteArray& wanted);
    void setLibraries(const QList<PhotoLibrary>& libraries);
    void setUnavailableIDs(const QSet<QUuid>& ids);
    void stopAccess(const QUuid& id);

    Services m_services;
    QList<PhotoLibrary> m_libraries;
    std::optional<PendingFolder> m_pendingFolder;
    QSet<QUuid> m_unavailableIDs;
    QHash<QUuid, int> m_contentRevisions;
    QHash<QUuid, QString> m_accessedURLs;
    QString m_storePath;
    // Set when an existing file could not be read: it is kept aside before the first save.
    bool m_keepAsideBeforeSave = false;

    std::unique_ptr<QThreadPool> m_probePool;
    QHash<QUuid, std::shared_ptr<ProbeMailbox>> m_probing; // the probe in flight of each library
    QSet<QUuid> m_answered;               // a probe has answered (or timed out) at least once
    QSet<QUuid> m_probeAgain;             // asked again while a probe was in flight
    QSet<QUuid> m_answerPending;          // resolvedURL said "nothing" while waiting for a probe
    QHash<QUuid, QByteArray> m_folderKeys; // canonical folder of each library whose probe found it
    bool m_starting = true;
    QEventLoop* m_startupWait = nullptr;
};

} // namespace app
