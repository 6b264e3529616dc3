// Where a received file goes: the name it asks for, and the name it gets when that is taken.

#include "p2p/backup/AssetFileRoles.h"
#include "p2p/backup/FileSystemAssetSink.h"
#include "p2p/backup/SafeFileName.h"
#include "p2p/protocol/errors/UserFacingError.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace p2p {

namespace fs = std::filesystem;

namespace {

// Beyond this many numbered names something is wrong with the folder, not with the name.
constexpr std::int64_t highestNameNumber = 10000;

std::string withStem(std::string_view stem, std::string_view extension)
{
    return std::string(utf8Prefix(stem, maximumStoredNameByteCount - extension.size())) + std::string(extension);
}

std::optional<std::uint32_t> checksumOfFile(int folderFd, const std::string& name)
{
    const int fd = ::openat(folderFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    CRC32 checksum;
    std::vector<std::uint8_t> buffer(1 << 20);
    for (;;) {
        const ssize_t count = ::read(fd, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (count == 0)
            break;
        checksum.update(buffer.data(), static_cast<std::size_t>(count));
    }
    ::close(fd);
    return checksum.value();
}

IncomingFile sibling(const IncomingFile& file, std::int64_t index)
{
    IncomingFile other = file;
    other.fileIndex = index;
    other.filename = file.descriptor.files.at(static_cast<std::size_t>(index)).filename;
    return other;
}

} // namespace

std::string FileSystemAssetSink::preferredName(const IncomingFile& file) const
{
    const AssetDescriptor& asset = file.descriptor;
    if (isPairedVideo(asset, file.fileIndex)) {
        if (const std::optional<std::int64_t> primary = primaryIndex(asset)) {
            const std::string still = safeFileComponent(
                asset.files[static_cast<std::size_t>(*primary)].filename, asset.assetID, *primary);
            return withStem(fileStem(still), ".MOV");
        }
    }
    return safeFileComponent(file.filename, file.assetID, file.fileIndex);
}

std::string FileSystemAssetSink::finalName(const IncomingFile& file, const OpenFile& open, std::int64_t byteCount)
{
    AssetState& state = assets_[file.assetID];
    // Sent again in this session: the same file, back under the name it got the first time.
    if (const auto stored = state.storedFiles.find(file.fileIndex); stored != state.storedFiles.end())
        return stored->second.path.filename().string();

    const Contents incoming = byteCount;
    const std::optional<std::int64_t> partner = livePhotoPartner(file.descriptor, file.fileIndex);
    const auto storedPartner = partner ? state.storedFiles.find(*partner) : state.storedFiles.end();
    if (storedPartner == state.storedFiles.end())
        return freeName(file, open, preferredName(file), incoming, partner);

    // The other half of the live photo is in: this one takes its stem, or both move.
    const std::string name = withStem(fileStem(storedPartner->second.path.filename().string()),
        fileExtension(preferredName(file)));
    if (!isTakenByOther(open, name, file, incoming))
        return name;
    return moveStoredPartner(file, open, name, incoming, *partner);
}

std::string FileSystemAssetSink::freeName(const IncomingFile& file, const OpenFile& open, const std::string& preferred,
    const Contents& incoming, const std::optional<std::int64_t>& partner)
{
    const std::string partnerExtension = partner ? std::string(fileExtension(preferredName(sibling(file, *partner)))) : "";
    for (std::int64_t number = 1; number <= highestNameNumber; ++number) {
        const std::string candidate = number == 1 ? preferred : numberedFileName(preferred, number);
        if (isTakenByOther(open, candidate, file, incoming))
            continue;
        // The other half of a live photo must find its name free under the same stem. Nobody's
        // file there is judged when that half arrives (it may be its own earlier copy).
        if (partner
            && isTakenByOther(open, withStem(fileStem(candidate), partnerExtension), sibling(file, *partner), std::nullopt))
            continue;
        return candidate;
    }
    throw AssetSinkError::writeFailed(file.filename, UserFacingError::message(UserFacingError::Kind::writeFailed));
}

std::string FileSystemAssetSink::moveStoredPartner(const IncomingFile& file, const OpenFile& open,
    const std::string& preferred, const Contents& incoming, std::int64_t partner)
{
    StoredFile& stored = assets_[file.assetID].storedFiles[partner];
    const std::string partnerName = stored.path.filename().string();
    const int folderFd = open.folder->get();
    for (std::int64_t number = 2; number <= highestNameNumber; ++number) {
        const std::string candidate = numberedFileName(preferred, number);
        const std::string moved = withStem(fileStem(candidate), fileExtension(partnerName));
        if (isTakenByOther(open, candidate, file, incoming) || nameTaken(open.folderPath, folderFd, moved))
            continue;
        // Never over anything: the stored half only moves to a name nothing holds.
        if (renameInFolder(folderFd, partnerName, moved, false) != 0) {
            if (errno == EEXIST)
                continue;
            throw mappedWriteError(file.filename, errno);
        }
        logger_.info("实况照片成对改名：" + partnerName + " → " + moved);
        sessionPathOwners_.erase(asciiFolded(stored.path.string()));
        stored.path = open.folderPath / moved;
        sessionPathOwners_[asciiFolded(stored.path.string())] = FileKey{file.assetID, partner};
        return candidate;
    }
    throw AssetSinkError::writeFailed(file.filename, UserFacingError::message(UserFacingError::Kind::writeFailed));
}

bool FileSystemAssetSink::nameTaken(const fs::path& folder, int folderFd, const std::string& name) const
{
    if (environment_.nameTaken)
        return environment_.nameTaken(folder, name);
    struct stat info {};
    // Anything but "no such name" counts as taken.
    return ::fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

bool FileSystemAssetSink::isTakenByOther(
    const OpenFile& open, const std::string& name, const IncomingFile& file, const std::optional<Contents>& incoming) const
{
    const int folderFd = open.folder->get();
    if (!nameTaken(open.folderPath, folderFd, name))
        return false;
    struct stat info {};
    // A folder, a link, or a name only a case-insensitive volume answers to: never replaced.
    if (::fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
        return true;
    const fs::path path = open.folderPath / name;
    // Stored in this session (folded: the volume may see the name in another case).
    if (const auto owner = sessionPathOwners_.find(asciiFolded(path.string())); owner != sessionPathOwners_.end())
        return !(owner->second == FileKey{file.assetID, file.fileIndex});
    if (materialized_ && materialized_->index) {
        // A row knows its primary file's path and, by the stem, the movie beside it. The stem is
        // proof only for the row's own asset: another asset's movie of that stem is nobody's
        // file here, judged by its bytes like one whose row was lost.
        if (const std::optional<BackupIndex::FileOwner> owner = materialized_->index->fileOwner(path)) {
            const bool isPrimary = primaryIndex(file.descriptor) == file.fileIndex;
            if (owner->assetID == file.assetID)
                return owner->isPrimary != isPrimary;
            if (owner->isPrimary)
                return true;
        }
    }
    // Nobody's file: left by a backup cut off before its row was written, or put there by hand.
    // Only the same bytes are the same file.
    if (!incoming)
        return false;
    if (info.st_size != *incoming)
        return true;
    const std::optional<std::uint32_t> ours = checksumOfFile(folderFd, open.partialName);
    return !ours || checksumOfFile(folderFd, name) != ours;
}

int FileSystemAssetSink::syncFile(int fd) const
{
    return environment_.fsync ? environment_.fsync(fd) : ::fsync(fd);
}

int FileSystemAssetSink::renameInFolder(int folderFd, const std::string& from, const std::string& to, bool replace) const
{
    const unsigned flags = replace ? 0 : RENAME_NOREPLACE;
    if (environment_.rename)
        return environment_.rename(folderFd, from.c_str(), to.c_str(), flags);
    const int result = ::renameat2(folderFd, from.c_str(), folderFd, to.c_str(), flags);
    if (result == 0 || replace || (errno != EINVAL && errno != ENOSYS))
        return result;
    // A volume without RENAME_NOREPLACE (some FUSE ones): this sink is the folder's only writer.
    struct stat info {};
    if (::fstatat(folderFd, to.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
        errno = EEXIST;
        return -1;
    }
    return ::renameat(folderFd, from.c_str(), folderFd, to.c_str());
}

} // namespace p2p
