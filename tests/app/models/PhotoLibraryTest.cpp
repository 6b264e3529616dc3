#include "app/models/PhotoLibrary.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

using namespace app;

namespace {

const char* goodObject =
    R"({"id":"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9","name":"旅行","bookmark":"AAEC",)"
    R"("displayPath":"/media/usb/Photos","isExternalVolume":true,"dateAdded":0})";

QByteArray withChange(const QString& key, const QJsonValue& value, bool remove = false)
{
    QJsonObject o = QJsonDocument::fromJson(goodObject).object();
    if (remove)
        o.remove(key);
    else
        o.insert(key, value);
    QJsonArray a;
    a.append(QJsonDocument::fromJson(goodObject).object());
    a.append(o);
    return QJsonDocument(a).toJson(QJsonDocument::Compact);
}

} // namespace

TEST(PhotoLibraryJson, StrictDecodingTable)
{
    struct Row {
        const char* what;
        QByteArray json;
        bool decodes;
    };
    const Row rows[] = {
        {"valid element", withChange("name", "旅行"), true},
        {"lower-case UUID accepted", withChange("id", "0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9"), true},
        {"unknown key ignored", withChange("colour", "red"), true},
        {"braced UUID refused", withChange("id", "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"), false},
        {"UUID without hyphens refused", withChange("id", "0A1B2C3D4E5F60718293A4B5C6D7E8F9"), false},
        {"UUID with non-hex refused", withChange("id", "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8FG"), false},
        {"missing isExternalVolume fails the array", withChange("isExternalVolume", {}, true), false},
        {"missing bookmark fails the array", withChange("bookmark", {}, true), false},
        {"wrong type for name", withChange("name", 3), false},
        {"wrong type for isExternalVolume", withChange("isExternalVolume", "true"), false},
        {"dateAdded as text", withChange("dateAdded", "0"), false},
        {"malformed Base64", withChange("bookmark", "A*=="), false},
        {"non-ASCII Base64", withChange("bookmark", "AAé="), false},
        {"element is not an object", QByteArray("[1]"), false},
        {"top level is an object", QByteArray(goodObject), false},
        {"not JSON", QByteArray("[{"), false},
        {"empty array", QByteArray("[]"), true},
    };
    for (const auto& row : rows) {
        QString error;
        const auto decoded = PhotoLibrary::decodeList(row.json, &error);
        EXPECT_EQ(decoded.has_value(), row.decodes) << row.what;
        if (!row.decodes) {
            EXPECT_FALSE(error.isEmpty()) << row.what;
        }
    }
}

TEST(PhotoLibraryJson, FieldsAndReferenceDate)
{
    const auto list = PhotoLibrary::decodeList(QByteArray("[") + goodObject + "]");
    ASSERT_TRUE(list.has_value());
    ASSERT_EQ(list->size(), 1);
    const PhotoLibrary& lib = list->first();
    EXPECT_EQ(lib.name, "旅行");
    EXPECT_EQ(lib.bookmark, QByteArray("\x00\x01\x02", 3));
    EXPECT_EQ(lib.displayPath, "/media/usb/Photos");
    EXPECT_TRUE(lib.isExternalVolume);
    // Seconds count from 2001, not from 1970.
    EXPECT_EQ(lib.dateAdded, QDateTime(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc()));
    EXPECT_EQ(lib.symbolName(), "externaldrive.fill");
}

TEST(PhotoLibraryJson, WritesUpperCaseUuidAndRoundTrips)
{
    PhotoLibrary lib;
    lib.id = QUuid::fromString(QStringLiteral("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9"));
    lib.name = "家/人";
    lib.bookmark = QByteArray("\xff\x00 bookmark", 11);
    lib.displayPath = "/home/u/图片";
    lib.isExternalVolume = false;
    lib.dateAdded = QDateTime(QDate(2024, 5, 7), QTime(10, 30, 15, 250), QTimeZone::utc());

    const QByteArray json = PhotoLibrary::encodeList({lib});
    EXPECT_FALSE(json.contains('\n')) << "written compact";
    EXPECT_TRUE(json.contains("\"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9\""));
    const QJsonObject o = QJsonDocument::fromJson(json).array().first().toObject();
    EXPECT_EQ(o.size(), 6);
    EXPECT_DOUBLE_EQ(o.value("dateAdded").toDouble(), 736770615.25);

    const auto back = PhotoLibrary::decodeList(json);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->first(), lib);
    EXPECT_EQ(qHash(back->first()), qHash(lib));
}
