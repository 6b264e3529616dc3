#include "app/services/noncaptured/NonCapturedIndex.h"

#include "app/models/PhotoLibrary.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonValue>
#include <QPointer>
#include <QStringList>
#include <QThreadPool>

#include <algorithm>
#include <climits>

namespace app {

namespace {
constexpr int kSchemaVersion = 1;
} // namespace

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

// ---- reading and writing a library's cache file ---------------------------------------------

void NonCapturedIndex::loadCache(const QUuid& libraryID)
{
    // A large library's cache takes hundreds of milliseconds to decode: done on a worker.
    QPointer<NonCapturedIndex> self(this);
    const auto alive = m_alive;
    const auto read = m_env.readCacheFile;
    const QString path = cachePath(libraryID);
    m_workers->start([self, alive, read, path, libraryID] {
        CacheFile cache;
        cache.libraryID = libraryID;
        try {
            const std::optional<QByteArray> bytes = alive->load() ? read(path) : std::nullopt;
            const QJsonDocument document = bytes ? QJsonDocument::fromJson(*bytes) : QJsonDocument();
            auto decoded = document.isObject() ? CacheFile::fromJson(document.object()) : std::nullopt;
            // Any other schema is discarded.
            if (decoded && decoded->schemaVersion == kSchemaVersion)
                cache = std::move(*decoded);
        } catch (...) {
            qWarning("non-captured cache not read: %s", qPrintable(path));
        }
        Flags flags;
        flags.reserve(cache.entries.size());
        for (auto it = cache.entries.constBegin(); it != cache.entries.constEnd(); ++it)
            flags.insert(it.key(), it->isNonCaptured);
        QMetaObject::invokeMethod(
            self.data(),
            [self, libraryID, cache = std::move(cache), flags = std::move(flags)]() mutable {
                if (self)
                    self->onCacheLoaded(libraryID, std::move(cache), std::move(flags));
            },
            Qt::QueuedConnection);
    });
}

void NonCapturedIndex::onCacheLoaded(const QUuid& libraryID, CacheFile cache, Flags flags)
{
    m_caches.insert(libraryID, std::move(cache));
    setFlags(libraryID, flags);
    const QList<MediaItems> waiting = m_awaitingCache.take(libraryID);
    for (const MediaItems& items : waiting)
        ensureClassified(libraryID, items);
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
        bool written = false;
        try {
            written = write(path, data);
        } catch (...) {
        }
        if (!written) {
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

} // namespace app
