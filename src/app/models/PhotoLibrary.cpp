#include "app/models/PhotoLibrary.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTimeZone>

#include <algorithm>
#include <cmath>

namespace app {

namespace {
constexpr qint64 referenceDateUnixSeconds = 978307200; // 2001-01-01T00:00:00Z
// QDateTime's range is far wider, but clamp before converting so a corrupt file cannot overflow.
constexpr double maxAbsoluteSeconds = 1e14;

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}
} // namespace

QString uuidString(const QUuid& id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

std::optional<QUuid> parseUuidStrict(const QString& text)
{
    if (text.size() != 36)
        return std::nullopt;
    for (int i = 0; i < 36; ++i) {
        const QChar c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != u'-')
                return std::nullopt;
        } else if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'))) {
            return std::nullopt;
        }
    }
    const QUuid id = QUuid::fromString(text);
    if (id.isNull() && text != "00000000-0000-0000-0000-000000000000")
        return std::nullopt;
    return id;
}

double secondsSinceReferenceDate(const QDateTime& date)
{
    return static_cast<double>(date.toMSecsSinceEpoch()) / 1000.0 - static_cast<double>(referenceDateUnixSeconds);
}

QDateTime dateFromReferenceSeconds(double seconds)
{
    if (!std::isfinite(seconds))
        seconds = 0;
    seconds = std::clamp(seconds, -maxAbsoluteSeconds, maxAbsoluteSeconds);
    const double msecs = std::round((seconds + static_cast<double>(referenceDateUnixSeconds)) * 1000.0);
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(msecs), QTimeZone::utc());
}

QJsonObject PhotoLibrary::toJson() const
{
    QJsonObject o;
    o.insert("id", uuidString(id));
    o.insert("name", name);
    o.insert("bookmark", QString::fromLatin1(bookmark.toBase64()));
    o.insert("displayPath", displayPath);
    o.insert("isExternalVolume", isExternalVolume);
    o.insert("dateAdded", secondsSinceReferenceDate(dateAdded));
    return o;
}

std::optional<PhotoLibrary> PhotoLibrary::fromJson(const QJsonObject& o, QString* error)
{
    const auto require = [&](const char* key, QJsonValue::Type type) -> std::optional<QJsonValue> {
        const auto it = o.constFind(QLatin1String(key));
        if (it == o.constEnd()) {
            setError(error, QString("缺少字段 %1").arg(key));
            return std::nullopt;
        }
        if (it->type() != type) {
            setError(error, QString("字段 %1 类型错误").arg(key));
            return std::nullopt;
        }
        return *it;
    };

    const auto idValue = require("id", QJsonValue::String);
    const auto nameValue = require("name", QJsonValue::String);
    const auto bookmarkValue = require("bookmark", QJsonValue::String);
    const auto pathValue = require("displayPath", QJsonValue::String);
    const auto externalValue = require("isExternalVolume", QJsonValue::Bool);
    const auto dateValue = require("dateAdded", QJsonValue::Double);
    if (!idValue || !nameValue || !bookmarkValue || !pathValue || !externalValue || !dateValue)
        return std::nullopt;

    const auto id = parseUuidStrict(idValue->toString());
    if (!id) {
        setError(error, "id 不是合法的 UUID");
        return std::nullopt;
    }
    const QString base64 = bookmarkValue->toString();
    bool latin1 = true;
    for (QChar c : base64)
        latin1 = latin1 && c.unicode() < 128;
    const auto decoded = QByteArray::fromBase64Encoding(base64.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!latin1 || !decoded) {
        setError(error, "bookmark 不是合法的 Base64");
        return std::nullopt;
    }

    PhotoLibrary library;
    library.id = *id;
    library.name = nameValue->toString();
    library.bookmark = decoded.decoded;
    library.displayPath = pathValue->toString();
    library.isExternalVolume = externalValue->toBool();
    library.dateAdded = dateFromReferenceSeconds(dateValue->toDouble());
    return library;
}

QByteArray PhotoLibrary::encodeList(const QList<PhotoLibrary>& libraries)
{
    QJsonArray array;
    for (const auto& library : libraries)
        array.append(library.toJson());
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

std::optional<QList<PhotoLibrary>> PhotoLibrary::decodeList(const QByteArray& json, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        setError(error, parseError.errorString());
        return std::nullopt;
    }
    if (!doc.isArray()) {
        setError(error, "顶层不是数组");
        return std::nullopt;
    }
    QList<PhotoLibrary> libraries;
    for (const QJsonValue& value : doc.array()) {
        if (!value.isObject()) {
            setError(error, "元素不是对象");
            return std::nullopt;
        }
        auto library = fromJson(value.toObject(), error);
        if (!library)
            return std::nullopt;
        libraries.append(std::move(*library));
    }
    return libraries;
}

size_t qHash(const PhotoLibrary& l, size_t seed)
{
    return qHashMulti(seed, l.id, l.name, l.bookmark, l.displayPath, l.isExternalVolume,
                      l.dateAdded.toMSecsSinceEpoch());
}

} // namespace app
