#include "app/services/NonCapturedIndex.h"

#include "app/models/PhotoLibrary.h"

#include <QJsonValue>
#include <QStringList>

#include <algorithm>
#include <climits>

namespace app {

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

} // namespace app
