#include "app/services/library/MediaScanner.h"

#include "support/NamespaceSandbox.h"
#include "support/app/TiffBytes.h"

#include <gtest/gtest.h>

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
