#include "p2p/backup/FileSystemAssetSink.h"

#include "p2p/backup/AssetFileRoles.h"
#include "p2p/backup/BackupFolderLayout.h"
#include "p2p/backup/PartialFileClaims.h"
#include "p2p/backup/SafeFileName.h"
#include "p2p/protocol/ProtocolError.h"
#include "p2p/protocol/Saturating.h"
#include "p2p/protocol/errors/UserFacingError.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

// g++ 12 pairs Asio's coroutine-frame operator delete with the global operator new in some frames
// and warns; the frames are allocated and freed by Asio's own pair (the sanitizer build checks).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace p2p {

namespace fs = std::filesystem;

namespace {

// Received bytes are handed to the disk in steps of this size while a file arrives.
constexpr std::int64_t writebackStep = 8 << 20;
// Beyond this many partial names something is wrong with the folder, not with the name.
constexpr std::int64_t highestPartialNumber = 100;

timespec toTimespec(double secondsSince1970)
{
    const auto nanoseconds
        = std::chrono::duration_cast<std::chrono::nanoseconds>(clampedTimePoint(secondsSince1970).time_since_epoch()).count();
    constexpr std::int64_t perSecond = 1'000'000'000;
    std::int64_t seconds = nanoseconds / perSecond;
    std::int64_t rest = nanoseconds % perSecond;
    if (rest < 0) {
        rest += perSecond;
        --seconds;
    }
    timespec time {};
    time.tv_sec = static_cast<time_t>(seconds);
    time.tv_nsec = static_cast<long>(rest);
    return time;
}

template <typename Work, typename KeepAlive>
auto runWork(Work work, KeepAlive keepAlive) -> asio::awaitable<decltype(work())>
{
    (void)keepAlive; // the sink stays alive while its work waits in the queue
    co_return work();
}

} // namespace

FileSystemAssetSink::FileSystemAssetSink(asio::any_io_executor worker, fs::path libraryRoot, Environment environment)
    : strand_(asio::make_strand(std::move(worker)))
    , pendingNew_(false)
    , environment_(std::move(environment))
    , logger_("sink")
    , libraryRoot_(std::move(libraryRoot))
    , watchedFolder_(*libraryRoot_)
    , chosenFileSystem_(FileSystemIdentity::of(watchedFolder_))
{
}

FileSystemAssetSink::FileSystemAssetSink(asio::any_io_executor worker, fs::path pendingParent, std::string folderName,
    MaterializedHandler onMaterialized, Environment environment)
    : strand_(asio::make_strand(std::move(worker)))
    , pendingNew_(true)
    , pendingParent_(std::move(pendingParent))
    , pendingFolderName_(std::move(folderName))
    , onPendingLibraryMaterialized_(std::move(onMaterialized))
    , environment_(std::move(environment))
    , logger_("sink")
    , watchedFolder_(watchedFolderOfNewLibrary(pendingParent_, pendingFolderName_))
    , chosenFileSystem_(FileSystemIdentity::of(watchedFolder_))
{
}

FileSystemAssetSink::~FileSystemAssetSink() = default;

void FileSystemAssetSink::setBackupRootHandler(BackupRootHandler handler)
{
    onBackupRoot_ = std::move(handler);
}

template <typename Work>
auto FileSystemAssetSink::onStrand(Work work) -> asio::awaitable<decltype(work())>
{
    std::shared_ptr<FileSystemAssetSink> keepAlive = shared_from_this();
    auto task = runWork(std::move(work), std::move(keepAlive));
    co_return co_await asio::co_spawn(strand_, std::move(task), asio::use_awaitable);
}

void FileSystemAssetSink::setLibraryName(std::string name)
{
    libraryName_ = std::move(name);
}

// MARK: - The interface: each call hops to the strand and back

asio::awaitable<void> FileSystemAssetSink::prepareSession(const Uuid&, const DeviceInfo& peer)
{
    auto work = [this, &peer] { prepareNow(peer); };
    co_await onStrand(std::move(work));
}

