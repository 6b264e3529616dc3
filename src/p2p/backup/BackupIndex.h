#pragma once

#include "p2p/backup/OwnedFd.h"
#include "p2p/protocol/P2PLog.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

struct sqlite3;

namespace p2p {

// Why a backup index could not be opened.
class IndexError : public std::exception {
public:
    enum class Kind { openFailed, statementFailed };

    IndexError(Kind kind, std::string message, int resultCode, int systemError = 0);

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    int resultCode() const { return resultCode_; } // SQLite's extended result code, or 0
    int systemError() const { return systemError_; } // the errno behind it, or 0
    bool isVolumeFull() const;     // the disk or the quota is full
    bool isVolumeReadOnly() const; // the volume or the file cannot be written
    std::string description() const;
    const char* what() const noexcept override { return text_.c_str(); }

private:
    Kind kind_;
    std::string message_;
    int resultCode_;
    int systemError_;
    std::string text_;
};

// The SQLite database in a backup folder that records each stored asset, one row per asset, so
// that a later backup can tell the phone what to skip. Other versions of the program read and
// write the same file, so its schema and statements stay as they are.
//
// One connection, used by one thread at a time (the sink's); the skip decisions are answered from
// sets loaded at open and kept up to date by record().
class BackupIndex {
public:
    // Opens or creates the database, with a write-ahead log where the volume supports one and a
    // rollback journal where it does not (FAT, exFAT, network shares). Throws the file system's
    // error when the parent folder cannot be made (only it, never a folder above), else
    // IndexError. `vfsName` picks another SQLite VFS (tests inject faults through one); none is
    // the default.
    explicit BackupIndex(const std::filesystem::path& databasePath, const char* vfsName = nullptr);
    // The same as `fileName` in the folder open as `folderFd`, which must exist. The index keeps a
    // duplicate of that handle and reaches its files only through it, never by the folder's path,
    // so that another drive mounted at the same place meanwhile is never written.
    BackupIndex(int folderFd, const std::string& fileName, const char* vfsName = nullptr);
    ~BackupIndex();
    BackupIndex(const BackupIndex&) = delete;
    BackupIndex& operator=(const BackupIndex&) = delete;

    // Writes or replaces the asset's row. Never throws; returns false (and logs) when it failed.
    bool record(const std::string& assetID, const std::string& filename, std::int64_t byteCount,
        std::optional<double> creationDate, const std::string& destinationPath, bool isVideo);

    const std::unordered_set<std::string>& knownAssetIDs() const { return knownAssetIDs_; }
    // Original file name → the sizes recorded under it (several assets may share a name).
    const std::unordered_map<std::string, std::unordered_set<std::int64_t>>& knownFileSizes() const
    {
        return knownFileSizes_;
    }
    // True when a row holds `filename` with exactly `byteCount` bytes.
    bool hasFile(const std::string& filename, std::int64_t byteCount) const;

    // The asset whose stored file is at `path`: a row's primary path, or, for a ".MOV" name, the
    // paired video beside a row's primary of the same stem. Compared ignoring ASCII case, as
    // exFAT does.
    std::optional<std::string> ownerOf(const std::filesystem::path& path) const;
    struct FileOwner {
        std::string assetID;
        bool isPrimary = false; // the row's own path; else the movie beside it
    };
    std::optional<FileOwner> fileOwner(const std::filesystem::path& path) const;

    // "wal" or "delete": the journal the connection ended up with.
    const std::string& journalMode() const { return journalMode_; }

private:
    void openDatabase(const std::filesystem::path& databasePath, const char* vfsName);
    void connect(const std::filesystem::path& databasePath, const char* vfsName, bool writeAheadLog);
    void disconnect();
    void loadKnownSets();

    OwnedFd folder_; // when opened through a folder's handle; outlives the connection
    sqlite3* handle_ = nullptr;
    Logger logger_;
    std::unordered_set<std::string> knownAssetIDs_;
    std::unordered_map<std::string, std::unordered_set<std::int64_t>> knownFileSizes_;
    std::unordered_map<std::string, std::string> pathOwners_; // folded path → asset
    std::unordered_map<std::string, std::string> stemOwners_; // folded path without extension → asset
    std::string journalMode_;
};

} // namespace p2p
