#include "p2p/backup/BackupIndex.h"

#include "p2p/backup/FolderHandleVfs.h"
#include "p2p/backup/SafeFileName.h"

#include <sqlite3.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <system_error>

namespace p2p {

namespace fs = std::filesystem;

namespace {

// The statements other versions of this program use on the same file, character for character.
constexpr const char* enableWriteAheadLog = "PRAGMA journal_mode=WAL;";
constexpr const char* createTable = "CREATE TABLE IF NOT EXISTS backup_records (\n"
                                    "    local_identifier TEXT PRIMARY KEY,\n"
                                    "    original_filename TEXT NOT NULL,\n"
                                    "    file_size INTEGER NOT NULL,\n"
                                    "    creation_date REAL,\n"
                                    "    backup_path TEXT NOT NULL,\n"
                                    "    backup_date REAL NOT NULL,\n"
                                    "    media_type INTEGER NOT NULL\n"
                                    ");";
constexpr const char* createIndex = "CREATE INDEX IF NOT EXISTS idx_original_filename\n"
                                    "ON backup_records(original_filename);";
// The size decides a skip by name; the path tells whose file a name on disk is.
constexpr const char* selectKnown
    = "SELECT local_identifier, original_filename, file_size, backup_path FROM backup_records;";
constexpr const char* insertRecord
    = "INSERT OR REPLACE INTO backup_records\n"
      "(local_identifier, original_filename, file_size, creation_date, backup_path, backup_date, media_type)\n"
      "VALUES (?, ?, ?, ?, ?, ?, ?);";

std::string errorText(sqlite3* db)
{
    return db ? std::string(sqlite3_errmsg(db)) : std::string("未知错误");
}

// The shared-memory index of a write-ahead log cannot be mapped on this volume.
bool needsRollbackJournal(int resultCode)
{
    return resultCode == SQLITE_IOERR_SHMOPEN || resultCode == SQLITE_IOERR_SHMMAP
        || resultCode == SQLITE_IOERR_SHMSIZE || resultCode == SQLITE_IOERR_SHMLOCK
        || (resultCode & 0xFF) == SQLITE_CANTOPEN;
}

std::string withoutExtension(const fs::path& path)
{
    fs::path stem = path;
    stem.replace_extension();
    return stem.string();
}

class Statement {
public:
    Statement(sqlite3* db, const char* text) { result_ = sqlite3_prepare_v2(db, text, -1, &statement_, nullptr); }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool prepared() const { return result_ == SQLITE_OK && statement_; }
    sqlite3_stmt* get() const { return statement_; }

private:
    sqlite3_stmt* statement_ = nullptr;
    int result_ = SQLITE_OK;
};

// Runs a statement that answers with one text (a pragma), read through prepare and step.
std::optional<std::string> queryText(sqlite3* db, const char* text, int& resultCode)
{
    Statement statement(db, text);
    if (!statement.prepared()) {
        resultCode = sqlite3_extended_errcode(db);
        return std::nullopt;
    }
    resultCode = sqlite3_step(statement.get());
    if (resultCode != SQLITE_ROW)
        return std::nullopt;
    const unsigned char* value = sqlite3_column_text(statement.get(), 0);
    return value ? asciiFolded(reinterpret_cast<const char*>(value)) : std::string();
}

} // namespace

IndexError::IndexError(Kind kind, std::string message, int resultCode, int systemError)
    : kind_(kind)
    , message_(std::move(message))
    , resultCode_(resultCode)
    , systemError_(systemError)
    , text_(description())
{
}

bool IndexError::isVolumeFull() const
{
    return (resultCode_ & 0xFF) == SQLITE_FULL || systemError_ == ENOSPC || systemError_ == EDQUOT;
}

bool IndexError::isVolumeReadOnly() const
{
    const int primary = resultCode_ & 0xFF;
    return primary == SQLITE_READONLY || primary == SQLITE_PERM || systemError_ == EROFS || systemError_ == EACCES
        || systemError_ == EPERM;
}

std::string IndexError::description() const
{
    return (kind_ == Kind::openFailed ? "打开备份索引失败：" : "备份索引操作失败：") + message_;
}

BackupIndex::BackupIndex(const fs::path& databasePath, const char* vfsName)
    : logger_("backupIndex")
{
    fs::create_directory(databasePath.parent_path()); // its own folder only, never those above
    openDatabase(databasePath, vfsName);
}

BackupIndex::BackupIndex(int folderFd, const std::string& fileName, const char* vfsName)
    : folder_(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0))
    , logger_("backupIndex")
{
    if (!folder_)
        throw std::system_error(errno, std::generic_category(), "dup");
    // The journal, the log and its shared memory are named after the database, so they land beside it.
    openDatabase("/proc/self/fd/" + std::to_string(folder_.get()) + "/" + fileName, folderHandleVfs(vfsName));
}