asio::awaitable<std::unordered_set<std::string>> FileSystemAssetSink::existingAssetIDs(
    const std::vector<AssetDescriptor>& entries)
{
    auto work = [this, &entries] { return existingNow(entries); };
    co_return co_await onStrand(std::move(work));
}

asio::awaitable<void> FileSystemAssetSink::beginFile(const IncomingFile& file)
{
    auto work = [this, &file] { beginNow(file); };
    co_await onStrand(std::move(work));
}

asio::awaitable<void> FileSystemAssetSink::appendChunk(const Bytes& bytes, const IncomingFile& file)
{
    auto work = [this, &bytes, &file] { appendNow(bytes, file); };
    co_await onStrand(std::move(work));
}

asio::awaitable<void> FileSystemAssetSink::finishFile(const IncomingFile& file)
{
    auto work = [this, &file] { finishNow(file); };
    co_await onStrand(std::move(work));
}

asio::awaitable<void> FileSystemAssetSink::abortFile(const IncomingFile& file, const std::string& reason)
{
    auto work = [this, &file, &reason] { abortNow(file, reason); };
    co_await onStrand(std::move(work));
}

asio::awaitable<void> FileSystemAssetSink::finishSession(const Uuid&, SessionEnd::Reason)
{
    auto work = [this] { finishSessionNow(); };
    co_await onStrand(std::move(work));
}

// MARK: - Session and backup folder

void FileSystemAssetSink::prepareNow(const DeviceInfo& peer)
{
    pendingPeer_ = peer;
    assets_.clear();
    sessionPathOwners_.clear();
    discardOpenFile();
    if (!pendingNew_) {
        materialized_.reset();
        materializeBackup(openCheckedFolder(), *libraryRoot_, peer);
        return;
    }
    materialized_.reset();
    setBackupRoot(std::nullopt);
    logger_.info("待新建图库：尚未落盘，等首个文件写入时再创建");
}

void FileSystemAssetSink::setBackupRoot(std::optional<fs::path> root)
{
    resolvedBackupRoot_ = std::move(root);
    if (onBackupRoot_)
        onBackupRoot_(resolvedBackupRoot_);
}

std::unordered_set<std::string> FileSystemAssetSink::existingNow(const std::vector<AssetDescriptor>& entries) const
{
    std::unordered_set<std::string> existing;
    if (!materialized_ || !materialized_->index)
        return existing;
    const BackupIndex& index = *materialized_->index;
    for (const AssetDescriptor& asset : entries) {
        if (index.knownAssetIDs().count(asset.assetID)) {
            existing.insert(asset.assetID);
            continue;
        }
        // Another identifier for a file already here: only when the size says it is the same.
        const std::optional<FileDescriptor> primary = asset.primaryFile();
        if (index.hasFile(primary ? primary->filename : std::string(), asset.declaredByteCount()))
            existing.insert(asset.assetID);
    }
    return existing;
}

// MARK: - Files

