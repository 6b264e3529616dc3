#include "p2p/backup/BackupFolderLayout.h"
#include "p2p/backup/BackupIndex.h"
#include "p2p/backup/FileSystemAssetSink.h"
#include "p2p/backup/SafeFileName.h"
#include "p2p/backup/SinkThread.h"
#include "support/p2p/SessionHarness.h"

#include "IndexFaultVfs.h"
#include "NameCollisionCases.h"
#include "SinkTestSupport.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>

using namespace p2p;
using namespace p2p::testing;
namespace fs = std::filesystem;

namespace {

const Uuid sessionID = *Uuid::parse("0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F0");
const std::string deviceFolder = "Kalvenstroud_测试手机";

Bytes bytesOf(std::uint8_t seed, std::size_t count = 64)
{
    return FakePhone::patternBytes(count, seed);
}

FakeFile fakeFile(const AssetDescriptor& asset, std::int64_t index, const Bytes& bytes)
{
    FakeFile file;
    file.assetID = asset.assetID;
    file.fileIndex = index;
    file.filename = asset.files.at(static_cast<std::size_t>(index)).filename;
    file.bytes = bytes;
    file.chunkByteCount = 16;
    return file;
}

} // namespace

TEST(FileSystemAssetSink, BackupThroughTheSessionLandsAndIsSkippedNextTime)
{
    TempFolder library;
    SinkThread worker;
    const Bytes still = bytesOf(1, 100), movie = bytesOf(2, 70), clip = bytesOf(3, 130), photo = bytesOf(4, 50);
    const std::vector<AssetDescriptor> assets = {
        FakePhone::livePhoto("L", "IMG_0001.HEIC", 100, "IMG_0001_video.mp4", 70),
        FakePhone::video("V", "CLIP.MP4", 130),
        FakePhone::photo("P", "IMG_0002.JPG", 50),
    };
    auto backup = [&](bool sendFiles) {
        SessionHarness::Options options;
        options.sink = std::make_shared<FileSystemAssetSink>(worker.executor(), library.path());
        SessionHarness h(options);
        std::vector<SkipListBatch> skipped;
        const std::string error = h.run([&](FakePhone& phone) -> asio::awaitable<void> {
            co_await phone.greet();
            skipped = co_await phone.offer(sessionID, assets);
            if (sendFiles) {
                co_await phone.sendFile(fakeFile(assets[0], 0, still));
                co_await phone.sendFile(fakeFile(assets[0], 1, movie));
                co_await phone.sendFile(fakeFile(assets[1], 0, clip));
                co_await phone.sendFile(fakeFile(assets[2], 0, photo));
            }
            co_await phone.end();
        });
        EXPECT_EQ(error, "");
        EXPECT_EQ(h.events.names().back(), "finished");
        std::set<std::string> ids;
        for (const SkipListBatch& batch : skipped)
            ids.insert(batch.assetIDs.begin(), batch.assetIDs.end());
        return ids;
    };

    EXPECT_TRUE(backup(true).empty());
    const fs::path root = library / deviceFolder;
    EXPECT_EQ(filesUnder(root / "Photos"), (std::map<std::string, std::uint32_t>{{"IMG_0001.HEIC", CRC32::value(still)},
                                               {"IMG_0001.MOV", CRC32::value(movie)}, {"IMG_0002.JPG", CRC32::value(photo)}}));
    EXPECT_EQ(filesUnder(root / "Videos"), (std::map<std::string, std::uint32_t>{{"CLIP.MP4", CRC32::value(clip)}}));
    EXPECT_EQ(indexRows(root), (std::vector<IndexRow>{
                                   {"L", "IMG_0001.HEIC", 170, (root / "Photos" / "IMG_0001.HEIC").string(), 1},
                                   {"P", "IMG_0002.JPG", 50, (root / "Photos" / "IMG_0002.JPG").string(), 1},
                                   {"V", "CLIP.MP4", 130, (root / "Videos" / "CLIP.MP4").string(), 2},
                               }));
    // The phone's capture date, to the microsecond it sent.
    struct stat info {};
    ASSERT_EQ(::stat((root / "Photos" / "IMG_0001.MOV").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, 1700000000);
    EXPECT_EQ(info.st_mtim.tv_nsec, 500000000);
    EXPECT_EQ(BackupFolderLayout::readMarker(root)->deviceId, FakePhone::device().identifier);

    EXPECT_EQ(backup(false), (std::set<std::string>{"L", "V", "P"}));
}

TEST(FileSystemAssetSink, SkipsByIdentifierOrByNameWhenTheSizeMatches)
{
    TempFolder library;
    const fs::path root = BackupFolderLayout::resolveBackupRoot(library.path(), FakePhone::device());
    {
        BackupIndex index(root / ".backupdb" / "backup_records.sqlite");
        index.record("KNOWN", "A.JPG", 100, std::nullopt, (root / "Photos" / "A.JPG").string(), false);
        index.record("OTHER", "B.JPG", 200, std::nullopt, (root / "Photos" / "B.JPG").string(), false);
    }
    struct Case {
        AssetDescriptor asset;
        bool skipped;
    };
    const std::vector<Case> cases = {
        {FakePhone::photo("KNOWN", "Z.JPG", 1), true},
        {FakePhone::photo("NEW-1", "B.JPG", 200), true},
        {FakePhone::photo("NEW-2", "B.JPG", 201), false},
        {FakePhone::livePhoto("NEW-3", "B.JPG", 150, "B.MOV", 50), true}, // the asset's bytes, both files
        {FakePhone::photo("NEW-4", "b.jpg", 200), false},
        {FakePhone::photo("NEW-5", "A.JPG", 200), false},
    };
    std::vector<AssetDescriptor> manifest;
    std::unordered_set<std::string> expected;
    for (const Case& c : cases) {
        manifest.push_back(c.asset);
        if (c.skipped)
            expected.insert(c.asset.assetID);
    }
    SinkDriver driver;
    auto sink = std::make_shared<FileSystemAssetSink>(driver.worker.executor(), library.path());
    driver.prepare(*sink, FakePhone::device());
    EXPECT_EQ(driver.run(sink->existingAssetIDs(manifest)), expected);
}

TEST(FileSystemAssetSink, HostileNamesStayInsideTheBackupFolder)
{
    TempFolder temp;
    const fs::path library = temp / "library";
    fs::create_directories(library);
    const std::vector<std::string> names = {"../x", "/etc/x", "a/b", "", ".", "..", std::string("n\0ul.jpg", 8),
        std::string(300, 'L') + ".JPG", "a:b", "x.part", "Case.JPG", "case.jpg"};
    SinkDriver driver;
    auto sink = std::make_shared<FileSystemAssetSink>(driver.worker.executor(), library);
    driver.prepare(*sink, FakePhone::device());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const AssetDescriptor asset = FakePhone::photo("H" + std::to_string(i), names[i], 8);
        driver.store(*sink, asset, 0, bytesOf(static_cast<std::uint8_t>(i), 8));
    }
    driver.run(sink->finishSession(sessionID, SessionEnd::Reason::completed));

    std::set<std::string> stored;
    for (const auto& [path, crc] : filesUnder(temp.path())) {
        if (path.rfind("library/" + deviceFolder + "/Photos/", 0) == 0)
            stored.insert(path.substr(("library/" + deviceFolder + "/Photos/").size()));
        else
            EXPECT_TRUE(path.rfind("library/" + deviceFolder + "/.", 0) == 0) << "written outside: " << path;
    }
    EXPECT_EQ(stored, (std::set<std::string>{"x", "x_2", "b", "H3_0", "H4_0", "H5_0", "n_ul.jpg",
                          std::string(246, 'L') + ".JPG", "a_b", "x.part_", "Case.JPG", "case.jpg"}));
    EXPECT_EQ(indexRows(library / deviceFolder).size(), names.size());
}

