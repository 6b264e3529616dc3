#include "app/platform/volumes/LinuxBookmarkService.h"
#include "app/platform/volumes/MountTable.h"

#include "support/app/QtPrinters.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

using namespace app;

namespace {

class FakeMountTable final : public MountTable {
public:
    QList<MountEntry> mounts() override { return entries; }

    void set(const QList<std::tuple<QString, QString, bool>>& list)
    {
        entries.clear();
        entries.append(MountEntry{8, 1, "/", "/", "ext4", "/dev/sda1", "ROOT-UUID", false});
        for (const auto& [point, uuid, external] : list)
            entries.append(MountEntry{8, 17, "/", point, "exfat", "/dev/sdb1", uuid, external});
    }

    QList<MountEntry> entries;
};

class LinuxBookmarkServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        base = QFileInfo(dir.path()).canonicalFilePath();
        QDir().mkpath(base + "/mnt/backup/Photos");
        QDir().mkpath(base + "/run/DRIVE/Photos");
    }

    QTemporaryDir dir;
    QString base;
    FakeMountTable mounts;
    LinuxBookmarkService service{mounts};
};

TEST_F(LinuxBookmarkServiceTest, BookmarkRecordsTheFileSystemAndThePathInsideIt)
{
    mounts.set({{base + "/mnt/backup", "DRIVE-UUID", true}});
    const auto bookmark = service.makeBookmark(base + "/mnt/backup/./Photos/");
    ASSERT_TRUE(bookmark);
    const QJsonObject object = QJsonDocument::fromJson(*bookmark).object();
    EXPECT_EQ(object.value("v").toInt(), 1);
    EXPECT_EQ(object.value("path").toString(), base + "/mnt/backup/Photos");
    EXPECT_EQ(object.value("fs").toString(), "DRIVE-UUID");
    EXPECT_EQ(object.value("rel").toString(), "Photos");
    EXPECT_EQ(service.volumeIsInternal(base + "/mnt/backup/Photos"), false);
    EXPECT_EQ(service.makeBookmark(base + "/missing"), std::nullopt);
}

TEST_F(LinuxBookmarkServiceTest, ResolvesFreshStaleOrNotAtAll)
{
    mounts.set({{base + "/mnt/backup", "DRIVE-UUID", true}});
    const QByteArray bookmark = *service.makeBookmark(base + "/mnt/backup/Photos");

    struct Case {
        const char* name;
        QList<std::tuple<QString, QString, bool>> mounted;
        std::optional<QString> path;
        bool stale;
    };
    const QList<Case> cases{
        {"same mount point", {{base + "/mnt/backup", "DRIVE-UUID", true}}, base + "/mnt/backup/Photos", false},
        {"remounted elsewhere", {{base + "/run/DRIVE", "DRIVE-UUID", true}}, base + "/run/DRIVE/Photos", true},
        // The old mount point and even a folder of the same name still exist, on the root file system.
        {"unplugged", {}, std::nullopt, false},
        {"another drive at the same point", {{base + "/mnt/backup", "OTHER-UUID", true}}, std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mounts.set(c.mounted);
        const auto resolved = service.resolveBookmark(bookmark);
        ASSERT_EQ(resolved.has_value(), c.path.has_value());
        if (resolved) {
            EXPECT_EQ(resolved->path, *c.path);
            EXPECT_EQ(resolved->isStale, c.stale);
        }
    }
}

TEST_F(LinuxBookmarkServiceTest, PathOnlyBookmarksAndBadData)
{
    mounts.entries.clear(); // no UUIDs known, as on machines without /dev/disk/by-uuid
    const QByteArray pathOnly = *service.makeBookmark(base + "/mnt/backup/Photos");
    EXPECT_FALSE(QJsonDocument::fromJson(pathOnly).object().contains("fs"));
    EXPECT_EQ(service.resolveBookmark(pathOnly)->path, base + "/mnt/backup/Photos");
    EXPECT_EQ(service.volumeIsInternal(base + "/mnt/backup/Photos"), std::nullopt);

    for (const QByteArray& bad : {QByteArray(""), QByteArray("not json"), QByteArray("[1]"),
                                  QByteArray(R"({"v":2,"path":"/"})"), QByteArray(R"({"v":1,"path":"relative"})"),
                                  QByteArray(R"({"v":1,"path":"/nope","fs":"DRIVE-UUID","rel":"../etc"})")}) {
        SCOPED_TRACE(bad.toStdString());
        mounts.set({{base + "/mnt/backup", "DRIVE-UUID", true}});
        EXPECT_EQ(service.resolveBookmark(bad), std::nullopt);
    }
    QDir(base + "/mnt/backup/Photos").removeRecursively();
    mounts.entries.clear();
    EXPECT_EQ(service.resolveBookmark(pathOnly), std::nullopt);
}

TEST_F(LinuxBookmarkServiceTest, FileSystemWithoutUuidIsGoneWithItsMount)
{
    // A share mounted on a fixed folder: after the unmount the empty folder is still there.
    mounts.set({{base + "/mnt/backup", "", true}});
    const QByteArray bookmark = *service.makeBookmark(base + "/mnt/backup");
    EXPECT_EQ(QJsonDocument::fromJson(bookmark).object().value("mnt").toString(), base + "/mnt/backup");
    EXPECT_EQ(service.resolveBookmark(bookmark)->path, base + "/mnt/backup");
    mounts.set({});
    EXPECT_EQ(service.resolveBookmark(bookmark), std::nullopt);
}

} // namespace
