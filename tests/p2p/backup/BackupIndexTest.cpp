#include "p2p/backup/BackupIndex.h"

#include "IndexFaultVfs.h"
#include "TempFolder.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <optional>
#include <vector>

using namespace p2p;
using p2p::testing::TempFolder;
namespace fs = std::filesystem;

namespace {

struct Row {
    std::string id;
    std::string filename;
    std::int64_t size = 0;
    std::optional<double> creationDate;
    std::string path;
    int mediaType = 0;
    friend bool operator==(const Row&, const Row&) = default;
};

std::vector<Row> rowsOf(const fs::path& database)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db,
        "SELECT local_identifier, original_filename, file_size, creation_date, backup_path, media_type "
        "FROM backup_records ORDER BY local_identifier",
        -1, &statement, nullptr);
    std::vector<Row> rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        Row row;
        row.id = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        row.filename = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
        row.size = sqlite3_column_int64(statement, 2);
        if (sqlite3_column_type(statement, 3) != SQLITE_NULL)
            row.creationDate = sqlite3_column_double(statement, 3);
        row.path = reinterpret_cast<const char*>(sqlite3_column_text(statement, 4));
        row.mediaType = sqlite3_column_int(statement, 5);
        rows.push_back(row);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

std::string schemaOf(const fs::path& database)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master WHERE sql IS NOT NULL ORDER BY name", -1, &statement, nullptr);
    std::string text;
    while (sqlite3_step(statement) == SQLITE_ROW)
        text += std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))) + "\n--\n";
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return text;
}

// Bytes 18 and 19 of the database header: 2 for a write-ahead log, 1 for a rollback journal.
int journalVersion(const fs::path& database)
{
    const std::string header = p2p::testing::readTextFile(database).substr(0, 20);
    return header.size() == 20 ? header[18] : -1;
}

} // namespace

TEST(BackupIndex, SchemaIsTheSharedOne)
{
    TempFolder folder;
    const fs::path database = folder / ".backupdb" / "backup_records.sqlite";
    {
        BackupIndex index(database);
        EXPECT_EQ(index.journalMode(), "wal");
    }
    EXPECT_EQ(schemaOf(database),
        "CREATE TABLE backup_records (\n"
        "    local_identifier TEXT PRIMARY KEY,\n"
        "    original_filename TEXT NOT NULL,\n"
        "    file_size INTEGER NOT NULL,\n"
        "    creation_date REAL,\n"
        "    backup_path TEXT NOT NULL,\n"
        "    backup_date REAL NOT NULL,\n"
        "    media_type INTEGER NOT NULL\n"
        ")\n--\n"
        "CREATE INDEX idx_original_filename\nON backup_records(original_filename)\n--\n");
}

