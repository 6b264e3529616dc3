#pragma once

#include "p2p/backup/BackupIndex.h"
#include "p2p/backup/FileSystemIdentity.h"
#include "p2p/backup/OwnedFd.h"
#include "p2p/protocol/framing/CRC32.h"
#include "p2p/protocol/P2PLog.h"
#include "p2p/receive/AssetSink.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace p2p {

// Seams of the file-system sink for tests.
struct FileSystemSinkEnvironment {
    // Whether `name` is taken in `folder`. Empty: fstatat without following links. Tests answer
    // case-insensitively here, as exFAT does.
    std::function<bool(const std::filesystem::path& folder, const std::string& name)> nameTaken;
    // SQLite VFS of the index (tests inject faults through one); none is the default.
    const char* indexVfs = nullptr;
    // The calls that make a stored file durable: fsync of the file and then of its folder, and
    // renameat2 within the folder. Empty: the system's. Tests watch their order or fail one.
    std::function<int(int fd)> fsync;
    std::function<int(int folderFd, const char* from, const char* to, unsigned flags)> rename;
};

// Stores a phone's backup in a library folder: in the phone's backup folder, Photos or Videos,
// every file received as "<name>.part", flushed, renamed into place, its folder flushed, and only
// then recorded in the backup index, so that a crash or a pulled cable at any moment leaves
// nothing half-written under a real name and nothing recorded that is not on the disk.
//
// Names from the phone become one safe path component each, every file of an asset its own. A
// name is replaced only by the same file (same asset and file index) or by identical bytes left
// unrecorded; any other taken name gets "_2", "_3", …, judged through the file system so that
// case-insensitive volumes are handled. A live photo's still and movie always share one stem.
//
// All work runs on a strand of the given executor (the SinkThread); the AssetSink calls resume on
// the caller's executor. Create with std::make_shared: queued work keeps the sink alive.
class FileSystemAssetSink : public AssetSink, public std::enable_shared_from_this<FileSystemAssetSink> {
public:
    // Called on the sink's strand; a receiver that lives on another thread posts to it itself.
    using MaterializedHandler = std::function<void(const std::filesystem::path& libraryFolder)>;
    using BackupRootHandler = std::function<void(const std::optional<std::filesystem::path>& backupRoot)>;

    using Environment = FileSystemSinkEnvironment;

    // An existing library folder.
    FileSystemAssetSink(asio::any_io_executor worker, std::filesystem::path libraryRoot, Environment environment = {});
    // A new library: `folderName` inside `pendingParent` is made when the first file begins, and
    // reported through `onMaterialized` before anything is written into it.
    FileSystemAssetSink(asio::any_io_executor worker, std::filesystem::path pendingParent, std::string folderName,
        MaterializedHandler onMaterialized, Environment environment = {});
    ~FileSystemAssetSink() override;

    // Told where the files go whenever that is decided or cleared. Set before the session runs.
    void setBackupRootHandler(BackupRootHandler handler);
    // The library's name as the user knows it, for the text shown when its folder is gone; the
    // folder's own name when not set. Set before the session runs.
    void setLibraryName(std::string name);
    // The file system the caller noted of the watched folder before it asked whether that is the
    // library's own drive: writes go ahead only while the folder is on it. Unless told, the sink
    // holds to the file system it found there when it was made. Set before the session runs.
    void expectFileSystem(const std::optional<FileSystemIdentity>& identity);

    // The folder whose file system a receive holds to, checked before the first folder or file is
    // made and before every rename: the library folder; for a new library the folder itself when it
    // already exists (it may be a drive's mount point), else its parent.
    static std::filesystem::path watchedFolderOfNewLibrary(
        const std::filesystem::path& parent, const std::string& folderName);

    // Read only on the sink's strand or after the session's last call returned.
    const std::optional<std::filesystem::path>& resolvedBackupRoot() const { return resolvedBackupRoot_; }

    asio::awaitable<void> prepareSession(const Uuid& sessionID, const DeviceInfo& peer) override;
    asio::awaitable<std::unordered_set<std::string>> existingAssetIDs(
        const std::vector<AssetDescriptor>& entries) override;
    asio::awaitable<void> beginFile(const IncomingFile& file) override;
    asio::awaitable<void> appendChunk(const Bytes& bytes, const IncomingFile& file) override;
    asio::awaitable<void> finishFile(const IncomingFile& file) override;
    asio::awaitable<void> abortFile(const IncomingFile& file, const std::string& reason) override;
    asio::awaitable<void> finishSession(const Uuid& sessionID, SessionEnd::Reason reason) override;

private:
    using Descriptor = OwnedFd;

    static constexpr std::string_view partialSuffix = ".part";

