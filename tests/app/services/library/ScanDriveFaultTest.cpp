#include "app/platform/decoding/ImageDecoder.h"
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

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
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
    if (::access("/dev/fuse", R_OK | W_OK) != 0
        || std::system("command -v mkfs.exfat >/dev/null && command -v mount.exfat-fuse >/dev/null") != 0)
        GTEST_SKIP() << "a killed FUSE drive needs /dev/fuse, mkfs.exfat and mount.exfat-fuse (exfatprogs, exfat-fuse)";
    QTemporaryDir dir;
    const std::string image = dir.filePath("drive.img").toStdString();
    const std::string mountPoint = dir.filePath("mnt").toStdString();
    QDir().mkpath(QString::fromStdString(mountPoint));
    ASSERT_EQ(std::system(("truncate -s 96M " + image + " && mkfs.exfat " + image + " >/dev/null 2>&1").c_str()), 0);
    tess::testing::ChildProcess child("scanWhileTheDriveDies",
                                      {.pidNamespace = true, .arguments = {image, mountPoint, "300"}});
    const tess::testing::ExitStatus status = child.wait();
    if (status == tess::testing::ExitStatus{true, 77, 0})
        GTEST_SKIP() << "exFAT could not be mounted here (loop devices or FUSE refused)";
    EXPECT_EQ(status, (tess::testing::ExitStatus{true, 0, 0}));
}

namespace {

// A drive mounted as the user's desktop would: exFAT through FUSE or FAT through the kernel.
class Drive {
public:
    Drive(std::string kind, std::string device, std::string mountPoint)
        : kind_(std::move(kind)), device_(std::move(device)), mountPoint_(std::move(mountPoint))
    {
    }
    bool mount()
    {
        if (kind_ == "exfat") {
            daemon_ = mountExfat(device_, mountPoint_);
            return daemon_ > 0;
        }
        return ::mount(device_.c_str(), mountPoint_.c_str(), "vfat", 0, nullptr) == 0;
    }
    void unmount()
    {
        ::umount2(mountPoint_.c_str(), 0);
        if (daemon_ > 0)
            ::waitpid(daemon_, nullptr, 0);
        daemon_ = -1;
    }

private:
    std::string kind_, device_, mountPoint_;
    pid_t daemon_ = -1;
};

// One start of the program over the drive: its kept scans and thumbnails in `cache`.
struct Session {
    std::shared_ptr<test::FakeMediaProbe> probe = std::make_shared<test::FakeMediaProbe>();
    std::shared_ptr<KeptScans> kept;
    std::unique_ptr<ThumbnailProvider> thumbnails;

    explicit Session(const QString& cache) : kept(std::make_shared<KeptScans>(cache + "/scans"))
    {
        ThumbnailProvider::Options options;
        options.diskCacheDirectory = cache + "/thumbnails";
        thumbnails = std::make_unique<ThumbnailProvider>(makeMediaImageDecoder(), options);
    }
    ~Session()
    {
        thumbnails->waitForIdle();
        kept->waitForWrites();
    }
    MediaItems scan(const QString& root)
    {
        MediaFolderScanner scanner(kept, MediaScanner(probe));
        return scanner.scan(root, {}, CancellationToken());
    }
    // The grid's thumbnails of every item at one size, by file name.
    QHash<QString, QImage> look(const MediaItems& items, double pointSize = 40)
    {
        QHash<QString, QImage> images;
        QObject context;
        for (const MediaItem& item : items)
            thumbnails->thumbnail(item, pointSize, 1, &context,
                                  [&images, name = QFileInfo(item.url).fileName()](const QImage& i) { images[name] = i; });
        if (!test::waitFor([&] { return images.size() == items.size(); }))
            std::fprintf(stderr, "thumbnails missing: %lld of %lld\n", qlonglong(images.size()), qlonglong(items.size()));
        return images;
    }
};

bool portrait(const QImage& image)
{
    return !image.isNull() && image.height() > image.width();
}

} // namespace

