#include "app/platform/volumes/FileSystemKinds.h"
#include "app/platform/volumes/LinuxMountTable.h"
#include "app/platform/volumes/MountTable.h"

#include "support/app/QtPrinters.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace app;

namespace {

TEST(MountInfo, ParsesLinesAndSkipsMalformedOnes)
{
    const QByteArray text =
        "22 27 0:21 / /proc rw,relatime - proc proc rw\n"
        "36 27 8:17 / /media/anna/My\\040Drive rw,nosuid shared:1 master:2 - exfat /dev/sdb1 rw,uid=1000\n"
        "40 27 0:45 /sub /srv/bind rw - btrfs /dev/mapper/root rw\n"
        "garbage line without separator\n"
        "41 27 x:y / /bad rw - ext4 /dev/sdz rw\n"
        "42 27 8:1 / relative rw - ext4 /dev/sda1 rw\n"
        "\n";
    const QList<MountEntry> mounts = mountinfo::parse(text);
    ASSERT_EQ(mounts.size(), 3);
    EXPECT_EQ(mounts[0].mountPoint, "/proc");
    EXPECT_EQ(mounts[1].mountPoint, "/media/anna/My Drive"); // optional fields before " - " do not shift anything
    EXPECT_EQ(mounts[1].fsType, "exfat");
    EXPECT_EQ(mounts[1].source, "/dev/sdb1");
    EXPECT_EQ(mounts[1].major, 8);
    EXPECT_EQ(mounts[1].minor, 17);
    EXPECT_EQ(mounts[2].root, "/sub");

    struct Case {
        QByteArray field;
        QString expected;
    };
    for (const Case& c : {Case{"/a\\040b", "/a b"}, Case{"/tab\\011x", "/tab\tx"}, Case{"/back\\134slash", "/back\\slash"},
                          Case{"/not\\9octal", "/not\\9octal"}, Case{"/end\\04", "/end\\04"},
                          Case{"/照片", "/照片"}}) {
        EXPECT_EQ(mountinfo::unescape(c.field), c.expected);
    }
}

TEST(MountInfo, ContainingMountIsTheLongestComponentPrefix)
{
    const QList<MountEntry> mounts = mountinfo::parse("1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                                      "2 1 8:17 / /mnt/a rw - ext4 /dev/sdb1 rw\n"
                                                      "3 1 8:33 / /mnt/ab rw - ext4 /dev/sdc1 rw\n"
                                                      "4 2 8:49 / /mnt/a rw - vfat /dev/sdd1 rw\n");
    struct Case {
        QString path;
        QString source;
        QString relative;
    };
    const QList<Case> cases{
        {"/home/anna", "/dev/sda1", "home/anna"},
        {"/mnt/ab/photos", "/dev/sdc1", "photos"},
        {"/mnt/a", "/dev/sdd1", ""}, // stacked mount hides the one below
        {"/mnt/abc", "/dev/sda1", "mnt/abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        const auto mount = mountinfo::containing(mounts, c.path);
        ASSERT_TRUE(mount);
        EXPECT_EQ(mount->source, c.source);
        EXPECT_EQ(mountinfo::relativeTo(mount->mountPoint, c.path), c.relative);
    }
    EXPECT_FALSE(mountinfo::containing({}, "/x"));
}

TEST(LinuxMountTable, FindsUuidThroughTheDeviceLinkAndTellsExternalMounts)
{
    QTemporaryDir dir;
    const QString dev = dir.filePath("dev");
    const QString byUuid = dir.filePath("by-uuid");
    QDir().mkpath(dev);
    QDir().mkpath(byUuid);
    for (const char* name : {"sda1", "sdb1"}) {
        QFile device(dev + "/" + name);
        ASSERT_TRUE(device.open(QIODevice::WriteOnly));
    }
    ASSERT_TRUE(QFile::link("../dev/sdb1", byUuid + "/1234-ABCD"));
    ASSERT_TRUE(QFile::link("../dev/sda1", byUuid + "/0f0e-root"));
    QFile info(dir.filePath("mountinfo"));
    ASSERT_TRUE(info.open(QIODevice::WriteOnly));
    info.write(QString("1 0 250:1 / / rw - ext4 %1/sda1 rw\n"
                       "2 1 250:17 / /media/anna/DRIVE rw - exfat %1/sdb1 rw\n"
                       "3 1 0:50 / /tmp rw - tmpfs tmpfs rw\n")
                   .arg(dev)
                   .toUtf8());
    info.close();

    LinuxMountTable table({dir.filePath("mountinfo"), byUuid, dir.filePath("no-sys")});
    const QList<MountEntry> mounts = table.mounts();
    ASSERT_EQ(mounts.size(), 3);
    EXPECT_EQ(mounts[0].fsUuid, "0f0e-root");
    EXPECT_FALSE(mounts[0].isExternal);
    EXPECT_EQ(mounts[1].fsUuid, "1234-ABCD");
    EXPECT_TRUE(mounts[1].isExternal);
    EXPECT_EQ(mounts[2].fsUuid, "");
}

// Which file systems hand out inode numbers per mount: FAT and exFAT through the kernel or FUSE.
TEST(FileSystemKinds, FatAndExfatThroughTheKernelOrFuseKeepOnlySizeAndTime)
{
    const auto fuse = [](const char* line) { return mountinfo::parse(line).value(0); };
    struct Row {
        const char* name;
        unsigned long statfsType;
        std::optional<MountEntry> mount;
        QByteArray deviceFsType;
        bool fatLike;
    };
    const Row rows[] = {
        {"kernel vfat", 0x4d44, std::nullopt, "", true},
        {"kernel exfat", 0x2011BAB0, std::nullopt, "", true},
        {"ext4", 0xEF53, std::nullopt, "", false},
        {"FUSE exFAT by subtype", 0x65735546, fuse("1 0 0:50 / /m rw - fuseblk.exfat /dev/sdb1 rw"), "", true},
        {"FUSE FAT by source", 0x65735546, fuse("1 0 0:51 / /m rw - fuse fusefat rw"), "", true},
        {"FUSE on a device holding exFAT", 0x65735546, fuse("1 0 7:0 / /m rw - fuseblk /dev/loop0 rw"), "exfat", true},
        {"NTFS through FUSE", 0x65735546, fuse("1 0 8:1 / /m rw - fuseblk /dev/sda1 rw"), "ntfs", false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(FileSystemKinds::isFatLike(row.statfsType, row.mount, row.deviceFsType), row.fatLike) << row.name;
}

} // namespace
