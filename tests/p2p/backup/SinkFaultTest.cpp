// The sink under real faults, each in a process of its own: a full disk (a small tmpfs), a
// read-only volume, a case-insensitive volume (exFAT through FUSE), and SIGKILL at random
// moments of a backup. The namespaced children mount what they need where only they see it.

#include "p2p/backup/BackupFolderLayout.h"
#include "p2p/backup/FileSystemAssetSink.h"
#include "p2p/backup/SinkThread.h"
#include "support/NamespaceSandbox.h"
#include "support/p2p/SessionHarness.h"

#include "NameCollisionCases.h"
#include "SinkTestSupport.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <cstdio>
#include <random>
#include <set>
#include <thread>

using namespace p2p;
using namespace p2p::testing;
using tess::testing::ChildOptions;
using tess::testing::ChildProcess;
using tess::testing::ExitStatus;
namespace fs = std::filesystem;

namespace {

const std::string deviceFolder = "Kalvenstroud_测试手机";

// The bytes of one file of a test asset, the same in every process.
Bytes contentOf(const AssetDescriptor& asset, std::int64_t index)
{
    const std::size_t size = static_cast<std::size_t>(asset.files.at(static_cast<std::size_t>(index)).byteCount);
    return FakePhone::patternBytes(size, static_cast<std::uint8_t>(std::hash<std::string>()(asset.assetID) + index));
}

struct BackupOutcome {
    std::string scriptError;
    std::vector<std::string> events;
    std::optional<std::string> failure; // the failed event's text
    std::set<std::string> skipped;
};

// One whole backup of `assets` from the test phone through the session into the sink.
BackupOutcome runBackup(const fs::path& library, const std::vector<AssetDescriptor>& assets,
    FileSystemSinkEnvironment environment = {})
{
    SinkThread worker;
    SessionHarness::Options options;
    options.sink = std::make_shared<FileSystemAssetSink>(worker.executor(), library, environment);
    SessionHarness h(options);
    BackupOutcome outcome;
    outcome.scriptError = h.run([&](FakePhone& phone) -> asio::awaitable<void> {
        co_await phone.greet();
        const Uuid sessionID = Uuid::random();
        const std::vector<SkipListBatch> batches = co_await phone.offer(sessionID, assets);
        for (const SkipListBatch& batch : batches)
            outcome.skipped.insert(batch.assetIDs.begin(), batch.assetIDs.end());
        for (const AssetDescriptor& asset : assets) {
            if (outcome.skipped.count(asset.assetID))
                continue;
            for (std::size_t i = 0; i < asset.files.size(); ++i) {
                FakeFile file;
                file.assetID = asset.assetID;
                file.fileIndex = static_cast<std::int64_t>(i);
                file.filename = asset.files[i].filename;
                file.bytes = contentOf(asset, file.fileIndex);
                file.chunkByteCount = 64 * 1024;
                co_await phone.sendFile(std::move(file));
            }
        }
        co_await phone.end();
    });
    outcome.events = h.events.names();
    if (const auto failed = h.events.last<ReceiveEvent::Failed>())
        outcome.failure = failed->message;
    return outcome;
}

// A child reports what went wrong on stderr and in its exit code.
int childResult(const std::vector<std::string>& problems)
{
    for (const std::string& problem : problems)
        std::fprintf(stderr, "child: %s\n", problem.c_str());
    return problems.empty() ? 0 : 1;
}

std::vector<std::string> partialsUnder(const fs::path& root)
{
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.path().filename().string().ends_with(".part"))
            found.push_back(entry.path().string());
    }
    return found;
}

// MARK: - The crash run's assets: photos, live photos and videos of a few hundred KiB.

std::vector<AssetDescriptor> crashAssets()
{
    std::vector<AssetDescriptor> assets;
    for (int i = 0; i < 9; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%04d", i);
        const std::string id = "CRASH-" + std::string(number);
        const std::int64_t size = 40'000 + i * 7'000;
        if (i % 3 == 0)
            assets.push_back(FakePhone::photo(id, "IMG_" + std::string(number) + ".JPG", size));
        else if (i % 3 == 1)
            assets.push_back(FakePhone::livePhoto(id, "IMG_" + std::string(number) + ".HEIC", size,
                "IMG_" + std::string(number) + "_video.mp4", size * 2));
        else
            assets.push_back(FakePhone::video(id, "VID_" + std::string(number) + ".MP4", size * 3));
    }
    return assets;
}