TEST(BackupIndex, RecordsAndReloadsWhatDecidesSkips)
{
    TempFolder folder;
    const fs::path database = folder / "db" / "backup_records.sqlite";
    std::vector<std::string> log;
    setLogSink([&](LogLevel, std::string_view, std::string_view category, std::string_view message) {
        if (category == "backupIndex")
            log.emplace_back(message);
    });
    {
        BackupIndex index(database);
        EXPECT_TRUE(index.knownAssetIDs().empty());
        EXPECT_TRUE(index.record("A", "IMG_1.HEIC", 100, 1700000000.5, "/b/Photos/IMG_1.HEIC", false));
        EXPECT_TRUE(index.record("A", "IMG_1.HEIC", 150, 1700000001.0, "/b/Photos/IMG_1_2.HEIC", false)); // replaces
        EXPECT_TRUE(index.record("B", "IMG_1.HEIC", 200, std::nullopt, "/b/Photos/IMG_1.HEIC", false));
        EXPECT_TRUE(index.record("V", "clip.MOV", 300, 1.0, "/b/Videos/clip.MOV", true));
        EXPECT_TRUE(index.record("L", "IMG_2.HEIC", 400, 2.0, "/b/Photos/IMG_2.HEIC", false));
    }
    BackupIndex reopened(database);
    setLogSink({});
    EXPECT_EQ(log, (std::vector<std::string>{"已加载 0 条备份记录", "已加载 4 条备份记录"}));

    EXPECT_EQ(rowsOf(database), (std::vector<Row>{
                                    {"A", "IMG_1.HEIC", 150, 1700000001.0, "/b/Photos/IMG_1_2.HEIC", 1},
                                    {"B", "IMG_1.HEIC", 200, std::nullopt, "/b/Photos/IMG_1.HEIC", 1},
                                    {"L", "IMG_2.HEIC", 400, 2.0, "/b/Photos/IMG_2.HEIC", 1},
                                    {"V", "clip.MOV", 300, 1.0, "/b/Videos/clip.MOV", 2},
                                }));

    struct Case {
        std::string filename;
        std::int64_t size;
        bool known;
    };
    const std::vector<Case> cases = {
        {"IMG_1.HEIC", 150, true},
        {"IMG_1.HEIC", 200, true}, // two assets share the name
        {"IMG_1.HEIC", 100, false}, // the replaced row's size is gone
        {"img_1.heic", 150, false},
        {"clip.MOV", 300, true},
        {"clip.MOV", 301, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(reopened.hasFile(c.filename, c.size), c.known) << c.filename << " " << c.size;
    EXPECT_EQ(reopened.knownAssetIDs(), (std::unordered_set<std::string>{"A", "B", "V", "L"}));

    // Whose file a name on disk is: ignoring case, and a live photo's movie beside its still.
    EXPECT_EQ(reopened.ownerOf("/b/Photos/IMG_1_2.HEIC"), "A");
    EXPECT_EQ(reopened.ownerOf("/b/Photos/img_1_2.heic"), "A");
    EXPECT_EQ(reopened.ownerOf("/b/Photos/IMG_2.MOV"), "L");
    EXPECT_EQ(reopened.ownerOf("/b/Photos/IMG_2.JPG"), std::nullopt);
    EXPECT_EQ(reopened.ownerOf("/b/Photos/IMG_9.HEIC"), std::nullopt);
}

TEST(BackupIndex, FallsBackToARollbackJournalWhereTheLogCannotWork)
{
    const char* vfs = p2p::testing::faultyIndexVfs();
    struct RefusingSharedMemory {
        RefusingSharedMemory() { p2p::testing::indexFaults().refuseSharedMemory = true; }
        ~RefusingSharedMemory() { p2p::testing::indexFaults().refuseSharedMemory = false; }
    } refusing;
    struct Case {
        const char* name;
        bool leftInWalMode; // by another computer, with a row in it
    };
    for (const Case c : {Case{"fresh file", false}, Case{"file left in WAL mode", true}}) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const fs::path database = folder / "backup_records.sqlite";
        if (c.leftInWalMode) {
            BackupIndex elsewhere(database);
            ASSERT_EQ(elsewhere.journalMode(), "wal");
            elsewhere.record("OLD", "OLD.JPG", 1, std::nullopt, "/old", false);
        }
        ASSERT_EQ(journalVersion(database), c.leftInWalMode ? 2 : -1);
        {
            BackupIndex index(database, vfs);
            EXPECT_EQ(index.journalMode(), "delete");
            EXPECT_EQ(index.knownAssetIDs().count("OLD"), c.leftInWalMode ? 1u : 0u);
            EXPECT_TRUE(index.record("NEW", "NEW.JPG", 2, std::nullopt, "/new", false));
        }
        EXPECT_EQ(journalVersion(database), 1);
        EXPECT_EQ(rowsOf(database).size(), c.leftInWalMode ? 2u : 1u);
        EXPECT_FALSE(fs::exists(folder / "backup_records.sqlite-wal"));
    }
}

TEST(BackupIndex, OpenFailuresAreIndexErrors)
{
    TempFolder folder;
    const fs::path database = folder / "backup_records.sqlite";
    fs::create_directories(database); // a folder where the file should be
    try {
        BackupIndex index(database);
        FAIL() << "opened a folder";
    } catch (const IndexError& error) {
        EXPECT_EQ(error.kind(), IndexError::Kind::openFailed);
        EXPECT_EQ(error.description(), "打开备份索引失败：" + error.message());
        EXPECT_FALSE(error.message().empty());
    }
    // The parent cannot be made: the file system's own error.
    p2p::testing::writeTextFile(folder / "file", "");
    EXPECT_THROW(BackupIndex(folder / "file" / "db" / "x.sqlite"), fs::filesystem_error);
}

// A row may trail its file (the file is durable first, and a file whose row was lost is taken
// over by the re-send), but whatever happens to the log the index opens and records again.
TEST(BackupIndex, ACrashKeepsEveryRowAndAPowerCutLosesRowsNeverTheIndex)
{
    struct Case {
        const char* name;
        bool keepLog; // a process crash keeps the log; a power cut drops what was not flushed
        std::vector<std::string> survivors;
    };
    const std::vector<Case> cases = {
        {"the process is killed", true, {"A", "B"}},
        {"the power fails before the log is flushed", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        const fs::path database = folder / "live" / "backup_records.sqlite";
        const fs::path after = folder / "after" / "backup_records.sqlite";
        {
            BackupIndex index(database);
            ASSERT_EQ(index.journalMode(), "wal");
            EXPECT_TRUE(index.record("A", "IMG_1.JPG", 1, std::nullopt, "/b/Photos/IMG_1.JPG", false));
            EXPECT_TRUE(index.record("B", "IMG_2.JPG", 2, std::nullopt, "/b/Photos/IMG_2.JPG", false));
            // Taken while the index is open: what the disk holds at the moment of the cut.
            fs::create_directories(after.parent_path());
            fs::copy_file(database, after);
            if (c.keepLog)
                fs::copy_file(database.string() + "-wal", after.string() + "-wal");
        }
        {
            BackupIndex index(after);
            EXPECT_TRUE(index.record("C", "IMG_3.JPG", 3, std::nullopt, "/b/Photos/IMG_3.JPG", false));
        }
        std::vector<std::string> ids;
        for (const Row& row : rowsOf(after))
            ids.push_back(row.id);
        std::vector<std::string> expected = c.survivors;
        expected.push_back("C");
        EXPECT_EQ(ids, expected);
    }
}