void FileSystemAssetSink::beginNow(const IncomingFile& file)
{
    ensureReadyForWriting();
    discardOpenFile();

    const bool isVideo = file.descriptor.kind == AssetKind::video;
    OpenFile open;
    open.folder = isVideo ? materialized_->videos : materialized_->photos;
    open.folderPath = materialized_->root
        / (isVideo ? BackupFolderLayout::videosFolderName : BackupFolderLayout::photosFolderName);
    open.assetID = file.assetID;
    open.fileIndex = file.fileIndex;
    open.filename = file.filename;
    if (!isInFileList(file.descriptor, file.fileIndex)) {
        // Refused at its end, so that the session goes on; its bytes are never written.
        open.outsideFileList = true;
        openFile_ = std::move(open);
        return;
    }
    const int folderFd = open.folder->get();

    // Whatever holds a partial name already is never removed here: on a case-insensitive volume
    // "img_1.part" may be a stored "IMG_1.PART". Stale partials go when the folder is next opened.
    const std::string preferred = preferredName(file);
    int fd = -1;
    {
        // Claimed as it is made, so that no other receive's clean-up takes it for a leftover.
        const std::unique_lock claims = PartialFileClaims::lock();
        for (std::int64_t number = 1; fd < 0 && number <= highestPartialNumber; ++number) {
            open.partialName
                = (number == 1 ? preferred : numberedFileName(preferred, number)) + std::string(partialSuffix);
            fd = ::openat(folderFd, open.partialName.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0666);
            if (fd < 0 && errno != EEXIST)
                break;
        }
        if (fd >= 0)
            open.claim = PartialFileClaims::claim(fd);
    }
    if (fd < 0) {
        const int error = errno;
        const fs::path partial = open.folderPath / open.partialName;
        logger_.error("无法创建临时文件：" + partial.string());
        const std::int64_t needed = std::max<std::int64_t>(file.declaredByteCount, 0);
        if (error == ENOSPC || error == EDQUOT || UserFacingError::isVolumeOutOfSpace(partial, needed))
            throw AssetSinkError::insufficientSpace(needed);
        throw AssetSinkError::writeFailed(file.filename, UserFacingError::localized("error.write_failed", "写入失败，请重试"));
    }
    open.file = std::make_shared<Descriptor>(fd);
    openFile_ = std::move(open);
}

void FileSystemAssetSink::appendNow(const Bytes& bytes, const IncomingFile& file)
{
    if (!openFile_ || openFile_->assetID != file.assetID || openFile_->fileIndex != file.fileIndex)
        throw AssetSinkError::writeFailed(file.filename, "临时文件未打开");
    if (openFile_->outsideFileList)
        return;
    const std::uint8_t* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t count = ::write(openFile_->file->get(), data, left);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            const int error = count < 0 ? errno : EIO;
            discardOpenFile();
            throw mappedWriteError(file.filename, error);
        }
        data += count;
        left -= static_cast<std::size_t>(count);
    }
    openFile_->byteCount = saturatingAdd(openFile_->byteCount, static_cast<std::int64_t>(bytes.size()));
    // Start writing back what has piled up, so the disk works while the rest arrives and the
    // fsync at the end has little left to do. Failures show up in that fsync.
    if (openFile_->byteCount - openFile_->writebackOffset >= writebackStep) {
        ::sync_file_range(openFile_->file->get(), openFile_->writebackOffset,
            openFile_->byteCount - openFile_->writebackOffset, SYNC_FILE_RANGE_WRITE);
        openFile_->writebackOffset = openFile_->byteCount;
    }
}

void FileSystemAssetSink::finishNow(const IncomingFile& file)
{
    if (!openFile_ || openFile_->assetID != file.assetID || openFile_->fileIndex != file.fileIndex)
        throw AssetSinkError::writeFailed(file.filename, "临时文件未打开");
    if (openFile_->outsideFileList) {
        discardOpenFile();
        const std::string reason = "文件序号 " + std::to_string(file.fileIndex) + " 不在该项的 "
            + std::to_string(file.descriptor.files.size()) + " 个文件之内";
        throw AssetSinkError::writeFailed(
            file.filename, ProtocolError::malformedPayload(rawValue(MessageType::fileBegin), reason).description());
    }
    const int fd = openFile_->file->get();
    const int folderFd = openFile_->folder->get();

    // The capture date goes to the disk together with the bytes. Linux keeps no settable birth time.
    if (file.descriptor.creationDate) {
        const timespec date = toTimespec(*file.descriptor.creationDate);
        const timespec times[2] = {date, date};
        ::futimens(fd, times);
    }
    struct stat info {};
    if (syncFile(fd) != 0 || ::fstat(fd, &info) != 0) {
        const int error = errno;
        discardOpenFile();
        throw mappedWriteError(file.filename, error);
    }
    if (const int error = openFile_->file->close()) {
        discardOpenFile();
        throw mappedWriteError(file.filename, error);
    }
    const std::int64_t byteCount = info.st_size;

    std::string name;
    try {
        requireChosenFileSystem();
        name = finalName(file, *openFile_, byteCount);
    } catch (...) {
        discardOpenFile();
        throw;
    }
    // Atomic: the name holds the old file or the new one, never a mix or nothing.
    if (renameInFolder(folderFd, openFile_->partialName, name, true) != 0) {
        const int error = errno;
        discardOpenFile();
        throw mappedWriteError(file.filename, error);
    }
    const fs::path destination = openFile_->folderPath / name;
    const std::shared_ptr<Descriptor> folder = openFile_->folder;
    openFile_.reset();
    // The name is this file's from now on, so that a retry goes back to it.
    AssetState& state = assets_[file.assetID];
    state.storedFiles[file.fileIndex] = StoredFile{destination, byteCount};
    sessionPathOwners_[asciiFolded(destination.string())] = FileKey{file.assetID, file.fileIndex};
    // Only a rename that reached the disk may be recorded.
    if (syncFile(folder->get()) != 0)
        throw mappedWriteError(file.filename, errno);
    // Told "stored", the phone would never send an asset again that no row remembers.
    if (!recordIfComplete(file))
        throw AssetSinkError::writeFailed(file.filename, UserFacingError::message(UserFacingError::Kind::writeFailed));
}

