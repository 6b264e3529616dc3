#include "app/platform/decoding/ImageDecoder.h"
#include "app/services/library/FileStamp.h"
#include "app/services/library/KeptScans.h"
#include "app/services/library/MediaScanner.h"
#include "app/services/rotation/PhotoOrientationRotator.h"
#include "app/services/rotation/RotationWriter.h"
#include "app/services/thumbnails/ThumbnailProvider.h"
#include "app/views/library/LibraryContentModel.h"

#include "support/NamespaceSandbox.h"
#include "support/app/FakeMediaProbe.h"
#include "support/app/Fixtures.h"
#include "support/app/TiffBytes.h"
#include "support/app/Wait.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>

extern char** environ;

using namespace app;

namespace {

std::string firstLine(const std::string& command)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return {};
    char line[256] = {};
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    ::pclose(pipe);
    std::string text = read ? line : "";
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

const char* const noExfatDrives = "a FUSE drive needs /dev/fuse, mkfs.exfat and mount.exfat-fuse (exfatprogs, exfat-fuse)";

// An empty exFAT image of that many MiB in `dir`; nothing when no FUSE drive can be made here.
std::optional<std::string> exfatImage(const QTemporaryDir& dir, int megabytes)
{
    const std::string image = dir.filePath("drive.img").toStdString();
    if (::access("/dev/fuse", R_OK | W_OK) != 0
        || std::system("command -v mkfs.exfat >/dev/null && command -v mount.exfat-fuse >/dev/null") != 0
        || std::system(("truncate -s " + std::to_string(megabytes) + "M " + image + " && mkfs.exfat " + image
                        + " >/dev/null 2>&1").c_str()) != 0)
        return std::nullopt;
    return image;
}

// exfat-fuse in the foreground, so that its process id is ours to end; nothing once it is mounted.
pid_t mountExfat(const std::string& device, const std::string& mountPoint)
{
    struct stat before {};
    ::stat(mountPoint.c_str(), &before);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"mount.exfat-fuse", "-d", device.c_str(), mountPoint.c_str(), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    // Mounted once the folder is on another device.
    for (int i = 0; i < 500; ++i) {
        struct stat now {};
        if (::stat(mountPoint.c_str(), &now) == 0 && now.st_dev != before.st_dev)
            return pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

} // namespace

// arguments: an empty exFAT image, a folder to mount it on, the number of TIFFs. Writes the TIFFs,
// mounts the drive again (so nothing is cached), scans, and kills the file system's daemon once a
// run of files is read. Exits 0 when the scan says the library is unavailable, 1 when it published
// items, 77 when exFAT cannot be mounted here; a signal means the scan killed the process.
TESS_CHILD_BODY(scanWhileTheDriveDies)
{
    const std::string image = arguments.at(0), mountPoint = arguments.at(1);
    const int count = std::stoi(arguments.at(2));
    const std::string device = firstLine("losetup --find --show " + image + " 2>/dev/null");
    if (device.empty())
        return 77;
    pid_t daemon = mountExfat(device, mountPoint);
    if (daemon < 0) {
        std::system(("losetup -d " + device).c_str());
        return 77;
    }
    // Directories at the end, as libtiff writes them: the reads that matter come late in each file.
    const QByteArray tiff = test::tiffWithDirectoriesAtEnd(192 * 1024);
    const QString library = QString::fromStdString(mountPoint) + "/DCIM";
    QDir().mkpath(library);
    for (int i = 0; i < count; ++i) {
        QFile file(library + QString::asprintf("/IMG_%04d.TIF", i));
        if (!file.open(QIODevice::WriteOnly) || file.write(tiff) != tiff.size())
            return 2;
    }
    ::umount2(mountPoint.c_str(), 0);
    ::waitpid(daemon, nullptr, 0);
    daemon = mountExfat(device, mountPoint);
    if (daemon < 0)
        return 77;

    int result = 1;
    try {
        MediaScanner().scan(library, [&](qsizetype done, qsizetype) {
            if (done == MediaScanner::runSize && daemon > 0) {
                ::kill(daemon, SIGKILL);
                ::waitpid(daemon, nullptr, 0);
                daemon = -1;
            }
        });
    } catch (const FolderUnavailable&) {
        result = 0;
    }
    ::umount2(mountPoint.c_str(), MNT_DETACH);
    std::system(("losetup -d " + device).c_str());
    return result;
}

// A drive whose file system dies mid-scan (a pulled USB stick, a killed FUSE daemon): the scan ends
// with the library unavailable, never with SIGBUS from a mapped file.
TEST(ScanDriveFaults, FileSystemDaemonKilledMidScanIsUnavailableNotACrash)
{
    TESS_SKIP_WITHOUT_UNSHARE();
    QTemporaryDir dir;
    const std::optional<std::string> image = exfatImage(dir, 96);
    if (!image)
        GTEST_SKIP() << noExfatDrives;
    const std::string mountPoint = dir.filePath("mnt").toStdString();
    QDir().mkpath(QString::fromStdString(mountPoint));
    tess::testing::ChildProcess child("scanWhileTheDriveDies",
                                      {.pidNamespace = true, .arguments = {*image, mountPoint, "300"}});
    const tess::testing::ExitStatus status = child.wait();
    if (status == tess::testing::ExitStatus{true, 77, 0})
        GTEST_SKIP() << "exFAT could not be mounted here (loop devices or FUSE refused)";
    EXPECT_EQ(status, (tess::testing::ExitStatus{true, 0, 0}));
}

// arguments: an empty exFAT image and a library folder to mount it inside. Exits 0 when the files
// on the library's own file system keep their whole stamps and those on the drive inside it are
// stamped by size and time only, 77 when exFAT cannot be mounted here, 1 otherwise.
TESS_CHILD_BODY(driveInsideTheLibrary)
{
    const std::string image = arguments.at(0);
    const QString root = QString::fromStdString(arguments.at(1));
    const std::string device = firstLine("losetup --find --show " + image + " 2>/dev/null");
    QDir().mkpath(root + "/drive");
    const pid_t daemon = device.empty() ? -1 : mountExfat(device, (root + "/drive").toStdString());
    if (daemon < 0)
        return 77;
    // Walked in this order: the library's disk, the drive, the library's disk again.
    for (const char* name : {"/a.jpg", "/drive/IMG_1.JPG", "/z.jpg"}) {
        QFile file(root + name);
        if (!file.open(QIODevice::WriteOnly) || file.write("x") != 1)
            return 2;
    }
    bool failed = false;
    std::vector<FileStamp> stamps;
    const QStringList files = MediaScanner::enumerateMediaFiles(root, failed, &stamps);
    const bool right = files.size() == 3 && stamps.size() == 3 && stamps[0].inode != 0 && stamps[1].inode == 0
        && stamps[1].changedNs == 0 && stamps[2].inode != 0;
    ::umount2((root + "/drive").toUtf8().constData(), MNT_DETACH);
    ::waitpid(daemon, nullptr, 0);
    std::system(("losetup -d " + device).c_str());
    return right ? 0 : 1;
}

// A library folder with another drive mounted inside it: each file is stamped by the kind of the
// file system it is on.
TEST(ScanDriveFaults, ADriveInsideTheLibraryIsStampedByItsOwnKind)
{
    TESS_SKIP_WITHOUT_UNSHARE();
    QTemporaryDir dir;
    const std::optional<std::string> image = exfatImage(dir, 32);
    if (!image)
        GTEST_SKIP() << noExfatDrives;
    const tess::testing::ExitStatus status = tess::testing::ChildProcess(
        "driveInsideTheLibrary", {.pidNamespace = true, .arguments = {*image, dir.filePath("library").toStdString()}})
                                                 .wait();
    if (status == tess::testing::ExitStatus{true, 77, 0})
        GTEST_SKIP() << "exFAT could not be mounted here (loop devices or FUSE refused)";
    EXPECT_EQ(status, (tess::testing::ExitStatus{true, 0, 0}));
}

namespace {

// One start of the program over the drive: its kept scans and thumbnails in `cache`.
struct Session {
    std::shared_ptr<test::FakeMediaProbe> probe = std::make_shared<test::FakeMediaProbe>();
    std::shared_ptr<KeptScans> kept;
    ThumbnailProvider thumbnails;

    explicit Session(const QString& cache)
        : kept(std::make_shared<KeptScans>(cache + "/scans")),
          thumbnails(makeMediaImageDecoder(), ThumbnailProvider::Options{.diskCacheDirectory = cache + "/thumbnails"})
    {
    }
    ~Session() { thumbnails.waitForIdle(), kept->waitForWrites(); }
    MediaItems scan(const QString& root) { return MediaFolderScanner(kept, MediaScanner(probe)).scan(root, {}, {}); }
    // Whether the grid shows the turned photo (the third) turned at this size, and the others not.
    bool showsTurned(const MediaItems& items, double pointSize)
    {
        QHash<QString, bool> tall;
        QObject context;
        for (const MediaItem& item : items)
            thumbnails.thumbnail(item, pointSize, 1, &context, [&tall, url = item.url](const QImage& i) {
                tall[url] = i.height() > i.width();
            });
        return test::waitFor([&] { return tall.size() == items.size(); })
            && tall.keys(true) == QStringList{items.value(0).url.section('/', 0, -2) + "/IMG_3.TIF"};
    }
};

} // namespace

// arguments: an empty drive image, its kind ("exfat" or "vfat"), a folder to mount it on and a
// cache folder. Exits 0 when a replugged drive is known again and a turned photo stays turned, 77
// when the drive cannot be mounted here, 1 otherwise (with the reason on stderr).
TESS_CHILD_BODY(replugDrive)
{
    const std::string image = arguments.at(0), kind = arguments.at(1), mountPoint = arguments.at(2);
    const QString cache = QString::fromStdString(arguments.at(3)), root = QString::fromStdString(mountPoint) + "/DCIM";
    int argc = 1;
    char name[] = "replugDrive", *argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    const std::string device = firstLine("losetup --find --show " + image + " 2>/dev/null");
    pid_t daemon = -1;
    // Inode numbers follow the order files are first looked up in.
    const auto plugIn = [&](bool reverseLookups) {
        ::umount2(mountPoint.c_str(), 0);
        if (daemon > 0)
            ::waitpid(daemon, nullptr, 0);
        daemon = kind == "exfat" ? mountExfat(device, mountPoint) : -1;
        if (kind == "exfat" ? daemon < 0 : ::mount(device.c_str(), mountPoint.c_str(), "vfat", 0, nullptr) != 0)
            return false;
        for (int i = 0; i < 6; ++i)
            ::access(QFile::encodeName(root + QString("/IMG_%1.TIF").arg(reverseLookups ? 5 - i : i)).constData(), F_OK);
        return true;
    };
    if (device.empty() || !plugIn(false))
        return 77;
    QDir().mkpath(root);
    // Its orientation tag is rewritten where it stands: a turn keeps the size as well as the times.
    for (int i = 0; i < 6; ++i)
        QFile::copy(test::fixturePath("rotation/orientation-3.tif"), root + QString("/IMG_%1.TIF").arg(i));
    int failures = 0;
    const auto expect = [&](bool ok, const char* what) {
        failures += ok ? 0 : 1;
        if (!ok)
            std::fprintf(stderr, "%s: %s\n", kind.c_str(), what);
    };
    {
        Session first(cache);
        const MediaItems items = first.scan(root);
        first.showsTurned(items, 40), first.showsTurned(items, 60);
        // Turned three times and quit at once: one write runs and one waits when the quit path
        // takes over, and no end of either ever reaches the main thread.
        RotationWriter writer(&first.thumbnails, [](const QString& p, int n) { PhotoOrientationRotator::rotateClockwise90(p, n); },
                              nullptr, first.kept);
        for (int i = 0; i < 3; ++i)
            writer.turn(root + "/IMG_3.TIF");
    }
    // The same lookup order gives every file its old number: only the turn tells the turned photo apart.
    expect(plugIn(false), "mounted again");
    {
        Session second(cache);
        const MediaItems items = second.scan(root);
        expect(second.probe->photoReads == 1, "after a replug only the turned photo is read again");
        expect(second.showsTurned(items, 40) && second.showsTurned(items, 60), "turned at every size after a replug");
        expect(second.thumbnails.decodesStarted() == 2, "only the turned photo's thumbnails are decoded again");
    }
    // Another lookup order gives every file another number.
    expect(plugIn(true), "mounted again");
    {
        Session third(cache);
        const MediaItems items = third.scan(root);
        expect(items.size() == 6 && third.probe->photoReads == 0, "a replugged drive's photos are not opened again");
        expect(third.showsTurned(items, 40) && third.showsTurned(items, 60), "turned after a second replug");
        expect(third.thumbnails.decodesStarted() == 0, "no thumbnail decoded after a replug");
    }
    ::umount2(mountPoint.c_str(), 0);
    std::system(("losetup -d " + device).c_str());
    return failures == 0 ? 0 : 1;
}

// A drive plugged in again (FAT and exFAT number their files anew at each mount) is known again:
// no photo is read and no thumbnail decoded again, and a photo turned as the program quit shows
// turned.
TEST(ScanDriveFaults, ReplugKeepsScansAndThumbnailsAndTurnsOnFatAndExfat)
{
    TESS_SKIP_WITHOUT_UNSHARE();
    int ran = 0;
    for (const std::string kind : {"exfat", "vfat"}) {
        QTemporaryDir dir;
        const std::string image = dir.filePath("drive.img").toStdString(), mountPoint = dir.filePath("mnt").toStdString();
        QDir().mkpath(QString::fromStdString(mountPoint));
        const bool made = std::system(("truncate -s 64M " + image + " && mkfs." + kind + " " + image + " >/dev/null 2>&1").c_str()) == 0;
        const tess::testing::ExitStatus status = made ? tess::testing::ChildProcess("replugDrive",
            {.pidNamespace = true, .arguments = {image, kind, mountPoint, dir.filePath("cache").toStdString()}}).wait()
                                                      : tess::testing::ExitStatus{true, 77, 0};
        if (status == tess::testing::ExitStatus{true, 77, 0}) {
            std::fprintf(stderr, "SKIPPED LOUDLY: no %s drive here (mkfs.%s, a loop device, FUSE or the driver)\n",
                         kind.c_str(), kind.c_str());
            continue;
        }
        ++ran;
        EXPECT_EQ(status, (tess::testing::ExitStatus{true, 0, 0})) << kind;
    }
    if (ran == 0)
        GTEST_SKIP() << "neither exFAT nor FAT could be mounted here";
}
