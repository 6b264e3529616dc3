#include "app/services/NonCapturedIndex.h"

#include "app/models/PhotoLibrary.h"
#include "app/platform/ApplicationSupport.h"
#include "app/platform/ExitWait.h"
#include "app/services/NonCapturedClassifier.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QPointer>
#include <QSaveFile>
#include <QThread>
#include <QSettings>
#include <QThreadPool>

#include <algorithm>
#include <climits>
#include <cmath>

#include <sys/stat.h>

namespace app {

namespace {

const char* const kConfirmedKey = "hasConfirmedNonCapturedOrganize";
constexpr int kSchemaVersion = 1;
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
    const qint64 size = now.ok ? now.size : -1;
    const double mtime = now.ok ? now.mtime : -1.0;
    return entry.fileSize == size && std::abs(entry.mtime - mtime) < kMtimeTolerance;
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
    if (!env.monotonicMs) {
        env.monotonicMs = [] {
            static QElapsedTimer timer = [] {
                QElapsedTimer t;
                t.start();
                return t;
            }();
            return timer.elapsed();
        };
    }
    return env;
}

} // namespace

// ---- cache file ------------------------------------------------------------------------------

QJsonObject NonCapturedIndex::CacheFile::toJson() const
{
    // QJsonObject keeps its keys sorted in one array: inserting in key order appends, where hash order
    // would shift the array on every insert (quadratic for a large library).
    QStringList paths = entries.keys();
    std::sort(paths.begin(), paths.end());
    QJsonObject entriesObject;
    for (const QString& path : std::as_const(paths)) {
        const Entry& e = *entries.constFind(path);
        QJsonObject entry{
            {QStringLiteral("fileSize"), e.fileSize},
            {QStringLiteral("mtime"), e.mtime},
            {QStringLiteral("isNonCaptured"), e.isNonCaptured},
            {QStringLiteral("rule"), e.rule},
        };
        if (e.hasPerson)
            entry.insert(QStringLiteral("hasPerson"), *e.hasPerson);
        entriesObject.insert(path, entry);
    }
    return QJsonObject{
        {QStringLiteral("schemaVersion"), schemaVersion},
        {QStringLiteral("libraryID"), uuidString(libraryID)},
        {QStringLiteral("entries"), entriesObject},
    };
}

std::optional<NonCapturedIndex::CacheFile> NonCapturedIndex::CacheFile::fromJson(const QJsonObject& object)
{
    const auto integer = [](const QJsonValue& value) -> std::optional<qint64> {
        if (!value.isDouble())
            return std::nullopt;
        // toInteger() falls back to its default for fractions and out-of-range numbers.
        const qint64 a = value.toInteger(0);
        if (a != value.toInteger(1))
            return std::nullopt;
        return a;
    };

    CacheFile file;
    const auto version = integer(object.value(QStringLiteral("schemaVersion")));
    if (!version || *version < INT_MIN || *version > INT_MAX)
        return std::nullopt;
    file.schemaVersion = static_cast<int>(*version);

    const QJsonValue id = object.value(QStringLiteral("libraryID"));
    const auto uuid = id.isString() ? parseUuidStrict(id.toString()) : std::nullopt;
    if (!uuid)
        return std::nullopt;
    file.libraryID = *uuid;

    const QJsonValue entriesValue = object.value(QStringLiteral("entries"));
    if (!entriesValue.isObject())
        return std::nullopt;
    const QJsonObject entries = entriesValue.toObject();
    file.entries.reserve(entries.size());
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
        if (!it->isObject())
            return std::nullopt;
        const QJsonObject e = it->toObject();
        const auto size = integer(e.value(QStringLiteral("fileSize")));
        const QJsonValue mtime = e.value(QStringLiteral("mtime"));
        const QJsonValue flag = e.value(QStringLiteral("isNonCaptured"));
        const QJsonValue rule = e.value(QStringLiteral("rule"));
        const QJsonValue person = e.value(QStringLiteral("hasPerson"));
        if (!size || !mtime.isDouble() || !flag.isBool() || !rule.isString())
            return std::nullopt;
        if (!(person.isUndefined() || person.isNull() || person.isBool()))
            return std::nullopt;
        Entry entry;
        entry.fileSize = *size;
        entry.mtime = mtime.toDouble();
        entry.isNonCaptured = flag.toBool();
        entry.rule = rule.toString();
        if (person.isBool())
            entry.hasPerson = person.toBool();
        file.entries.insert(it.key(), entry);
    }
    return file;
}

// ---- one classification run ------------------------------------------------------------------

struct NonCapturedIndex::Run {
    QUuid libraryID;
    MediaItems photos;      // still photos, each path once
    QStringList phaseB;     // paths in the order found
    qsizetype merged = 0;   // phase-B answers merged so far
    qsizetype nextBatch = 0;
    QList<QPair<QString, bool>> batchAnswers;
    int batchPending = 0;
    qint64 lastSaveMs = 0;
    bool classifiedAnything = false;
};

struct NonCapturedIndex::PhaseAChunk {
    int first = 0;                         // index of the first photo of the chunk
    QVector<std::optional<Entry>> entries; // nullopt: the photo was fresh and is left as it is
    bool last = false;
};

// ---- the index -------------------------------------------------------------------------------

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

