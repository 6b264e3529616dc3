#include "app/services/noncaptured/NonCapturedIndex.h"

#include "app/models/PhotoLibrary.h"
#include "app/platform/desktop/ApplicationSupport.h"
#include "app/platform/desktop/CacheFileInput.h"
#include "app/platform/desktop/ExitWait.h"
#include "app/services/noncaptured/NonCapturedClassifier.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSaveFile>
#include <QThread>
#include <QSettings>
#include <QThreadPool>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>

#include <sys/stat.h>

namespace app {

namespace {

const char* const kConfirmedKey = "hasConfirmedNonCapturedOrganize";
// Progress is published every 8 fresh photos, flags and progress every 16 classified ones.
constexpr int kFreshProgressStep = 8;
constexpr int kClassifiedProgressStep = 16;
// The phase-A worker hands back at least this many photos at a time, and no more often than every
// 100 ms, so that a large library does not flood the main thread with merges and flag signals.
constexpr int kPhaseAChunk = 32;
constexpr qint64 kPhaseAChunkIntervalMs = 100;
constexpr int kDetectionBatch = 3;
constexpr qint64 kPhaseBSaveIntervalMs = 30000;
constexpr double kMtimeTolerance = 0.5;
// Verdicts are merged on the main thread for at most this long at a time, the clock read every few.
constexpr qint64 kMergeSliceMs = 4;
constexpr qsizetype kMergeClockStride = 8;

std::unique_ptr<QSettings> openSettings(const QString& file)
{
    if (!file.isEmpty())
        return std::make_unique<QSettings>(file, QSettings::IniFormat);
    return std::make_unique<QSettings>(QStringLiteral("Tessivarnholm"), QStringLiteral("Tessivarnholm"));
}

struct FileStamp {
    bool ok = false;
    qint64 size = 0;
    double mtime = 0;
};

FileStamp stampOf(const QString& path)
{
    struct stat st {};
    const QByteArray native = QFile::encodeName(path);
    if (::stat(native.constData(), &st) != 0)
        return {};
    return {true, static_cast<qint64>(st.st_size),
            static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9};
}

bool entryIsFresh(const NonCapturedIndex::Entry& entry, const FileStamp& now)
{
    // A file whose stamp cannot be read is never fresh.
    return now.ok && entry.fileSize == now.size && std::abs(entry.mtime - now.mtime) < kMtimeTolerance;
}

// Runs work on a pool thread, where an escaping exception would end the program and leave the
// run unfinished.
template <typename Work>
auto guarded(Work&& work) -> std::optional<decltype(work())>
{
    try {
        return work();
    } catch (...) {
        return std::nullopt;
    }
}

bool needsPersonCheck(const NonCapturedIndex::Entry& entry)
{
    return entry.isNonCaptured && !entry.hasPerson.has_value();
}

NonCapturedIndex::Environment withDefaults(NonCapturedIndex::Environment env)
{
    if (env.cacheDirectory.isEmpty())
        env.cacheDirectory = applicationSupportFolder() + QStringLiteral("/nonCaptured");
    if (!env.phaseA) {
        env.phaseA = [](const MediaItem& item) {
            const auto result = NonCapturedClassifier::classifyPhaseA(item);
            using Kind = NonCapturedClassifier::PhaseAResult::Kind;
            return NonCapturedVerdict{result.kind == Kind::nonCaptured, result.rule};
        };
    }
    if (!env.hasPerson)
        env.hasPerson = [](const QString& path) { return NonCapturedClassifier::phaseBHasPerson(path); };
    if (!env.writeCacheFile) {
        env.writeCacheFile = [](const QString& path, const QByteArray& data) {
            QDir().mkpath(QFileInfo(path).path());
            QSaveFile file(path);
            return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit();
        };
    }
    if (!env.readCacheFile)
        env.readCacheFile = [](const QString& path) {
            // Its entries outlive the photos they describe, so the bound is fixed rather than scaled
            // to today's library: about a million entries of a long path each.
            constexpr qint64 maximumBytes = qint64(256) << 20;
            return CacheFileInput::readAll(path, maximumBytes);
        };
    if (!env.monotonicMs)
        env.monotonicMs = [] {
            using namespace std::chrono;
            return qint64(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
        };
    return env;
}

} // namespace

struct NonCapturedIndex::PhaseAChunk {
    int first = 0;                         // index of the first photo of the chunk
    QVector<std::optional<Entry>> entries; // nullopt: the photo was fresh and is left as it is
    bool last = false;
};

struct NonCapturedIndex::Run {
    QUuid libraryID;
    MediaItems photos;      // still photos, each path once
    QStringList phaseB;     // paths in the order found
    qsizetype merged = 0;   // phase-B answers merged so far
    qsizetype nextBatch = 0;
    QList<QPair<QString, bool>> batchAnswers;
    std::deque<PhaseAChunk> pendingChunks; // handed back by phase A, not yet merged
    qsizetype mergedInChunk = 0;           // of the first pending chunk
    bool merging = false;                  // a later slice of the merge is queued
    int batchPending = 0;
    qint64 lastSaveMs = 0;
    bool classifiedAnything = false;
};

NonCapturedIndex& NonCapturedIndex::shared()
{
    // Never destroyed: detection threads may still report while the application winds down.
    static auto* instance = [] {
        auto* index = new NonCapturedIndex();
        // Detections still running at exit must not be left inside dlib or a decoder.
        drainAtExit(*index->m_workers);
        drainAtExit(*index->m_detection);
        drainAtExit(*index->m_writer);
        return index;
    }();
    return *instance;
}

NonCapturedIndex::NonCapturedIndex(Environment environment, QObject* parent)
    : QObject(parent)
    , m_env(withDefaults(std::move(environment)))
    , m_workers(std::make_unique<QThreadPool>())
    , m_detection(std::make_unique<QThreadPool>())
    , m_writer(std::make_unique<QThreadPool>())
    , m_alive(std::make_shared<std::atomic<bool>>(true))
{
    m_workers->setMaxThreadCount(2);
    // Each detection holds a decoded image and a detector; three keep the machine usable.
    m_detection->setMaxThreadCount(kDetectionBatch);
    // Detection of a large library takes many minutes of three cores: only idle time is given to it
    // (SCHED_IDLE on Linux; lower "nice" priorities change nothing for a background pool).
    m_detection->setThreadPriority(QThread::IdlePriority);
    m_writer->setMaxThreadCount(1);
    m_confirmed = openSettings(m_env.settingsFile)->value(kConfirmedKey, false).toBool();
}

NonCapturedIndex::~NonCapturedIndex()
{
    m_alive->store(false);
    m_workers->waitForDone();
    m_detection->waitForDone();
    m_writer->waitForDone();
}

void NonCapturedIndex::setHasConfirmedOrganize(bool confirmed)
{
    auto settings = openSettings(m_env.settingsFile);
    settings->setValue(kConfirmedKey, confirmed);
    settings->sync();
    if (m_confirmed == confirmed)
        return;
    m_confirmed = confirmed;
    Q_EMIT confirmedChanged(confirmed);
}

bool NonCapturedIndex::isNonCaptured(const QUuid& libraryID, const QString& path) const
{
    const auto library = m_flags.constFind(libraryID);
    return library != m_flags.constEnd() && library->value(path, false);
}

void NonCapturedIndex::waitForCacheWrites()
{
    m_writer->waitForDone();
}

QString NonCapturedIndex::cachePath(const QUuid& libraryID) const
{
    return m_env.cacheDirectory + QLatin1Char('/') + uuidString(libraryID) + QStringLiteral(".json");
}

void NonCapturedIndex::setFlags(const QUuid& libraryID, const Flags& flags)
{
    const auto it = m_flags.constFind(libraryID);
    if (it != m_flags.constEnd() && *it == flags)
        return;
    m_flags.insert(libraryID, flags);
    m_flagsDirty.remove(libraryID);
    Q_EMIT flagsChanged(libraryID);
}

void NonCapturedIndex::setProgress(const QUuid& libraryID, NonCapturedProgress progress)
{
    const auto it = m_progress.constFind(libraryID);
    if (it != m_progress.constEnd() && *it == progress)
        return;
    m_progress.insert(libraryID, progress);
    Q_EMIT progressChanged(libraryID);
}

void NonCapturedIndex::setClassifying(const QUuid& libraryID, bool on)
{
    if (m_classifying.contains(libraryID) == on)
        return;
    if (on)
        m_classifying.insert(libraryID);
    else
        m_classifying.remove(libraryID);
    Q_EMIT classifyingChanged(libraryID);
}

void NonCapturedIndex::setFlag(const QUuid& libraryID, const QString& path, bool isNonCaptured)
{
    Flags& flags = m_flags[libraryID];
    const auto it = flags.constFind(path);
    if (it != flags.constEnd() && *it == isNonCaptured)
        return;
    flags.insert(path, isNonCaptured);
    m_flagsDirty.insert(libraryID);
}

void NonCapturedIndex::publishFlags(const QUuid& libraryID)
{
    if (m_flagsDirty.remove(libraryID))
        Q_EMIT flagsChanged(libraryID);
}

void NonCapturedIndex::ensureClassified(const QUuid& libraryID, const MediaItems& items)
{
    if (!m_confirmed) {
        Q_EMIT classificationSettled(libraryID);
        return;
    }
    if (!m_caches.contains(libraryID)) {
        // Calls made before the library's cache is in wait for it, then run in their order.
        QList<MediaItems>& waiting = m_awaitingCache[libraryID];
        waiting.append(items);
        if (waiting.size() == 1)
            loadCache(libraryID);
        return;
    }

    const auto isStill = [](const MediaItem& item) { return item.kind == MediaKind::photo && !item.isLivePhoto; };
    if (std::none_of(items.cbegin(), items.cend(), isStill)) {
        setFlags(libraryID, m_flags.value(libraryID));
        Q_EMIT classificationSettled(libraryID);
        return;
    }
    if (m_inFlight.contains(libraryID)) {
        // The running classification may have seen older items: run again with these once it ends.
        m_rerun.insert(libraryID, items);
        return;
    }
    m_inFlight.insert(libraryID);

    auto run = std::make_shared<Run>();
    run->libraryID = libraryID;

    // Picking the still photos and reading their file stamps takes long for a large library on a slow
    // drive: all of it happens off the main thread. The run owns the library's cache until it ends, so
    // this snapshot of its entries stays current.
    QPointer<NonCapturedIndex> self(this);
    const auto alive = m_alive;
    const QHash<QString, Entry> entries = m_caches.value(libraryID).entries;
    m_workers->start([self, alive, run, entries, items, isStill] {
        MediaItems photos;
        QSet<QString> seen;
        QVector<bool> fresh;
        bool anyWork = false;
        for (const MediaItem& item : items) {
            if (!alive->load())
                return;
            if (!isStill(item) || seen.contains(item.url))
                continue;
            seen.insert(item.url);
            photos.append(item);
            const auto entry = entries.constFind(item.url);
            fresh.append(entry != entries.constEnd() && entryIsFresh(*entry, stampOf(item.url)));
            // A flagged photo without a person answer was interrupted last time: it still needs phase B.
            anyWork = anyWork || !fresh.back() || needsPersonCheck(*entry);
        }
        QMetaObject::invokeMethod(
            self.data(),
            [self, run, photos = std::move(photos), fresh = std::move(fresh), anyWork]() mutable {
                if (self)
                    self->onFreshness(run, std::move(photos), std::move(fresh), anyWork);
            },
            Qt::QueuedConnection);
    });
}

void NonCapturedIndex::onFreshness(std::shared_ptr<Run> run, MediaItems stills, QVector<bool> fresh, bool anyWork)
{
    const QUuid id = run->libraryID;
    run->photos = std::move(stills);
    m_caches[id].libraryID = id;
    if (!anyWork) {
        // The flags follow the cache entry by entry, so there is nothing to rebuild.
        publishFlags(id);
        finishRun(run, false);
        return;
    }

    const int total = static_cast<int>(run->photos.size());
    // Grown once here rather than rehashed whole in the middle of some merge slice.
    if (QHash<QString, Entry>& entries = m_caches[id].entries; entries.capacity() < total)
        entries.reserve(total);
    if (Flags& flags = m_flags[id]; flags.capacity() < total)
        flags.reserve(total);
    setClassifying(id, true);
    setProgress(id, {0, total});

    QPointer<NonCapturedIndex> self(this);
    const auto alive = m_alive;
    const auto phaseA = m_env.phaseA;
    const MediaItems photos = run->photos;
    m_workers->start([self, alive, run, phaseA, photos, fresh] {
        const auto post = [&](PhaseAChunk&& chunk) {
            QMetaObject::invokeMethod(
                self.data(),
                [self, run, chunk = std::move(chunk)]() mutable {
                    if (self)
                        self->onPhaseAChunk(run, std::move(chunk));
                },
                Qt::QueuedConnection);
        };
        QElapsedTimer sincePost;
        sincePost.start();
        PhaseAChunk chunk;
        for (int i = 0; i < photos.size(); ++i) {
            if (!alive->load())
                return;
            std::optional<NonCapturedVerdict> verdict;
            if (!fresh[i])
                verdict = guarded([&] { return phaseA(photos[i]); });
            if (!verdict) {
                // Fresh, or the classifier threw: the photo keeps whatever entry it has.
                chunk.entries.append(std::nullopt);
            } else {
                const FileStamp stamp = stampOf(photos[i].url);
                Entry entry;
                entry.fileSize = stamp.ok ? stamp.size : 0;
                entry.mtime = stamp.ok ? stamp.mtime : 0;
                entry.isNonCaptured = verdict->isNonCaptured;
                entry.rule = verdict->rule;
                chunk.entries.append(entry);
            }
            if (chunk.entries.size() >= kPhaseAChunk && sincePost.elapsed() >= kPhaseAChunkIntervalMs) {
                const int next = chunk.first + static_cast<int>(chunk.entries.size());
                post(std::move(chunk));
                chunk = PhaseAChunk{};
                chunk.first = next;
                sincePost.restart();
            }
        }
        chunk.last = true;
        post(std::move(chunk));
    });
}

void NonCapturedIndex::onPhaseAChunk(std::shared_ptr<Run> run, PhaseAChunk chunk)
{
    run->pendingChunks.push_back(std::move(chunk));
    if (!run->merging)
        mergePhaseA(run);
}

void NonCapturedIndex::mergePhaseA(std::shared_ptr<Run> run)
{
    const QUuid id = run->libraryID;
    const int total = static_cast<int>(run->photos.size());
    const qint64 sliceStart = m_env.monotonicMs();
    run->merging = true;
    while (!run->pendingChunks.empty()) {
        const PhaseAChunk& chunk = run->pendingChunks.front();
        for (qsizetype& k = run->mergedInChunk; k < chunk.entries.size(); ++k) {
            // A large library's verdicts would hold the main thread for a long time: give the event
            // loop its turn every few milliseconds and carry on after it.
            if (k % kMergeClockStride == 0 && m_env.monotonicMs() - sliceStart >= kMergeSliceMs) {
                publishFlags(id);
                QMetaObject::invokeMethod(this, [this, run] { mergePhaseA(run); }, Qt::QueuedConnection);
                return;
            }
            mergeVerdict(*run, chunk.first + int(k), chunk.entries[k], total);
        }
        const bool last = chunk.last;
        run->pendingChunks.pop_front();
        run->mergedInChunk = 0;
        if (last) {
            run->merging = false;
            publishFlags(id);
            endPhaseA(run);
            return;
        }
    }
    run->merging = false;
    publishFlags(id);
}

void NonCapturedIndex::mergeVerdict(Run& run, int index, const std::optional<Entry>& classified, int total)
{
    const QUuid id = run.libraryID;
    const int n = index + 1;
    const QString& path = run.photos[index].url;
    QHash<QString, Entry>& entries = m_caches[id].entries;
    if (!classified) {
        const auto existing = entries.constFind(path);
        if (existing != entries.constEnd() && needsPersonCheck(*existing))
            run.phaseB.append(path);
        if (n % kFreshProgressStep == 0 || n == total)
            setProgress(id, {n, total});
        return;
    }
    entries.insert(path, *classified);
    setFlag(id, path, classified->isNonCaptured);
    run.classifiedAnything = true;
    if (classified->isNonCaptured)
        run.phaseB.append(path);
    if (n % kClassifiedProgressStep == 0 || n == total) {
        publishFlags(id);
        setProgress(id, {n, total});
    }
}

void NonCapturedIndex::endPhaseA(std::shared_ptr<Run> run)
{
    const QUuid id = run->libraryID;
    if (run->phaseB.isEmpty()) {
        finishRun(run, run->classifiedAnything);
        return;
    }
    // The walk is over: keep what phase A found even if detection is interrupted later.
    if (run->classifiedAnything)
        saveCache(id);
    run->lastSaveMs = m_env.monotonicMs();
    setProgress(id, {0, static_cast<int>(run->phaseB.size())});
    startNextBatch(run);
}

void NonCapturedIndex::startNextBatch(std::shared_ptr<Run> run)
{
    const qsizetype end = std::min(run->nextBatch + kDetectionBatch, run->phaseB.size());
    run->batchAnswers.clear();
    run->batchPending = static_cast<int>(end - run->nextBatch);
    QPointer<NonCapturedIndex> self(this);
    const auto alive = m_alive;
    const auto hasPerson = m_env.hasPerson;
    for (qsizetype i = run->nextBatch; i < end; ++i) {
        const QString path = run->phaseB[i];
        m_detection->start([self, alive, run, hasPerson, path] {
            // A detector that throws counts as finding nobody; the run still gets its answer.
            const bool found = alive->load() && guarded([&] { return hasPerson(path); }).value_or(false);
            QMetaObject::invokeMethod(
                self.data(),
                [self, run, path, found] {
                    if (self)
                        self->onPersonResult(run, path, found);
                },
                Qt::QueuedConnection);
        });
    }
    run->nextBatch = end;
}

void NonCapturedIndex::onPersonResult(std::shared_ptr<Run> run, const QString& path, bool hasPerson)
{
    run->batchAnswers.append({path, hasPerson});
    if (--run->batchPending > 0)
        return;

    const QUuid id = run->libraryID;
    CacheFile& cache = m_caches[id]; // not used after the emits below
    for (const auto& [answeredPath, found] : std::as_const(run->batchAnswers)) {
        auto entry = cache.entries.find(answeredPath);
        if (entry == cache.entries.end())
            continue;
        entry->hasPerson = found;
        if (found) {
            entry->isNonCaptured = false;
            entry->rule = QStringLiteral("B-person-override:") + entry->rule;
            setFlag(id, answeredPath, false);
        }
        ++run->merged;
    }
    publishFlags(id);
    setProgress(id, {static_cast<int>(run->merged), static_cast<int>(run->phaseB.size())});

    if (run->nextBatch >= run->phaseB.size()) {
        finishRun(run, true);
        return;
    }
    // Detection of a large library takes many minutes: keep what is done if the program stops.
    const qint64 now = m_env.monotonicMs();
    if (now - run->lastSaveMs >= kPhaseBSaveIntervalMs) {
        saveCache(id);
        run->lastSaveMs = now;
    }
    startNextBatch(run);
}

void NonCapturedIndex::finishRun(std::shared_ptr<Run> run, bool classifiedAnything)
{
    const QUuid id = run->libraryID;
    if (classifiedAnything) {
        // The flags followed the cache entry by entry; rebuilding them would hold the main thread.
        publishFlags(id);
        saveCache(id);
        const int total = static_cast<int>(run->photos.size());
        setProgress(id, {total, total});
    }
    m_inFlight.remove(id);
    setClassifying(id, false);
    Q_EMIT classificationSettled(id);

    const auto rerun = m_rerun.constFind(id);
    if (rerun != m_rerun.constEnd()) {
        const MediaItems items = *rerun;
        m_rerun.erase(rerun);
        ensureClassified(id, items);
    }
}

} // namespace app