TEST(FileSystemAssetSink, NameCollisionsNeverReplaceAnotherFile)
{
    for (const NameCollisionCase& c : nameCollisionCases()) {
        SCOPED_TRACE(c.name);
        TempFolder library;
        FileSystemSinkEnvironment environment;
        if (c.caseInsensitive) {
            environment.nameTaken = [](const fs::path& folder, const std::string& name) {
                for (const auto& entry : fs::directory_iterator(folder)) {
                    if (asciiFolded(entry.path().filename().string()) == asciiFolded(name))
                        return true;
                }
                return false;
            };
        }
        const NameOutcome outcome = runNameCollisionCase(c, library.path(), environment);
        EXPECT_EQ(outcome.files, expectedOutcome(c).files);
        EXPECT_EQ(outcome.rows, expectedOutcome(c).rows);
    }
}

TEST(FileSystemAssetSink, NewLibraryFolderAppearsWithTheFirstFile)
{
    struct Case {
        const char* name;
        std::function<void(const fs::path& folder)> arrange;
        std::string failure; // the first file's error, "" when it is stored
    };
    const std::vector<Case> cases = {
        {"nothing there yet", [](const fs::path&) {}, ""},
        {"a folder of that name is reused", [](const fs::path& folder) { fs::create_directories(folder); }, ""},
        {"a file of that name", [](const fs::path& folder) { writeTextFile(folder, "x"); },
            "目标位置已有同名文件，请换一个图库名称"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder parent;
        const fs::path folder = parent / "新图库";
        c.arrange(folder);
        const bool existedBefore = fs::exists(folder);
        std::vector<fs::path> materialized;
        std::vector<std::optional<fs::path>> roots;
        SinkDriver driver;
        auto sink = std::make_shared<FileSystemAssetSink>(driver.worker.executor(), parent.path(), "新图库",
            [&](const fs::path& made) { materialized.push_back(made); });
        sink->setBackupRootHandler([&](const std::optional<fs::path>& root) { roots.push_back(root); });

        driver.prepare(*sink, FakePhone::device());
        const AssetDescriptor asset = FakePhone::photo("A", "IMG_1.JPG", 64);
        EXPECT_TRUE(driver.run(sink->existingAssetIDs({asset})).empty());
        EXPECT_EQ(fs::exists(folder), existedBefore);
        EXPECT_TRUE(materialized.empty());

        try {
            driver.store(*sink, asset, 0, bytesOf(1));
            EXPECT_EQ(c.failure, "");
            EXPECT_EQ(materialized, std::vector<fs::path>{folder});
            EXPECT_EQ(roots, (std::vector<std::optional<fs::path>>{std::nullopt, folder / deviceFolder}));
            EXPECT_TRUE(fs::is_regular_file(folder / deviceFolder / "Photos" / "IMG_1.JPG"));
        } catch (const AssetSinkError& error) {
            EXPECT_EQ(error.kind(), AssetSinkError::Kind::writeFailed);
            EXPECT_EQ(error.userMessage(), c.failure);
            EXPECT_TRUE(materialized.empty());
        }
    }
}

TEST(FileSystemAssetSink, CallsOutOfTurnAndLeftoversAreHandled)
{
    TempFolder library;
    SinkDriver driver;
    auto sink = std::make_shared<FileSystemAssetSink>(driver.worker.executor(), library.path());
    const AssetDescriptor photo = FakePhone::photo("A", "IMG_1.JPG", 64);
    auto errorOf = [&](asio::awaitable<void> call) -> std::string {
        try {
            driver.run(std::move(call));
        } catch (const AssetSinkError& error) {
            return error.userMessage();
        }
        return "no error";
    };
    EXPECT_EQ(errorOf(sink->beginFile(incomingFile(photo, 0))), "还没准备好接收");

    // Partials of an interrupted receive go when the folder is next opened; only those, and never
    // one that another receive of this program is writing meanwhile.
    const fs::path root = BackupFolderLayout::resolveBackupRoot(library.path(), FakePhone::device());
    auto writing = std::make_shared<FileSystemAssetSink>(driver.worker.executor(), library.path());
    const IncomingFile inFlight = incomingFile(FakePhone::photo("W", "IMG_8.JPG", 64), 0);
    driver.prepare(*writing, FakePhone::device());
    driver.run(writing->beginFile(inFlight));
    driver.run(writing->appendChunk(bytesOf(8), inFlight));
    for (const fs::path& leftover : {root / "Photos" / "IMG_9.JPG.part", root / "Videos" / "CLIP.MP4.part",
             root / "top.part", root / "Photos" / "deeper" / "x.part", root / "Photos" / "folder.part" / "kept"}) {
        fs::create_directories(leftover.parent_path());
        writeTextFile(leftover, "partial");
    }
    driver.prepare(*sink, FakePhone::device());
    EXPECT_EQ(filesUnder(root).count("Photos/IMG_9.JPG.part") + filesUnder(root).count("Videos/CLIP.MP4.part"), 0u);
    for (const char* kept : {"top.part", "Photos/deeper/x.part", "Photos/folder.part/kept"})
        EXPECT_TRUE(fs::exists(root / kept)) << kept;

    EXPECT_EQ(errorOf(sink->finishFile(incomingFile(photo, 0))), "临时文件未打开");
    EXPECT_EQ(errorOf(sink->appendChunk(bytesOf(1), incomingFile(photo, 0))), "临时文件未打开");

    // An aborted file leaves nothing; its asset is not recorded.
    driver.run(sink->beginFile(incomingFile(photo, 0)));
    EXPECT_TRUE(fs::exists(root / "Photos" / "IMG_1.JPG.part"));
    driver.run(sink->appendChunk(bytesOf(1), incomingFile(photo, 0)));
    driver.run(sink->abortFile(incomingFile(photo, 0), "校验失败"));
    EXPECT_FALSE(fs::exists(root / "Photos" / "IMG_1.JPG.part"));

    // A live photo whose movie is listed first: recorded, with the still's path, once both are in;
    // one whose still never arrives is not.
    AssetDescriptor movieFirst = FakePhone::livePhoto("L", "IMG_2.HEIC", 64, "IMG_2.MOV", 64);
    std::swap(movieFirst.files[0], movieFirst.files[1]);
    const AssetDescriptor stillMissing = FakePhone::livePhoto("M", "IMG_3.HEIC", 64, "IMG_3.MOV", 64);
    driver.store(*sink, movieFirst, 1, bytesOf(2));
    EXPECT_TRUE(indexRows(root).empty());
    driver.store(*sink, movieFirst, 0, bytesOf(3));
    driver.store(*sink, stillMissing, 1, bytesOf(4));
    driver.run(sink->finishSession(sessionID, SessionEnd::Reason::completed));
    EXPECT_EQ(errorOf(writing->finishFile(inFlight)), "no error");
    driver.run(writing->finishSession(sessionID, SessionEnd::Reason::completed));
    EXPECT_EQ(indexRows(root),
        (std::vector<IndexRow>{{"L", "IMG_2.HEIC", 128, (root / "Photos" / "IMG_2.HEIC").string(), 1},
            {"W", "IMG_8.JPG", 64, (root / "Photos" / "IMG_8.JPG").string(), 1}}));
    EXPECT_TRUE(fs::exists(root / "Photos" / "IMG_3.MOV"));
}

TEST(FileSystemAssetSink, AFileCountsAsStoredOnlyOnceItsBytesNameAndRowAreOnDisk)
{
    enum class Fault { none, fileSync, rename, folderSync, indexWrite };
    struct Case {
        const char* name;
        Fault fault;
        std::int64_t index;             // of a one-file asset
        std::string error;              // "" when stored
        std::vector<std::string> calls; // what made it durable, in order
        bool leftUnderItsName;          // on disk, unrecorded, for the retry to take over
    };
    // The row comes last: a row whose file a power cut took would skip that file for ever.
    const std::vector<std::string> all = {"fsync file", "rename IMG_1.JPG.part IMG_1.JPG", "fsync folder", "index write"};
    const std::vector<Case> cases = {
        {"every step succeeds", Fault::none, 0, "", all, true},
        {"the file's fsync fails", Fault::fileSync, 0, "写入失败，请重试", {"fsync file"}, false},
        {"the rename into place fails", Fault::rename, 0, "写入失败，请重试", {all[0], all[1]}, false},
        {"the folder's fsync fails", Fault::folderSync, 0, "写入失败，请重试", {all[0], all[1], all[2]}, true},
        {"the index cannot write the row", Fault::indexWrite, 0, "写入失败，请重试", all, true},
        {"a file index outside the asset's list", Fault::none, 1,
            "消息类型 " + std::to_string(rawValue(MessageType::fileBegin)) + " 的负载解析失败：文件序号 1 不在该项的 1 个文件之内",
            {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder library;
        Fault fault = c.fault;
        std::vector<std::string> calls;
        FileSystemSinkEnvironment environment;
        environment.indexVfs = faultyIndexVfs();
        environment.fsync = [&](int fd) {
            struct stat info {};
            const bool folder = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
            calls.push_back(folder ? "fsync folder" : "fsync file");
            if (fault == (folder ? Fault::folderSync : Fault::fileSync)) {
                errno = EIO;
                return -1;
            }
            return ::fsync(fd);
        };
        environment.rename = [&](int folderFd, const char* from, const char* to, unsigned flags) {
            calls.push_back(std::string("rename ") + from + " " + to);
            if (fault == Fault::rename) {
                errno = EIO;
                return -1;
            }
            return ::renameat2(folderFd, from, folderFd, to, flags);
        };
        SinkDriver driver;
        auto sink = std::make_shared<FileSystemAssetSink>(driver.worker.executor(), library.path(), environment);
        driver.prepare(*sink, FakePhone::device());
        const fs::path root = library / deviceFolder;
        AssetDescriptor photo = FakePhone::photo("A", "IMG_1.JPG", 64);
        IncomingFile file = incomingFile(photo, 0);
        file.fileIndex = c.index;

        std::string error;
        indexFaults().refuseWrites = fault == Fault::indexWrite;
        try {
            driver.run(sink->beginFile(file));
            driver.run(sink->appendChunk(bytesOf(1), file));
            indexFaults().onWrite = [&] {
                if (calls.empty() || calls.back() != "index write")
                    calls.push_back("index write");
            };
            driver.run(sink->finishFile(file));
            indexFaults().onWrite = nullptr;
        } catch (const AssetSinkError& failure) {
            error = failure.userMessage();
            driver.run(sink->abortFile(file, error));
        }
        indexFaults().onWrite = nullptr;
        indexFaults().refuseWrites = false;
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(filesUnder(root / "Photos"), (c.leftUnderItsName ? std::map<std::string, std::uint32_t>{{"IMG_1.JPG",
                                                       CRC32::value(bytesOf(1))}} : std::map<std::string, std::uint32_t>{}));
        EXPECT_EQ(indexRows(root).size(), c.error.empty() ? 1u : 0u);

        // The phone sends the file again, and it lands.
        fault = Fault::none;
        driver.store(*sink, photo, 0, bytesOf(2));
        EXPECT_EQ(filesUnder(root / "Photos"), (std::map<std::string, std::uint32_t>{{"IMG_1.JPG", CRC32::value(bytesOf(2))}}));
        EXPECT_EQ(indexRows(root), (std::vector<IndexRow>{{"A", "IMG_1.JPG", 64, (root / "Photos" / "IMG_1.JPG").string(), 1}}));
    }
}

// The row of a stored file may still be in the unflushed log when the power fails. The phone then
// sends the file again, and the copy on disk is taken over: one file, recorded, nothing lost.
TEST(FileSystemAssetSink, ARowLostToAPowerCutCostsAResendNeverAFile)
{
    TempFolder library, afterCut;
    SinkDriver driver;
    const AssetDescriptor photo = FakePhone::photo("A", "IMG_1.JPG", 64);
    {
        auto sink = std::make_shared<FileSystemAssetSink>(driver.worker.executor(), library.path());
        driver.prepare(*sink, FakePhone::device());
        driver.store(*sink, photo, 0, bytesOf(1));
        // The disk at the cut: every file, the database without its log.
        fs::copy(library.path(), afterCut.path(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        for (const char* log : {"-wal", "-shm"})
            fs::remove(afterCut / deviceFolder / ".backupdb" / (std::string("backup_records.sqlite") + log));
        driver.run(sink->finishSession(sessionID, SessionEnd::Reason::completed));
    }
    const fs::path root = afterCut / deviceFolder;
    ASSERT_TRUE(indexRows(root).empty());
    auto sink = std::make_shared<FileSystemAssetSink>(driver.worker.executor(), afterCut.path());
    driver.prepare(*sink, FakePhone::device());
    EXPECT_TRUE(driver.run(sink->existingAssetIDs({photo})).empty());
    driver.store(*sink, photo, 0, bytesOf(1));
    EXPECT_EQ(filesUnder(root / "Photos"), (std::map<std::string, std::uint32_t>{{"IMG_1.JPG", CRC32::value(bytesOf(1))}}));
    EXPECT_EQ(indexRows(root), (std::vector<IndexRow>{{"A", "IMG_1.JPG", 64, (root / "Photos" / "IMG_1.JPG").string(), 1}}));
}