void BackupIndex::openDatabase(const fs::path& databasePath, const char* vfsName)
{
    try {
        connect(databasePath, vfsName, true);
    } catch (const IndexError& error) {
        if (!needsRollbackJournal(error.resultCode()))
            throw;
        disconnect();
        logger_.notice("此卷不支持预写日志，改用回滚日志：" + error.message());
        connect(databasePath, vfsName, false);
    }
    loadKnownSets();
}

BackupIndex::~BackupIndex()
{
    disconnect();
}

void BackupIndex::disconnect()
{
    sqlite3_close_v2(handle_);
    handle_ = nullptr;
}

void BackupIndex::connect(const fs::path& databasePath, const char* vfsName, bool writeAheadLog)
{
    auto fail = [this](IndexError::Kind kind) {
        const int code = handle_ ? sqlite3_extended_errcode(handle_) : 0;
        IndexError error(kind, errorText(handle_), code, handle_ ? sqlite3_system_errno(handle_) : 0);
        disconnect();
        throw error;
    };
    auto execute = [&](const char* text) {
        if (sqlite3_exec(handle_, text, nullptr, nullptr, nullptr) != SQLITE_OK)
            fail(IndexError::Kind::statementFailed);
    };

    const int opened = sqlite3_open_v2(databasePath.c_str(), &handle_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, vfsName);
    if (opened != SQLITE_OK || !handle_)
        fail(IndexError::Kind::openFailed);
    // Without extended codes a shared-memory failure reads as a plain I/O error.
    sqlite3_extended_result_codes(handle_, 1);
    // SQLite quietly opens a file it cannot write read-only; an index that cannot record is no use.
    if (sqlite3_db_readonly(handle_, "main") == 1) {
        disconnect();
        throw IndexError(IndexError::Kind::openFailed, "只读", SQLITE_READONLY, EROFS);
    }

    int resultCode = SQLITE_OK;
    if (writeAheadLog) {
        const std::optional<std::string> mode = queryText(handle_, enableWriteAheadLog, resultCode);
        if (!mode)
            fail(IndexError::Kind::statementFailed);
        if (*mode != "wal") {
            disconnect();
            throw IndexError(IndexError::Kind::statementFailed, "journal_mode=" + *mode, SQLITE_CANTOPEN);
        }
    } else {
        // Exclusive locking keeps the log index in memory, so a file another computer left in WAL
        // mode can still be opened here and switched to a rollback journal.
        execute("PRAGMA locking_mode=EXCLUSIVE;");
        if (!queryText(handle_, "PRAGMA journal_mode=DELETE;", resultCode))
            fail(IndexError::Kind::statementFailed);
        execute("PRAGMA locking_mode=NORMAL;");
    }
    // A row may trail its file: the file is on the disk before its row is written, and a complete
    // file whose row a power cut took is recognised by its bytes and replaced in place when the
    // phone sends it again. So a log commit need not wait for its own flush; a rollback journal
    // can be torn by a power cut without full syncs, so it keeps them.
    execute(writeAheadLog ? "PRAGMA synchronous=NORMAL;" : "PRAGMA synchronous=FULL;");
    execute(createTable);
    execute(createIndex);
    journalMode_ = writeAheadLog ? "wal" : "delete";
}