bool FileSystemAssetSink::recordIfComplete(const IncomingFile& file)
{
    const AssetDescriptor& asset = file.descriptor;
    if (!materialized_ || !materialized_->index || asset.files.empty())
        return true;
    const AssetState& state = assets_[file.assetID];
    std::int64_t byteCount = 0;
    for (std::size_t i = 0; i < asset.files.size(); ++i) {
        const auto stored = state.storedFiles.find(static_cast<std::int64_t>(i));
        if (stored == state.storedFiles.end())
            return true;
        byteCount = saturatingAdd(byteCount, stored->second.byteCount);
    }
    const std::int64_t primary = *primaryIndex(asset);
    return materialized_->index->record(asset.assetID, asset.files[static_cast<std::size_t>(primary)].filename,
        byteCount, asset.creationDate, state.storedFiles.at(primary).path.string(), asset.kind == AssetKind::video);
}

void FileSystemAssetSink::abortNow(const IncomingFile& file, const std::string& reason)
{
    discardOpenFile();
    logger_.notice("放弃 " + file.filename + "：" + reason);
}

void FileSystemAssetSink::finishSessionNow()
{
    discardOpenFile();
    materialized_.reset(); // closes the index and the folders
}

void FileSystemAssetSink::discardOpenFile()
{
    if (!openFile_)
        return;
    // Only the partial this sink made itself, under the name it made it with.
    if (openFile_->file) {
        openFile_->file.reset();
        ::unlinkat(openFile_->folder->get(), openFile_->partialName.c_str(), 0);
    }
    openFile_.reset();
}

// MARK: - Errors

AssetSinkError FileSystemAssetSink::mappedWriteError(const std::string& filename, const std::exception& error) const
{
    logger_.error("写入 " + filename + " 失败：" + error.what());
    if (const auto* index = dynamic_cast<const IndexError*>(&error)) {
        if (index->isVolumeFull())
            return AssetSinkError::insufficientSpace(0);
        if (index->isVolumeReadOnly())
            return AssetSinkError::writeFailed(filename, UserFacingError::message(UserFacingError::Kind::permissionDenied));
    }
    if (UserFacingError::isOutOfSpace(error))
        return AssetSinkError::insufficientSpace(0);
    // A file too large for the volume (4 GiB on FAT32) is no full disk.
    if (const auto* system = dynamic_cast<const std::system_error*>(&error); system && system->code().value() == EFBIG)
        return AssetSinkError::writeFailed(filename, UserFacingError::message(UserFacingError::Kind::writeFailed));
    return AssetSinkError::writeFailed(filename, UserFacingError::message(error));
}

AssetSinkError FileSystemAssetSink::mappedWriteError(const std::string& filename, int errorNumber) const
{
    return mappedWriteError(filename, std::system_error(errorNumber, std::generic_category()));
}

} // namespace p2p