    struct Materialized {
        std::filesystem::path root;
        std::shared_ptr<Descriptor> photos;
        std::shared_ptr<Descriptor> videos;
        std::unique_ptr<BackupIndex> index;
    };

    struct OpenFile {
        std::shared_ptr<Descriptor> file;
        std::shared_ptr<Descriptor> folder;
        std::filesystem::path folderPath;
        std::string partialName;
        std::string assetID;
        std::int64_t fileIndex = 0;
        std::string filename; // as announced
        bool outsideFileList = false; // its index names no file of the asset: nothing is written
        std::int64_t byteCount = 0;
        std::int64_t writebackOffset = 0; // bytes before it are on their way to the disk
        std::shared_ptr<void> claim;      // while held, no clean-up takes the partial for a leftover
    };

    struct StoredFile {
        std::filesystem::path path;
        std::int64_t byteCount = 0;
    };

    struct AssetState {
        std::map<std::int64_t, StoredFile> storedFiles; // by file index
    };

    struct FileKey {
        std::string assetID;
        std::int64_t fileIndex = 0;
        friend bool operator==(const FileKey&, const FileKey&) = default;
    };

    // Size of a received file, to tell whether a file on disk holds the same bytes; its CRC-32 is
    // read back from the partial file only when a file of that size claims the name.
    using Contents = std::int64_t;

    template <typename Work>
    auto onStrand(Work work) -> asio::awaitable<decltype(work())>;

    void prepareNow(const DeviceInfo& peer);
    std::unordered_set<std::string> existingNow(const std::vector<AssetDescriptor>& entries) const;
    void beginNow(const IncomingFile& file);
    void appendNow(const Bytes& bytes, const IncomingFile& file);
    void finishNow(const IncomingFile& file);
    void abortNow(const IncomingFile& file, const std::string& reason);
    void finishSessionNow();

    void ensureReadyForWriting();
    // Everything below the library folder is made through its handle, never by path.
    void materializeBackup(const Descriptor& library, const std::filesystem::path& inside, const DeviceInfo& peer);
    Descriptor createPendingLibraryFolder(const Descriptor& parent);
    // The watched folder, open, its handle on the file system noted when the wait began; throws
    // the missing-folder error otherwise.
    Descriptor openCheckedFolder() const;
    // Throws the missing-folder error unless the watched folder is still on the file system noted
    // when the wait began.
    void requireChosenFileSystem() const;
    void removeOrphanedPartials();
    void setBackupRoot(std::optional<std::filesystem::path> root);
    void discardOpenFile();

    // The name the file would have without collisions (safe; a paired video named after its still).
    std::string preferredName(const IncomingFile& file) const;
    // The free or replaceable name the file is stored under; may move the stored half of a live
    // photo so that both halves share a stem.
    std::string finalName(const IncomingFile& file, const OpenFile& open, std::int64_t byteCount);
    std::string freeName(const IncomingFile& file, const OpenFile& open, const std::string& preferred,
        const Contents& incoming, const std::optional<std::int64_t>& partner);
    std::string moveStoredPartner(const IncomingFile& file, const OpenFile& open, const std::string& preferred,
        const Contents& incoming, std::int64_t partner);
    bool isTakenByOther(const OpenFile& open, const std::string& name, const IncomingFile& file,
        const std::optional<Contents>& incoming) const;
    bool nameTaken(const std::filesystem::path& folder, int folderFd, const std::string& name) const;
    bool recordIfComplete(const IncomingFile& file);

    int syncFile(int fd) const;
    int renameInFolder(int folderFd, const std::string& from, const std::string& to, bool replace) const;

    AssetSinkError libraryFolderMissing() const;
    AssetSinkError mappedWriteError(const std::string& filename, const std::exception& error) const;
    AssetSinkError mappedWriteError(const std::string& filename, int errorNumber) const;

    asio::strand<asio::any_io_executor> strand_;
    bool pendingNew_;
    std::filesystem::path pendingParent_;
    std::string pendingFolderName_;
    MaterializedHandler onPendingLibraryMaterialized_;
    Environment environment_;
    BackupRootHandler onBackupRoot_;
    std::string libraryName_;
    Logger logger_;

    std::optional<std::filesystem::path> libraryRoot_;
    std::filesystem::path watchedFolder_;
    std::optional<FileSystemIdentity> chosenFileSystem_;
    std::optional<DeviceInfo> pendingPeer_;
    std::optional<Materialized> materialized_;
    std::optional<OpenFile> openFile_;
    std::unordered_map<std::string, AssetState> assets_;
    std::unordered_map<std::string, FileKey> sessionPathOwners_; // folded path → the file stored there
    std::optional<std::filesystem::path> resolvedBackupRoot_;
};

} // namespace p2p