// Where each file of an asset must end up, relative to the backup folder, and its CRC-32.
std::map<std::string, std::uint32_t> expectedFiles(const AssetDescriptor& asset)
{
    std::map<std::string, std::uint32_t> files;
    const std::string folder = asset.kind == AssetKind::video ? "Videos/" : "Photos/";
    const std::string still = asset.files[0].filename;
    files[folder + still] = CRC32::value(contentOf(asset, 0));
    if (asset.kind == AssetKind::livePhoto)
        files[folder + still.substr(0, still.rfind('.')) + ".MOV"] = CRC32::value(contentOf(asset, 1));
    return files;
}

// Every recorded asset's files are there, whole, under their own names. Returns the recorded IDs.
std::set<std::string> checkRecordedAssets(const fs::path& root, const std::vector<AssetDescriptor>& assets)
{
    std::set<std::string> recorded;
    if (!fs::exists(root / ".backupdb" / "backup_records.sqlite"))
        return recorded;
    const std::map<std::string, std::uint32_t> onDisk = filesUnder(root);
    for (const IndexRow& row : indexRows(root)) {
        const auto asset = std::find_if(assets.begin(), assets.end(), [&](const AssetDescriptor& a) { return a.assetID == row.id; });
        if (asset == assets.end()) {
            ADD_FAILURE() << "unknown row " << row.id;
            continue;
        }
        recorded.insert(row.id);
        const std::map<std::string, std::uint32_t> expected = expectedFiles(*asset);
        EXPECT_EQ(row.path, (root / expected.begin()->first).string()) << row.id;
        EXPECT_EQ(row.size, asset->declaredByteCount()) << row.id;
        for (const auto& [path, crc] : expected) {
            const auto found = onDisk.find(path);
            EXPECT_TRUE(found != onDisk.end() && found->second == crc) << row.id << ": " << path << " missing or damaged";
        }
    }
    return recorded;
}

} // namespace

TESS_CHILD_BODY(sinkBackup)
{
    // arguments: library folder [, file to list the skipped assets in]
    const BackupOutcome outcome = runBackup(arguments.at(0), crashAssets());
    std::vector<std::string> problems;
    if (!outcome.scriptError.empty() || outcome.failure)
        problems.push_back("backup failed: " + outcome.scriptError + " " + outcome.failure.value_or(""));
    if (arguments.size() > 1) {
        std::ofstream report(arguments[1]);
        for (const std::string& id : outcome.skipped)
            report << id << "\n";
    }
    return childResult(problems);
}

