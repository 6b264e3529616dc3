#include "p2p/backup/BackupFolderLayout.h"

#include "p2p/backup/SafeFileName.h"

#include <nlohmann/json.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <vector>

namespace p2p {

namespace fs = std::filesystem;

namespace {

// A marker is a few hundred bytes; a drive may hold anything under that name.
constexpr std::size_t largestMarkerByteCount = 64 * 1024;
// Bytes in one folder name on every common file system.
constexpr std::size_t longestFolderName = 255;

bool startsWithPrefix(const std::string& name)
{
    return name.compare(0, BackupFolderLayout::folderPrefix.size(), BackupFolderLayout::folderPrefix) == 0;
}

std::error_code lastError()
{
    return std::error_code(errno, std::generic_category());
}

bool itemExists(int folderFd, std::string_view name)
{
    struct stat info {};
    return ::fstatat(folderFd, std::string(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

// A folder inside `folderFd`, symbolic links followed as a path would follow them.
OwnedFd openFolder(int folderFd, const std::string& name)
{
    return OwnedFd(::openat(folderFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::optional<std::string> readSmallFile(int folderFd, std::string_view name)
{
    const int fd = ::openat(folderFd, std::string(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0 || text.size() + static_cast<std::size_t>(count) > largestMarkerByteCount) {
            ::close(fd);
            if (count == 0)
                return text;
            return std::nullopt;
        }
        text.append(buffer, static_cast<std::size_t>(count));
    }
}

std::optional<BackupFolderLayout::DeviceMarker> readMarkerAt(int folderFd)
{
    const std::optional<std::string> text = readSmallFile(folderFd, BackupFolderLayout::markerFileName);
    if (!text)
        return std::nullopt;
    return BackupFolderLayout::DeviceMarker::decode(*text);
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

// The first free "<name>", "<name>_2", … made with mkdir itself, so two backups racing for a name
// never share one.
std::string makeFreshFolder(int insideFd, const fs::path& inside, const std::string& name)
{
    for (std::int64_t number = 1;; ++number) {
        // A name already at the limit gives up its end for the number.
        const std::string suffix = number == 1 ? std::string() : "_" + std::to_string(number);
        const std::string candidate = std::string(utf8Prefix(name, longestFolderName - suffix.size())) + suffix;
        if (::mkdirat(insideFd, candidate.c_str(), 0777) == 0)
            return candidate;
        if (errno != EEXIST)
            throw fs::filesystem_error("mkdir", inside / candidate, lastError());
    }
}

// Photos, Videos and .backupdb, one level each (an existing folder is fine); throws the first failure.
void prepareSubdirectories(int backupRootFd, const fs::path& backupRoot)
{
    for (const std::string_view sub : {BackupFolderLayout::photosFolderName, BackupFolderLayout::videosFolderName,
             BackupFolderLayout::indexFolderName}) {
        const std::string name(sub);
        if (::mkdirat(backupRootFd, name.c_str(), 0777) == 0)
            continue;
        const std::error_code error = lastError();
        struct stat info {};
        if (error.value() != EEXIST || ::fstatat(backupRootFd, name.c_str(), &info, 0) != 0 || !S_ISDIR(info.st_mode))
            throw fs::filesystem_error("mkdir", backupRoot / name, error);
    }
}

// Written to a temporary name, flushed and renamed into place; failures are ignored (the folder is
// then found again by its name).
void writeMarker(int folderFd, const BackupFolderLayout::DeviceMarker& marker)
{
    const std::string temporary = std::string(BackupFolderLayout::markerFileName) + ".tmp";
    const int fd = ::openat(folderFd, temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0)
        return;
    const bool written = writeAll(fd, marker.encode()) && ::fsync(fd) == 0;
    ::close(fd);
    const std::string final(BackupFolderLayout::markerFileName);
    if (!written || ::renameat(folderFd, temporary.c_str(), folderFd, final.c_str()) != 0)
        ::unlinkat(folderFd, temporary.c_str(), 0);
}

} // namespace

std::string BackupFolderLayout::DeviceMarker::encode() const
{
    nlohmann::ordered_json object;
    object["deviceId"] = deviceId;
    object["deviceName"] = deviceName;
    object["createdAt"] = createdAt;
    // Names from the phone are UTF-8 after decoding; a stray byte must not stop the write.
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::optional<BackupFolderLayout::DeviceMarker> BackupFolderLayout::DeviceMarker::decode(std::string_view text)
{
    const nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
    if (!object.is_object())
        return std::nullopt;
    const auto id = object.find("deviceId");
    const auto name = object.find("deviceName");
    const auto created = object.find("createdAt");
    if (id == object.end() || name == object.end() || created == object.end() || !id->is_string()
        || !name->is_string() || !created->is_number())
        return std::nullopt;
    DeviceMarker marker;
    marker.deviceId = id->get<std::string>();
    marker.deviceName = name->get<std::string>();
    marker.createdAt = created->get<double>();
    return marker;
}

std::string BackupFolderLayout::folderName(const DeviceInfo& peer)
{
    // The same characters as in file names: exFAT refuses a folder with a control character too.
    return std::string(utf8Prefix(std::string(folderPrefix) + replaceRefusedCharacters(peer.name), longestFolderName));
}

fs::path BackupFolderLayout::resolveBackupRoot(const fs::path& inside, const DeviceInfo& peer)
{
    // Never made here: a missing library folder is a drive that is gone, not a folder to create.
    const OwnedFd folder(::open(inside.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder)
        throw fs::filesystem_error("open", inside, lastError());
    return resolveBackupRoot(folder.get(), inside, peer).path;
}

BackupFolderLayout::OpenFolder BackupFolderLayout::resolveBackupRoot(
    int insideFd, const fs::path& inside, const DeviceInfo& peer)
{
    const std::string name = folderName(peer);
    auto opened = [&](const std::string& child) {
        OpenFolder folder {inside / child, openFolder(insideFd, child)};
        if (!folder.fd)
            throw fs::filesystem_error("open", folder.path, lastError());
        prepareSubdirectories(folder.fd.get(), folder.path);
        return folder;
    };

    // The library folder already is a backup folder, by its name or by its marker.
    const fs::path named = inside.has_filename() ? inside : inside.parent_path(); // "lib/" is "lib"
    if (startsWithPrefix(named.filename().string()) || itemExists(insideFd, markerFileName)) {
        OpenFolder folder = opened(".");
        folder.path = inside;
        return folder;
    }

    std::vector<std::string> candidates;
    if (OwnedFd listed = openFolder(insideFd, ".")) {
        if (DIR* dir = ::fdopendir(listed.get())) {
            (void)listed.release();
            while (const dirent* entry = ::readdir(dir)) {
                const std::string child = entry->d_name;
                struct stat info {};
                if (child.empty() || child.front() == '.' || !startsWithPrefix(child))
                    continue;
                if (::fstatat(::dirfd(dir), child.c_str(), &info, 0) == 0 && S_ISDIR(info.st_mode))
                    candidates.push_back(child);
            }
            ::closedir(dir);
        }
    }
    std::vector<std::optional<DeviceMarker>> markers;
    markers.reserve(candidates.size());
    for (const std::string& candidate : candidates) {
        const OwnedFd folder = openFolder(insideFd, candidate);
        markers.push_back(folder ? readMarkerAt(folder.get()) : std::nullopt);
    }

    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (markers[i] && markers[i]->deviceId == peer.identifier)
            return opened(candidates[i]);
    }
    // A folder of this name is this phone's unless its marker names another phone.
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (candidates[i] == name && !markers[i])
            return opened(candidates[i]);
    }

    const std::string fresh = makeFreshFolder(insideFd, inside, name);
    OpenFolder folder {inside / fresh, openFolder(insideFd, fresh)};
    if (!folder.fd)
        throw fs::filesystem_error("open", folder.path, lastError());
    DeviceMarker marker;
    marker.deviceId = peer.identifier;
    marker.deviceName = peer.name;
    const std::chrono::duration<double> now = std::chrono::system_clock::now().time_since_epoch();
    marker.createdAt = now.count() - markerEpochOffset;
    writeMarker(folder.fd.get(), marker);
    prepareSubdirectories(folder.fd.get(), folder.path);
    return folder;
}

std::optional<BackupFolderLayout::DeviceMarker> BackupFolderLayout::readMarker(const fs::path& folder)
{
    const OwnedFd opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return opened ? readMarkerAt(opened.get()) : std::nullopt;
}

} // namespace p2p