// arguments: an empty FAT or exFAT image, its kind ("exfat" or "vfat"), a folder to mount it on and
// a cache folder. Exits 0 when a replugged drive is known again and a turned photo stays turned,
// 77 when the drive cannot be mounted here, another code (with its reason on stderr) otherwise.
TESS_CHILD_BODY(replugDrive)
{
    const std::string image = arguments.at(0), kind = arguments.at(1), mountPoint = arguments.at(2);
    const QString cache = QString::fromStdString(arguments.at(3));
    int argc = 1;
    char name[] = "replugDrive";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    const std::string device = firstLine("losetup --find --show " + image + " 2>/dev/null");
    if (device.empty())
        return 77;
    Drive drive(kind, device, mountPoint);
    if (!drive.mount())
        return 77;
    const QString root = QString::fromStdString(mountPoint) + "/DCIM";
    QDir().mkpath(root);
    QStringList names;
    for (int i = 0; i < 8; ++i) {
        names << QString::asprintf("IMG_%04d.TIF", i);
        // Its orientation tag is rewritten where it stands: the size stays, as the times do.
        if (!QFile::copy(test::fixturePath("rotation/orientation-3.tif"), root + "/" + names.back()))
            return 2;
    }
    const QString turned = root + "/IMG_0003.TIF";
    const auto replug = [&](bool reverseLookups) {
        drive.unmount();
        if (!drive.mount())
            return false;
        // Inode numbers follow the order files are first looked up in.
        QStringList order = names;
        if (reverseLookups)
            std::reverse(order.begin(), order.end());
        for (const QString& n : order) {
            struct stat st {};
            ::stat(QFile::encodeName(root + "/" + n).constData(), &st);
        }
        return true;
    };
    int failures = 0;
    const auto expect = [&](bool ok, const char* what) {
        if (!ok) {
            std::fprintf(stderr, "%s: %s\n", kind.c_str(), what);
            ++failures;
        }
    };
    if (!replug(false))
        return 3;
    {
        Session first(cache);
        const MediaItems items = first.scan(root);
        expect(items.size() == names.size() && first.probe->photoReads == int(names.size()), "first scan reads every photo");
        expect(!portrait(first.look(items).value("IMG_0003.TIF")), "the photo starts wide");
        // Another zoom level, not shown again after the turn.
        expect(!portrait(first.look(items, 60).value("IMG_0003.TIF")), "wide at every size");
        RotationWriter writer(first.thumbnails.get(), [](const QString& path, int turns) {
            PhotoOrientationRotator::rotateClockwise90(path, turns);
        }, nullptr, first.kept);
        bool written = false;
        QObject::connect(&writer, &RotationWriter::finished, [&](const QString&, const std::optional<QString>& error) {
            written = !error;
        });
        writer.turn(turned);
        expect(test::waitFor([&] { return written; }), "the turn is written");
        expect(portrait(first.look(items).value("IMG_0003.TIF")), "turned at once");
    }
    // The same lookup order gives every file its old inode number again.
    if (!replug(false))
        return 3;
    {
        Session second(cache);
        const MediaItems items = second.scan(root);
        expect(second.probe->photoReads == 1, "after a replug only the turned photo is read again");
        expect(portrait(second.look(items).value("IMG_0003.TIF")), "turned after a replug and a restart");
        expect(portrait(second.look(items, 60).value("IMG_0003.TIF")), "turned at every size");
        expect(second.thumbnails->decodesStarted() == 1, "only the size not shown since the turn is decoded again");
    }
    // Another lookup order gives every file another inode number.
    if (!replug(true))
        return 3;
    {
        Session third(cache);
        const MediaItems items = third.scan(root);
        expect(items.size() == names.size(), "every photo listed");
        expect(third.probe->photoReads == 0, "a replugged drive's photos are not opened again");
        const QHash<QString, QImage> images = third.look(items);
        const QHash<QString, QImage> larger = third.look(items, 60);
        expect(third.thumbnails->decodesStarted() == 0, "no thumbnail decoded after a replug");
        expect(portrait(images.value("IMG_0003.TIF")) && portrait(larger.value("IMG_0003.TIF"))
                   && !portrait(images.value("IMG_0004.TIF")),
               "the turned photo alone shows turned");
    }
    drive.unmount();
    std::system(("losetup -d " + device).c_str());
    return failures == 0 ? 0 : 1;
}

// A drive unplugged and plugged in again (FAT and exFAT number files anew at each mount) is known
// again: its photos are not read again and no thumbnail is decoded again, and a photo turned
// before shows turned.
TEST(ScanDriveFaults, ReplugKeepsScansAndThumbnailsAndTurnsOnFatAndExfat)
{
    TESS_SKIP_WITHOUT_UNSHARE();
    struct Row {
        const char* kind;
        const char* format;
        const char* needs;
    };
    const Row rows[] = {
        {"exfat", "mkfs.exfat", "/dev/fuse, mkfs.exfat and mount.exfat-fuse (exfatprogs, exfat-fuse)"},
        {"vfat", "mkfs.vfat", "mkfs.vfat (dosfstools) and the kernel's vfat driver"},
    };
    int ran = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.kind);
        const std::string tools = std::string("command -v ") + row.format + " >/dev/null"
            + (std::string(row.kind) == "exfat" ? " && command -v mount.exfat-fuse >/dev/null && test -w /dev/fuse" : "");
        if (std::system(tools.c_str()) != 0) {
            std::fprintf(stderr, "SKIPPED LOUDLY: the %s replug needs %s\n", row.kind, row.needs);
            continue;
        }
        QTemporaryDir dir;
        const std::string image = dir.filePath("drive.img").toStdString();
        const std::string mountPoint = dir.filePath("mnt").toStdString();
        QDir().mkpath(QString::fromStdString(mountPoint));
        ASSERT_EQ(std::system(("truncate -s 64M " + image + " && " + row.format + " " + image + " >/dev/null 2>&1").c_str()), 0);
        tess::testing::ChildProcess child(
            "replugDrive", {.pidNamespace = true, .arguments = {image, row.kind, mountPoint, dir.filePath("cache").toStdString()}});
        const tess::testing::ExitStatus status = child.wait();
        if (status == tess::testing::ExitStatus{true, 77, 0}) {
            std::fprintf(stderr, "SKIPPED LOUDLY: %s could not be mounted here (loop devices, FUSE or the driver refused)\n",
                         row.kind);
            continue;
        }
        ++ran;
        EXPECT_EQ(status, (tess::testing::ExitStatus{true, 0, 0}));
    }
    if (ran == 0)
        GTEST_SKIP() << "neither exFAT nor FAT could be mounted here";
}