TESS_CHILD_BODY(sinkDiskFull)
{
    // arguments: an empty folder to mount a 2 MiB tmpfs on (in this child's own mount namespace)
    const fs::path mountPoint = arguments.at(0);
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=2m") != 0)
        return childResult({std::string("mount tmpfs: ") + std::strerror(errno)});
    const std::vector<AssetDescriptor> assets
        = {FakePhone::photo("SMALL", "SMALL.JPG", 400'000), FakePhone::photo("LARGE", "LARGE.JPG", 3'000'000)};
    const BackupOutcome outcome = runBackup(mountPoint, assets);
    const fs::path root = mountPoint / deviceFolder;
    std::vector<std::string> problems;
    if (outcome.failure != "电脑空间不足")
        problems.push_back("failure text: " + outcome.failure.value_or("none"));
    if (!partialsUnder(mountPoint).empty())
        problems.push_back("a partial file is left: " + partialsUnder(mountPoint).front());
    const std::map<std::string, std::uint32_t> files = filesUnder(root / "Photos");
    if (files != std::map<std::string, std::uint32_t>{{"SMALL.JPG", CRC32::value(contentOf(assets[0], 0))}})
        problems.push_back("the files stored before the disk filled are not intact");
    const std::vector<IndexRow> rows = indexRows(root);
    if (rows.size() != 1 || rows[0].id != "SMALL")
        problems.push_back("the index lost or gained rows");
    ::umount(mountPoint.c_str());
    return childResult(problems);
}

TESS_CHILD_BODY(sinkReadOnly)
{
    // arguments: a library folder, made read-only here by a bind mount only this child sees
    const fs::path library = arguments.at(0);
    if (::mount(library.c_str(), library.c_str(), nullptr, MS_BIND, nullptr) != 0
        || ::mount(nullptr, library.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
        return childResult({std::string("read-only bind mount: ") + std::strerror(errno)});
    const BackupOutcome outcome = runBackup(library, {FakePhone::photo("NEW", "NEW.JPG", 1000)});
    std::vector<std::string> problems;
    if (outcome.failure != "没有写入权限")
        problems.push_back("failure text: " + outcome.failure.value_or("none"));
    ::umount(library.c_str());
    return childResult(problems);
}

TESS_CHILD_BODY(sinkDrivePulled)
{
    // arguments: a scratch folder. Each library (or new library's parent, or a new library that is
    // the drive's mount folder itself) is a tmpfs mount point, unmounted while the receive waits,
    // detached between two files, or swapped for another drive mounted at the same folder: before
    // the first file, or between the check and the making of the folders (as the new library is
    // registered), for an empty drive or one holding this phone's backup folder.
    const std::string gone = "找不到「旅行」的文件夹，移动硬盘可能没有连接。";
    const DeviceInfo peer {"测试手机", {}, {}, "PHONE"};
    const AssetDescriptor first = FakePhone::photo("A", "A.JPG", 1000), second = FakePhone::photo("B", "B.JPG", 1000);
    enum class Library { existing, newInside, newIsMountPoint };
    enum class Drive { pulled, pulledAfterFirstFile, swapped, swappedAsRegistered, swappedForItsBackup, inPlace };
    struct Case {
        const char* name;
        Library library;
        Drive drive;
    };
    std::vector<std::string> problems;
    for (const Case c : {Case {"existing library", Library::existing, Drive::pulled},
             Case {"new library's parent", Library::newInside, Drive::pulled},
             Case {"existing library, after the first file", Library::existing, Drive::pulledAfterFirstFile},
             Case {"new library that is the mount point", Library::newIsMountPoint, Drive::pulled},
             Case {"new library that is the mount point, drive in place", Library::newIsMountPoint, Drive::inPlace},
             Case {"another drive at the library's folder", Library::existing, Drive::swapped},
             Case {"another drive at the new library's parent", Library::newInside, Drive::swapped},
             Case {"another drive at the new library's folder as it is registered", Library::newIsMountPoint,
                 Drive::swappedAsRegistered},
             Case {"another drive with this phone's folder, as the library is registered", Library::newIsMountPoint,
                 Drive::swappedForItsBackup}}) {
        const fs::path mountPoint = fs::path(arguments.at(0)) / c.name / "旅行";
        fs::create_directories(mountPoint);
        if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=4m") != 0)
            return childResult({std::string("mount tmpfs: ") + std::strerror(errno)});
        SinkDriver driver;
        std::shared_ptr<FileSystemAssetSink> sink;
        if (c.library == Library::existing)
            sink = std::make_shared<FileSystemAssetSink>(driver.worker.executor(), mountPoint);
        else if (c.library == Library::newInside)
            sink = std::make_shared<FileSystemAssetSink>(driver.worker.executor(), mountPoint, "旅行", nullptr);
        else
            sink = std::make_shared<FileSystemAssetSink>(driver.worker.executor(), mountPoint.parent_path(), "旅行",
                [&](const fs::path&) {
                    if (c.drive != Drive::swappedAsRegistered && c.drive != Drive::swappedForItsBackup)
                        return;
                    ::umount2(mountPoint.c_str(), MNT_DETACH);
                    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=4m") != 0)
                        problems.push_back(std::string("mount the other tmpfs: ") + std::strerror(errno));
                    for (const char* folder : {"Photos", "Videos", ".backupdb"}) {
                        if (c.drive == Drive::swappedForItsBackup)
                            fs::create_directories(mountPoint / deviceFolder / folder);
                    }
                });
        sink->setLibraryName("旅行");
        std::optional<std::string> failure;
        try {
            if (c.drive == Drive::pulled || c.drive == Drive::swapped)
                ::umount(mountPoint.c_str());
            if (c.drive == Drive::swapped && ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=4m") != 0)
                return childResult({std::string("mount the other tmpfs: ") + std::strerror(errno)});
            driver.prepare(*sink, peer);
            driver.store(*sink, first, 0, Bytes(1000, 1));
            if (c.drive == Drive::pulledAfterFirstFile)
                ::umount2(mountPoint.c_str(), MNT_DETACH);
            driver.store(*sink, second, 0, Bytes(1000, 2));
        } catch (const AssetSinkError& error) {
            failure = error.description();
        }
        if (c.drive == Drive::inPlace) {
            const fs::path stored = (c.library == Library::newIsMountPoint ? mountPoint : mountPoint / "旅行") / deviceFolder
                / "Photos";
            if (failure || !fs::exists(stored / "A.JPG") || !fs::exists(stored / "B.JPG"))
                problems.push_back(std::string(c.name) + ": not received, failure " + failure.value_or("none"));
        } else {
            if (failure != gone)
                problems.push_back(std::string(c.name) + ": failure " + failure.value_or("none"));
            // The system disk's empty mount point, or the other drive as it was.
            std::set<fs::path> found;
            for (const auto& entry : fs::recursive_directory_iterator(mountPoint))
                found.insert(fs::relative(entry.path(), mountPoint));
            const std::set<fs::path> itsBackup = {deviceFolder, fs::path(deviceFolder) / "Photos",
                fs::path(deviceFolder) / "Videos", fs::path(deviceFolder) / ".backupdb"};
            if (found != (c.drive == Drive::swappedForItsBackup ? itsBackup : std::set<fs::path>{}))
                problems.push_back(std::string(c.name) + ": written where the drive was");
        }
        ::umount(mountPoint.c_str());
    }
    return childResult(problems);
}

// Runs a shell command and gives back its first line of output, or none when it failed.
std::optional<std::string> commandOutput(const std::string& command)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return std::nullopt;
    char line[512] = {};
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    if (::pclose(pipe) != 0 || !read)
        return std::nullopt;
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

TESS_CHILD_BODY(sinkExfat)
{
    // arguments: an exFAT image, an empty folder to mount it on. exfat-fuse wants a block device.
    const fs::path image = arguments.at(0);
    const fs::path mountPoint = arguments.at(1);
    const std::optional<std::string> device = commandOutput("losetup --find --show " + image.string() + " 2>/dev/null");
    if (!device)
        return 77;
    if (std::system(("mount.exfat-fuse " + *device + " " + mountPoint.string() + " >/dev/null 2>&1").c_str()) != 0) {
        std::system(("losetup -d " + *device).c_str());
        return 77;
    }
    const AssetDescriptor upper = FakePhone::photo("UPPER", "IMG_0001.JPG", 5000);
    const AssetDescriptor lower = FakePhone::photo("LOWER", "img_0001.jpg", 6000);
    const BackupOutcome first = runBackup(mountPoint, {upper});
    const BackupOutcome second = runBackup(mountPoint, {upper, lower});
    std::vector<std::string> problems;
    if (first.failure || second.failure)
        problems.push_back("backup failed: " + first.failure.value_or("") + second.failure.value_or(""));
    const fs::path photos = mountPoint / deviceFolder / "Photos";
    const std::map<std::string, std::uint32_t> expected = {
        {"IMG_0001.JPG", CRC32::value(contentOf(upper, 0))}, {"img_0001_2.jpg", CRC32::value(contentOf(lower, 0))}};
    if (filesUnder(photos) != expected)
        problems.push_back("names differing only in case replaced one another");
    if (second.skipped != std::set<std::string>{"UPPER"})
        problems.push_back("the index on exFAT did not remember the first backup");
    // Device names exFAT would refuse as they stand, and a second phone of an overlong name.
    for (const std::string& name : {std::string("tab\there\x01"), std::string(300, 'L')}) {
        try {
            const fs::path first = BackupFolderLayout::resolveBackupRoot(mountPoint, DeviceInfo{name, {}, {}, "ONE"});
            const fs::path second = BackupFolderLayout::resolveBackupRoot(mountPoint, DeviceInfo{name, {}, {}, "TWO"});
            if (first == second)
                problems.push_back("two phones share one folder");
        } catch (const std::exception& error) {
            problems.push_back(std::string("device folder: ") + error.what());
        }
    }
    // Every naming rule holds where the volume itself folds case.
    int caseNumber = 0;
    for (const NameCollisionCase& c : nameCollisionCases()) {
        const fs::path library = mountPoint / ("names-" + std::to_string(++caseNumber));
        fs::create_directories(library);
        const NameOutcome outcome = runNameCollisionCase(c, library, {});
        if (outcome.files != expectedOutcome(c).files || outcome.rows != expectedOutcome(c).rows) {
            std::string found;
            for (const auto& [name, crc] : outcome.files)
                found += " " + name;
            problems.push_back(std::string(c.name) + ": stored" + found);
        }
    }
    std::system(("umount " + mountPoint.string() + " && losetup -d " + *device).c_str());
    return childResult(problems);
}

TESS_CHILD_BODY(sinkFileTooLarge)
{
    // arguments: a library folder. Files over 1 MiB are refused here, as a FAT32 volume refuses
    // files of 4 GiB: EFBIG, which is no full disk.
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit {1 << 20, 1 << 20};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
        return childResult({std::string("setrlimit: ") + std::strerror(errno)});
    const fs::path library = arguments.at(0);
    const BackupOutcome outcome = runBackup(library, {FakePhone::video("HUGE", "HUGE.MOV", 2'000'000)});
    std::vector<std::string> problems;
    if (outcome.failure != "写入失败，请重试")
        problems.push_back("failure text: " + outcome.failure.value_or("none"));
    if (!partialsUnder(library).empty())
        problems.push_back("a partial file is left: " + partialsUnder(library).front());
    return childResult(problems);
}

TEST(SinkFaults, FileTooLargeForTheVolumeIsAWriteFailureNotAFullDisk)
{
    TempFolder library;
    ChildProcess child("sinkFileTooLarge", ChildOptions{.arguments = {library.path().string()}});
    EXPECT_EQ(child.wait(), (ExitStatus{true, 0, 0}));
    EXPECT_TRUE(fs::is_directory(library / deviceFolder / "Videos"));
}

TEST(SinkFaults, FullDiskFailsTheFileAndKeepsWhatWasStored)
{
    TESS_SKIP_WITHOUT_UNSHARE();
    TempFolder temp;
    fs::create_directories(temp / "mnt");
    ChildProcess child("sinkDiskFull", ChildOptions{.mountNamespace = true, .arguments = {(temp / "mnt").string()}});
    EXPECT_EQ(child.wait(), (ExitStatus{true, 0, 0}));
}

TEST(SinkFaults, ReadOnlyVolumeFailsWithThePermissionText)
{
    TESS_SKIP_WITHOUT_UNSHARE();
    struct Case {
        const char* name;
        bool earlierBackup;
    };
    for (const Case c : {Case{"empty library", false}, Case{"library with an earlier backup", true}}) {
        SCOPED_TRACE(c.name);
        TempFolder library;
        const AssetDescriptor earlier = FakePhone::photo("OLD", "OLD.JPG", 1000);
        if (c.earlierBackup) {
            ASSERT_FALSE(runBackup(library.path(), {earlier}).failure);
        }
        const std::map<std::string, std::uint32_t> before = filesUnder(library.path());
        ChildProcess child("sinkReadOnly", ChildOptions{.mountNamespace = true, .arguments = {library.path().string()}});
        EXPECT_EQ(child.wait(), (ExitStatus{true, 0, 0}));
        EXPECT_EQ(filesUnder(library.path()), before);
    }
}

// A library folder (or a new library's parent, or a new library that is the drive's folder itself)
// that is a drive's mount point: once the drive is gone it is an empty folder of the system disk,
// and the next drive mounted there may be another; nothing may land on either.
TEST(SinkFaults, APulledDriveLeavesNothingUnderItsMountPoint)
{
    TESS_SKIP_WITHOUT_UNSHARE();
    TempFolder temp;
    ChildProcess child("sinkDrivePulled", ChildOptions{.mountNamespace = true, .arguments = {temp.path().string()}});
    EXPECT_EQ(child.wait(), (ExitStatus{true, 0, 0}));
}

TEST(SinkFaults, ExfatKeepsEveryFileUnderItsOwnName)
{
    TESS_SKIP_WITHOUT_UNSHARE();
    if (!fs::exists("/dev/fuse") || std::system("command -v mkfs.exfat >/dev/null && command -v mount.exfat-fuse >/dev/null") != 0)
        GTEST_SKIP() << "exFAT needs /dev/fuse, mkfs.exfat and mount.exfat-fuse (exfatprogs, exfat-fuse)";
    TempFolder temp;
    const fs::path image = temp / "volume.img";
    fs::create_directories(temp / "mnt");
    ASSERT_EQ(std::system(("truncate -s 32M " + image.string() + " && mkfs.exfat " + image.string() + " >/dev/null").c_str()), 0);
    ChildProcess child("sinkExfat",
        ChildOptions{.mountNamespace = true, .arguments = {image.string(), (temp / "mnt").string()}});
    const ExitStatus status = child.wait();
    if (status == ExitStatus{true, 77, 0})
        GTEST_SKIP() << "no loop device, or mount.exfat-fuse refused to mount one here";
    EXPECT_EQ(status, (ExitStatus{true, 0, 0}));
}

TEST(SinkFaults, KilledAtRandomMomentsTheNextBackupCompletesWithoutCopies)
{
    const char* fixedSeed = std::getenv("TESS_CRASH_SEED");
    const unsigned seed = fixedSeed ? static_cast<unsigned>(std::strtoul(fixedSeed, nullptr, 10)) : std::random_device()();
    std::printf("crash test seed %u (TESS_CRASH_SEED=%u repeats it)\n", seed, seed);
    std::mt19937 random(seed);
    const std::vector<AssetDescriptor> assets = crashAssets();
    std::map<std::string, std::uint32_t> allFiles;
    for (const AssetDescriptor& asset : assets)
        allFiles.merge(expectedFiles(asset));
    TempFolder temp;

    // How long a whole backup takes here, so the kills spread over all of it.
    fs::create_directories(temp / "calibration"); // a library folder is never made by a backup
    const auto started = std::chrono::steady_clock::now();
    {
        ChildProcess whole("sinkBackup", ChildOptions{.arguments = {(temp / "calibration").string()}});
        ASSERT_EQ(whole.wait(), (ExitStatus{true, 0, 0}));
    }
    const auto wholeRun = std::chrono::steady_clock::now() - started;

    constexpr int runCount = 50;
    int killedMidway = 0;
    int assetsChecked = 0;
    // Up to a little before the end: a backup that finishes before the kill tests nothing.
    std::uniform_int_distribution<std::int64_t> moment(
        0, std::chrono::duration_cast<std::chrono::microseconds>(wholeRun).count() * 85 / 100);
    for (int run = 0; run < runCount; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const fs::path library = temp / ("run" + std::to_string(run));
        fs::create_directories(library);
        const fs::path root = library / deviceFolder;
        {
            ChildProcess doomed("sinkBackup", ChildOptions{.arguments = {library.string()}});
            std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
            doomed.kill(SIGKILL);
            killedMidway += doomed.wait().signal == SIGKILL ? 1 : 0;
        }
        const std::set<std::string> recorded = checkRecordedAssets(root, assets);
        assetsChecked += static_cast<int>(recorded.size());

        // A fresh process backs up again: it must skip exactly what was recorded.
        const fs::path report = temp / ("report" + std::to_string(run));
        {
            ChildProcess again("sinkBackup", ChildOptions{.arguments = {library.string(), report.string()}});
            ASSERT_EQ(again.wait(), (ExitStatus{true, 0, 0}));
        }
        std::set<std::string> skipped;
        std::ifstream lines(report);
        for (std::string id; std::getline(lines, id);)
            skipped.insert(id);
        EXPECT_EQ(skipped, recorded);
        EXPECT_EQ(checkRecordedAssets(root, assets).size(), assets.size());
        assetsChecked += static_cast<int>(assets.size());
        std::map<std::string, std::uint32_t> stored = filesUnder(root);
        std::erase_if(stored, [](const auto& entry) { return entry.first.front() == '.'; }); // marker, index
        EXPECT_EQ(stored, allFiles); // no partials, no "_2" copies, nothing missing
    }
    std::printf("crash test: seed %u, %d runs, %d killed mid-backup, %d recorded assets checked\n", seed, runCount,
        killedMidway, assetsChecked);
}
