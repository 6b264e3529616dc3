// Where a receive writes: the watched folder checked to be on the drive the wait began with, and
// everything below it made through the handle of what was checked, never by path, so that a drive
// pulled or swapped under its mount point meanwhile never gets the library's folders.

#include "p2p/backup/BackupFolderLayout.h"
#include "p2p/backup/FileSystemAssetSink.h"
#include "p2p/backup/PartialFileClaims.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace p2p {

namespace fs = std::filesystem;

namespace {

std::string folderLabel(const fs::path& folder)
{
    return (folder.has_filename() ? folder : folder.parent_path()).filename().string();
}

// A folder on the way is not there: the drive was pulled or the folder removed.
bool isMissingFolder(int error)
{
    return error == ENOENT || error == ENOTDIR;
}

bool isMissingFolder(const std::exception& error)
{
    const auto* system = dynamic_cast<const std::system_error*>(&error);
    return system && system->code().category() == std::generic_category() && isMissingFolder(system->code().value());
}

OwnedFd openFolderAt(int folderFd, const char* name)
{
    return OwnedFd(::openat(folderFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// The names in an open folder; none when it cannot be listed.
std::vector<std::string> namesIn(int folderFd)
{
    std::vector<std::string> names;
    OwnedFd listed = openFolderAt(folderFd, ".");
    DIR* dir = listed ? ::fdopendir(listed.get()) : nullptr;
    if (!dir)
        return names;
    (void)listed.release();
    while (const dirent* entry = ::readdir(dir)) {
        if (std::string_view(entry->d_name) != "." && std::string_view(entry->d_name) != "..")
            names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

} // namespace

fs::path FileSystemAssetSink::watchedFolderOfNewLibrary(const fs::path& parent, const std::string& folderName)
{
    struct stat info {};
    const fs::path folder = parent / folderName;
    return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? folder : parent;
}

void FileSystemAssetSink::expectFileSystem(const std::optional<FileSystemIdentity>& identity)
{
    // What the sink found itself may already be another drive's: only both agreeing counts.
    if (chosenFileSystem_ != identity)
        chosenFileSystem_.reset();
}

void FileSystemAssetSink::requireChosenFileSystem() const
{
    // A drive pulled from under its mount point leaves an empty folder of the system disk there,
    // and the next drive mounted there may be another.
    if (!chosenFileSystem_ || FileSystemIdentity::of(watchedFolder_) != chosenFileSystem_)
        throw libraryFolderMissing();
}

FileSystemAssetSink::Descriptor FileSystemAssetSink::openCheckedFolder() const
{
    // The handle is what is checked: whatever is mounted at the path a moment later, what is made
    // through it lands on the noted file system.
    Descriptor folder(::open(watchedFolder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder || !chosenFileSystem_ || FileSystemIdentity::of(folder.get()) != chosenFileSystem_)
        throw libraryFolderMissing();
    return folder;
}

void FileSystemAssetSink::materializeBackup(const Descriptor& library, const fs::path& inside, const DeviceInfo& peer)
{
    materialized_.reset();
    const std::string label = folderLabel(inside);
    // Nothing above the library folder is ever made: a backup must not land on the system disk
    // under the empty mount point of a drive that was pulled.
    auto failure = [&](const std::exception& error) {
        return isMissingFolder(error) ? libraryFolderMissing() : mappedWriteError(label, error);
    };
    BackupFolderLayout::OpenFolder root;
    try {
        root = BackupFolderLayout::resolveBackupRoot(library.get(), inside, peer);
    } catch (const std::exception& error) {
        throw failure(error);
    }
    setBackupRoot(root.path);

    Materialized made;
    made.root = root.path;
    auto open = [&](std::string_view folder) {
        Descriptor opened = openFolderAt(root.fd.get(), std::string(folder).c_str());
        if (!opened)
            throw failure(std::system_error(errno, std::generic_category()));
        return opened;
    };
    made.photos = std::make_shared<Descriptor>(open(BackupFolderLayout::photosFolderName));
    made.videos = std::make_shared<Descriptor>(open(BackupFolderLayout::videosFolderName));
    const Descriptor indexFolder = open(BackupFolderLayout::indexFolderName);
    try {
        made.index = std::make_unique<BackupIndex>(
            indexFolder.get(), std::string(BackupFolderLayout::indexFileName), environment_.indexVfs);
    } catch (const std::exception& error) {
        throw failure(error);
    }
    materialized_ = std::move(made);
    removeOrphanedPartials();
    logger_.info("接收目录：" + root.path.string());
}

FileSystemAssetSink::Descriptor FileSystemAssetSink::createPendingLibraryFolder(const Descriptor& parent)
{
    const fs::path folder = pendingParent_ / pendingFolderName_;
    const char* name = pendingFolderName_.c_str();
    const bool made = ::mkdirat(parent.get(), name, 0777) == 0;
    if (!made && errno != EEXIST) {
        const int error = errno;
        if (isMissingFolder(error))
            throw libraryFolderMissing(); // its parent: made by nobody but the user
        throw mappedWriteError(pendingFolderName_, error);
    }
    // A folder already there is used as it is, also one made by someone else meanwhile.
    Descriptor library = openFolderAt(parent.get(), name);
    if (!library)
        throw AssetSinkError::writeFailed(pendingFolderName_, "目标位置已有同名文件，请换一个图库名称");
    // Made or found inside the parent that was checked, it is on the parent's drive, unless
    // another drive was mounted there since.
    if (FileSystemIdentity::of(library.get()) != chosenFileSystem_)
        throw libraryFolderMissing();
    if (made)
        logger_.info("已创建新图库文件夹：" + folder.string());
    return library;
}

void FileSystemAssetSink::ensureReadyForWriting()
{
    if (materialized_)
        return;
    if (!pendingPeer_)
        throw AssetSinkError::sessionNotPrepared();
    if (!pendingNew_) {
        materializeBackup(openCheckedFolder(), *libraryRoot_, *pendingPeer_);
        return;
    }
    Descriptor watched = openCheckedFolder();
    const fs::path folder = pendingParent_ / pendingFolderName_;
    const Descriptor library = watchedFolder_ == folder ? std::move(watched) : createPendingLibraryFolder(watched);
    libraryRoot_ = folder;
    // Registered before anything else can fail, so the new folder never goes unlisted.
    if (onPendingLibraryMaterialized_)
        onPendingLibraryMaterialized_(folder);
    materializeBackup(library, folder, *pendingPeer_);
}

void FileSystemAssetSink::removeOrphanedPartials()
{
    for (const std::shared_ptr<Descriptor>& folder : {materialized_->photos, materialized_->videos}) {
        std::vector<std::string> orphans = namesIn(folder->get());
        std::erase_if(orphans, [](const std::string& name) {
            return name.size() <= partialSuffix.size() || !name.ends_with(partialSuffix);
        });
        // unlinkat without AT_REMOVEDIR never removes a folder, let alone its contents. A partial
        // that a receive of this program is writing is no leftover.
        const std::unique_lock claims = PartialFileClaims::lock();
        for (const std::string& name : orphans) {
            struct stat info {};
            if (::fstatat(folder->get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0
                && !PartialFileClaims::isClaimed(info))
                ::unlinkat(folder->get(), name.c_str(), 0);
        }
    }
}

AssetSinkError FileSystemAssetSink::libraryFolderMissing() const
{
    std::string name = libraryName_;
    if (name.empty())
        name = pendingNew_ ? pendingFolderName_ : folderLabel(*libraryRoot_);
    logger_.error("图库文件夹不存在：" + (pendingNew_ ? pendingParent_ / pendingFolderName_ : *libraryRoot_).string());
    return AssetSinkError::destinationUnavailable("找不到「" + name + "」的文件夹，移动硬盘可能没有连接。");
}

} // namespace p2p