void NonCapturedIndex::rebuildFlags(const QUuid& libraryID)
{
    const auto cache = m_caches.constFind(libraryID);
    if (cache == m_caches.constEnd())
        return;
    Flags flags;
    flags.reserve(cache->entries.size());
    for (auto it = cache->entries.constBegin(); it != cache->entries.constEnd(); ++it)
        flags.insert(it.key(), it->isNonCaptured);
    setFlags(libraryID, flags);
}

void NonCapturedIndex::loadCacheIfNeeded(const QUuid& libraryID)
{
    if (m_caches.contains(libraryID))
        return;
    CacheFile cache;
    cache.libraryID = libraryID;
    QFile file(cachePath(libraryID));
    if (file.open(QIODevice::ReadOnly)) {
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
        if (document.isObject()) {
            auto decoded = CacheFile::fromJson(document.object());
            if (decoded && decoded->schemaVersion == kSchemaVersion)
                cache = std::move(*decoded);
        }
    }
    m_caches.insert(libraryID, std::move(cache));
    rebuildFlags(libraryID);
}

void NonCapturedIndex::saveCache(const QUuid& libraryID)
{
    // The copy shares the entries: building and writing the JSON of a large library happens on the
    // writer thread, and the main thread pays at most one copy of the hash at its next change.
    const CacheFile cache = m_caches.value(libraryID);
    const QString path = cachePath(libraryID);
    const auto write = m_env.writeCacheFile;
    QPointer<NonCapturedIndex> self(this);
    m_writer->start([self, cache, path, write] {
        const QByteArray data = QJsonDocument(cache.toJson()).toJson(QJsonDocument::Compact);
        if (!guarded([&] { return write(path, data); }).value_or(false)) {
            qWarning("non-captured cache not written: %s", qPrintable(path));
            return;
        }
        const QUuid id = cache.libraryID;
        QMetaObject::invokeMethod(
            self.data(),
            [self, id] {
                if (self)
                    Q_EMIT self->cacheSaved(id);
            },
            Qt::QueuedConnection);
    });
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
    loadCacheIfNeeded(libraryID);

    MediaItems photos;
    QSet<QString> seen;
    for (const MediaItem& item : items) {
        if (item.kind == MediaKind::photo && !item.isLivePhoto && !seen.contains(item.url)) {
            seen.insert(item.url);
            photos.append(item);
        }
    }
    if (photos.isEmpty()) {
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
    run->photos = std::move(photos);

    // Reading file stamps of a large library on a slow drive takes long: do it off the main thread.
    QPointer<NonCapturedIndex> self(this);
    const auto alive = m_alive;
    const QHash<QString, Entry> entries = m_caches.value(libraryID).entries;
    const MediaItems paths = run->photos;
    m_workers->start([self, alive, run, entries, paths] {
        QVector<bool> fresh;
        fresh.reserve(paths.size());
        for (const MediaItem& photo : paths) {
            if (!alive->load())
                return;
            const auto entry = entries.constFind(photo.url);
            fresh.append(entry != entries.constEnd() && entryIsFresh(*entry, stampOf(photo.url)));
        }
        QMetaObject::invokeMethod(
            self.data(),
            [self, run, fresh = std::move(fresh)]() mutable {
                if (self)
                    self->onFreshness(run, std::move(fresh));
            },
            Qt::QueuedConnection);
    });
}

void NonCapturedIndex::onFreshness(std::shared_ptr<Run> run, QVector<bool> fresh)
{
    const QUuid id = run->libraryID;
    // The run owns this library's cache until it ends (inFlight), so it edits it in place. Slots of the
    // signals below may classify other libraries, which grows m_caches: no reference into it is kept
    // across an emit.
    CacheFile& cache = m_caches[id];
    cache.libraryID = id;

    bool anyWork = false;
    for (qsizetype i = 0; i < run->photos.size() && !anyWork; ++i) {
        // A flagged photo without a person answer was interrupted last time: it still needs phase B.
        anyWork = !fresh[i] || needsPersonCheck(cache.entries.value(run->photos[i].url));
    }
    if (!anyWork) {
        rebuildFlags(id);
        finishRun(run, false);
        return;
    }

    const int total = static_cast<int>(run->photos.size());
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
    const QUuid id = run->libraryID;
    const int total = static_cast<int>(run->photos.size());
    for (int k = 0; k < chunk.entries.size(); ++k) {
        const int index = chunk.first + k;
        const int n = index + 1;
        const QString& path = run->photos[index].url;
        const auto& classified = chunk.entries[k];
        QHash<QString, Entry>& entries = m_caches[id].entries;
        if (!classified) {
            const auto existing = entries.constFind(path);
            if (existing != entries.constEnd() && needsPersonCheck(*existing))
                run->phaseB.append(path);
            if (n % kFreshProgressStep == 0 || n == total)
                setProgress(id, {n, total});
            continue;
        }
        entries.insert(path, *classified);
        setFlag(id, path, classified->isNonCaptured);
        run->classifiedAnything = true;
        if (classified->isNonCaptured)
            run->phaseB.append(path);
        if (n % kClassifiedProgressStep == 0 || n == total) {
            publishFlags(id);
            setProgress(id, {n, total});
        }
    }
    publishFlags(id);
    if (!chunk.last)
        return;

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
        rebuildFlags(id);
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
