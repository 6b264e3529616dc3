#include "app/platform/volumes/LinuxBookmarkService.h"
#include "app/platform/volumes/LinuxMountTable.h"
#include "app/platform/volumes/MountInfoVolumeMonitor.h"
#include "app/services/library/LibraryStore.h"

#include "support/app/QtPrinters.h"

#include "support/app/Wait.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace app;
using app::test::waitFor;

namespace {

// A real mount and unmount, inside a private mount namespace of this test process only.
TEST(MountInfoVolumeMonitor, StoreFollowsARealMountAndUnmount)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "SKIPPED LOUDLY: mounting tmpfs needs root (run the tests as root to cover volume events)";
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "SKIPPED LOUDLY: no private mount namespace available here: " << std::strerror(errno);

    QTemporaryDir dir;
    const QString point = dir.filePath("drive");
    const QString library = point + "/Photos";
    ASSERT_TRUE(QDir().mkpath(point));
    const QByteArray pointBytes = QFile::encodeName(point);
    ASSERT_EQ(::mount("tessivarnholm-test", pointBytes.constData(), "tmpfs", 0, "size=1m"), 0);
    ASSERT_TRUE(QDir().mkpath(library));

    LinuxMountTable mounts;
    LinuxBookmarkService bookmarks(mounts);
    MountInfoVolumeMonitor volumes(nullptr, "/proc/self/mountinfo", 200);
    ASSERT_TRUE(volumes.isWatching());
    LibraryStore store({&bookmarks, &volumes, nullptr, nullptr}, dir.filePath("store"));
    const auto added = store.addLibrary(library, "U 盘");
    ASSERT_TRUE(added);
    // Folders are checked on worker threads: the first answer comes a moment later.
    ASSERT_TRUE(waitFor([&] { return store.resolvedURL(*added) == std::optional<QString>(library); }));
    // The whole drive as a library: its mount point stays behind, empty, after the unmount.
    const auto wholeDrive = store.addLibrary(point, "整个 U 盘");
    ASSERT_TRUE(wholeDrive);
    ASSERT_TRUE(waitFor([&] { return store.resolvedURL(*wholeDrive) == std::optional<QString>(point); }));

    ASSERT_EQ(::umount2(pointBytes.constData(), 0), 0);
    ASSERT_TRUE(waitFor([&] { return !store.isAvailable(*added) && !store.isAvailable(*wholeDrive); }, 5000));

    ASSERT_EQ(::mount("tessivarnholm-test", pointBytes.constData(), "tmpfs", 0, "size=1m"), 0);
    ASSERT_TRUE(QDir().mkpath(library));
    ASSERT_TRUE(waitFor([&] { return store.isAvailable(*added) && store.isAvailable(*wholeDrive); }, 5000));
    ::umount2(pointBytes.constData(), MNT_DETACH);
}

} // namespace
