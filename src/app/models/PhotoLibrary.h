#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QUuid>

#include <optional>

namespace app {

// One library: a folder the user chose, persisted in "libraries.json".
struct PhotoLibrary {
    QUuid id;
    QString name;
    QByteArray bookmark;
    QString displayPath;
    bool isExternalVolume = false;
    QDateTime dateAdded;

    QString symbolName() const { return isExternalVolume ? "externaldrive.fill" : "folder.fill"; }

    QJsonObject toJson() const;
    // Strict: all six keys with their types, a well-formed UUID and Base64; unknown keys ignored.
    static std::optional<PhotoLibrary> fromJson(const QJsonObject& object, QString* error = nullptr);

    // The whole file: one bad element fails the whole array.
    static QByteArray encodeList(const QList<PhotoLibrary>& libraries);
    static std::optional<QList<PhotoLibrary>> decodeList(const QByteArray& json, QString* error = nullptr);

    friend bool operator==(const PhotoLibrary&, const PhotoLibrary&) = default;
};

size_t qHash(const PhotoLibrary& library, size_t seed = 0);

// Canonical upper-case 36-character text; QUuid writes lower case.
QString uuidString(const QUuid& id);
// Accepts exactly 8-4-4-4-12 hexadecimal digits in either case, no braces.
std::optional<QUuid> parseUuidStrict(const QString& text);

// Reference dates are seconds since 2001-01-01 00:00:00 UTC.
double secondsSinceReferenceDate(const QDateTime& date);
QDateTime dateFromReferenceSeconds(double seconds);

} // namespace app

Q_DECLARE_METATYPE(app::PhotoLibrary)