void BackupIndex::loadKnownSets()
{
    Statement statement(handle_, selectKnown);
    if (!statement.prepared())
        return;
    while (sqlite3_step(statement.get()) == SQLITE_ROW) {
        auto text = [&](int column) -> std::optional<std::string> {
            const unsigned char* value = sqlite3_column_text(statement.get(), column);
            if (!value)
                return std::nullopt;
            return std::string(reinterpret_cast<const char*>(value));
        };
        const std::optional<std::string> assetID = text(0);
        const std::optional<std::string> filename = text(1);
        const std::optional<std::string> path = text(3);
        if (assetID)
            knownAssetIDs_.insert(*assetID);
        if (filename && sqlite3_column_type(statement.get(), 2) != SQLITE_NULL)
            knownFileSizes_[*filename].insert(sqlite3_column_int64(statement.get(), 2));
        if (assetID && path) {
            pathOwners_[asciiFolded(*path)] = *assetID;
            stemOwners_[asciiFolded(withoutExtension(*path))] = *assetID;
        }
    }
    logger_.info("已加载 " + std::to_string(knownAssetIDs_.size()) + " 条备份记录");
}

bool BackupIndex::record(const std::string& assetID, const std::string& filename, std::int64_t byteCount,
    std::optional<double> creationDate, const std::string& destinationPath, bool isVideo)
{
    Statement statement(handle_, insertRecord);
    if (!statement.prepared()) {
        logger_.error("写入备份记录失败：" + errorText(handle_));
        return false;
    }
    sqlite3_stmt* s = statement.get();
    sqlite3_bind_text(s, 1, assetID.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 2, filename.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(s, 3, byteCount);
    if (creationDate && std::isfinite(*creationDate))
        sqlite3_bind_double(s, 4, *creationDate);
    else
        sqlite3_bind_null(s, 4);
    sqlite3_bind_text(s, 5, destinationPath.c_str(), -1, SQLITE_TRANSIENT);
    const std::chrono::duration<double> now = std::chrono::system_clock::now().time_since_epoch();
    sqlite3_bind_double(s, 6, now.count());
    sqlite3_bind_int(s, 7, isVideo ? 2 : 1);
    if (sqlite3_step(s) != SQLITE_DONE) {
        logger_.error("写入备份记录失败：" + errorText(handle_));
        return false;
    }
    knownAssetIDs_.insert(assetID);
    knownFileSizes_[filename].insert(byteCount);
    pathOwners_[asciiFolded(destinationPath)] = assetID;
    stemOwners_[asciiFolded(withoutExtension(destinationPath))] = assetID;
    return true;
}

bool BackupIndex::hasFile(const std::string& filename, std::int64_t byteCount) const
{
    const auto found = knownFileSizes_.find(filename);
    return found != knownFileSizes_.end() && found->second.count(byteCount) > 0;
}

std::optional<std::string> BackupIndex::ownerOf(const fs::path& path) const
{
    const std::optional<FileOwner> owner = fileOwner(path);
    return owner ? std::optional<std::string>(owner->assetID) : std::nullopt;
}

std::optional<BackupIndex::FileOwner> BackupIndex::fileOwner(const fs::path& path) const
{
    if (const auto found = pathOwners_.find(asciiFolded(path.string())); found != pathOwners_.end())
        return FileOwner{found->second, true};
    if (asciiFolded(path.extension().string()) == ".mov") {
        if (const auto found = stemOwners_.find(asciiFolded(withoutExtension(path))); found != stemOwners_.end())
            return FileOwner{found->second, false};
    }
    return std::nullopt;
}

} // namespace p2p
