#pragma once

#include "app/models/MediaItem.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUuid>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QThreadPool;

namespace app {

struct NonCapturedProgress {
    int done = 0;
    int total = 0;
    friend bool operator==(const NonCapturedProgress&, const NonCapturedProgress&) = default;
};

// Verdict of the rule-based first phase, as the index stores it.
struct NonCapturedVerdict {
    bool isNonCaptured = false;
    QString rule;
};

// Which still photos of each library are non-captured images (screenshots, saved web pictures, ...).
// Lives on the main thread; the library page asks it to classify after each finished scan and reads the
// flags, the running set and the progress. One cache file per library keeps verdicts across launches.
class NonCapturedIndex : public QObject {
    Q_OBJECT
public:
    using Flags = QHash<QString, bool>;

    struct Entry {
        qint64 fileSize = 0;
        double mtime = 0;
        bool isNonCaptured = false;
        QString rule;
        std::optional<bool> hasPerson;
        friend bool operator==(const Entry&, const Entry&) = default;
    };

    struct CacheFile {
        int schemaVersion = 1;
        QUuid libraryID;
        QHash<QString, Entry> entries;

        QJsonObject toJson() const;
        // Any missing key or wrong type fails the whole file.
        static std::optional<CacheFile> fromJson(const QJsonObject& object);
    };

    // What the index depends on; tests replace each part. Defaults: the real classifier and detectors, the
    // user's data folder, the standard settings, a monotonic clock.
    struct Environment {
        QString cacheDirectory;                                    // empty: <data>/Tessivarnholm/nonCaptured
        std::function<NonCapturedVerdict(const MediaItem&)> phaseA; // runs on a worker thread
        std::function<bool(const QString& path)> hasPerson;       // runs on the detection pool
        std::function<qint64()> monotonicMs;                       // for the phase-B save interval
        QString settingsFile;                                      // empty: the application's QSettings
        // Writes a cache file's bytes; runs on the cache writer thread. Empty: atomically in place.
        std::function<bool(const QString& path, const QByteArray& data)> writeCacheFile;
        // Reads a cache file's bytes, nothing when there is none; runs on a worker. Empty: the file itself.
        std::function<std::optional<QByteArray>(const QString& path)> readCacheFile;
    };

    // The process-wide instance, created on first use on the main thread.
    static NonCapturedIndex& shared();

    explicit NonCapturedIndex(Environment environment = {}, QObject* parent = nullptr);
    ~NonCapturedIndex() override;

    bool hasConfirmedOrganize() const { return m_confirmed; }
    // Stored on every assignment, even when unchanged. Does not start a classification.
    void setHasConfirmedOrganize(bool confirmed);

    const QHash<QUuid, Flags>& flagsByLibrary() const { return m_flags; }
    // True only for a path classified as non-captured; unknown paths are photos.
    bool isNonCaptured(const QUuid& libraryID, const QString& path) const;
    const QSet<QUuid>& classifyingLibraryIDs() const { return m_classifying; }
    const QHash<QUuid, NonCapturedProgress>& progressByLibrary() const { return m_progress; }

    // Classifies the still photos among `items` that have no fresh cached verdict. Returns at once; the work
    // runs on worker threads and reports through the signals below. Does nothing before confirmation. A call
    // while the same library is being classified is remembered and run again, with the latest items, once
    // the current run ends.
    void ensureClassified(const QUuid& libraryID, const MediaItems& items);

    // Blocks until every cache file handed to the writer thread is written.
    void waitForCacheWrites();

    // The cache file of a library.
    QString cachePath(const QUuid& libraryID) const;

Q_SIGNALS:
    void confirmedChanged(bool confirmed);
    void flagsChanged(const QUuid& libraryID);
    void classifyingChanged(const QUuid& libraryID);
    void progressChanged(const QUuid& libraryID);
    // A call to ensureClassified has nothing more to do for this library (also when it found all fresh).
    void classificationSettled(const QUuid& libraryID);
    // The cache file of a library was written (saves are written in order, off the main thread).
    void cacheSaved(const QUuid& libraryID);

private:
    struct Run;
    struct PhaseAChunk;

    // Reads and decodes the library's cache file on a worker, then runs the calls that waited for it.
    void loadCache(const QUuid& libraryID);
    void onCacheLoaded(const QUuid& libraryID, CacheFile cache, Flags flags);
    void setFlags(const QUuid& libraryID, const Flags& flags);
    // Changes one flag; publishFlags emits once for all changes since the last call.
    void setFlag(const QUuid& libraryID, const QString& path, bool isNonCaptured);
    void publishFlags(const QUuid& libraryID);
    void setProgress(const QUuid& libraryID, NonCapturedProgress progress);
    void setClassifying(const QUuid& libraryID, bool on);
    // Hands a copy of the library's cache (shared, not copied) to the writer thread.
    void saveCache(const QUuid& libraryID);

    // `photos`: the run's still photos, each path once; `fresh`: per photo, whether its cached verdict
    // still matches the file; `anyWork`: some photo needs phase A or B.
    void onFreshness(std::shared_ptr<Run> run, MediaItems photos, QVector<bool> fresh, bool anyWork);
    void onPhaseAChunk(std::shared_ptr<Run> run, PhaseAChunk chunk);
    // Merges pending verdicts for a few milliseconds, then queues the rest behind other events.
    void mergePhaseA(std::shared_ptr<Run> run);
    void mergeVerdict(Run& run, int index, const std::optional<Entry>& classified, int total);
    void endPhaseA(std::shared_ptr<Run> run);
    void startNextBatch(std::shared_ptr<Run> run);
    void onPersonResult(std::shared_ptr<Run> run, const QString& path, bool hasPerson);
    void finishRun(std::shared_ptr<Run> run, bool classifiedAnything);

    Environment m_env;
    bool m_confirmed = false;
    QHash<QUuid, Flags> m_flags;
    QSet<QUuid> m_classifying;
    QHash<QUuid, NonCapturedProgress> m_progress;
    QHash<QUuid, CacheFile> m_caches;
    QSet<QUuid> m_inFlight;
    QHash<QUuid, MediaItems> m_rerun;
    QHash<QUuid, QList<MediaItems>> m_awaitingCache; // calls made while the library's cache is read
    QSet<QUuid> m_flagsDirty;
    std::unique_ptr<QThreadPool> m_workers;   // freshness and phase A
    std::unique_ptr<QThreadPool> m_detection; // phase B, three at a time, at idle priority
    std::unique_ptr<QThreadPool> m_writer;    // cache files, one at a time
    std::shared_ptr<std::atomic<bool>> m_alive;
};

} // namespace app
