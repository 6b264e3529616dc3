#include "p2p/backup/BackupFolderLayout.h"

#include "p2p/backup/SafeFileName.h"

#include <nlohmann/json.hpp>

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

bool itemExists(const fs::path& path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::optional<std::string> readSmallFile(const fs::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
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
fs::path makeFreshFolder(const fs::path& inside, const std::string& name)
{
    for (std::int64_t number = 1;; ++number) {
        // A name already at the limit gives up its end for the number.
        const std::string suffix = number == 1 ? std::string() : "_" + std::to_string(number);
        const std::string candidate = std::string(utf8Prefix(name, longestFolderName - suffix.size())) + suffix;
        const fs::path path = inside / candidate;
        if (::mkdir(path.c_str(), 0777) == 0)
            return path;
        if (errno != EEXIST)
            throw fs::filesystem_error("mkdir", path, std::error_code(errno, std::generic_category()));
    }
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
    const std::string name = folderName(peer);
    // Never made here: a missing library folder is a drive that is gone, not a folder to create.
    struct stat info {};
    if (::stat(inside.c_str(), &info) != 0)
        throw fs::filesystem_error("stat", inside, std::error_code(errno, std::generic_category()));
    if (!S_ISDIR(info.st_mode))
        throw fs::filesystem_error("stat", inside, std::make_error_code(std::errc::not_a_directory));

    // The library folder already is a backup folder, by its name or by its marker.
    const fs::path named = inside.has_filename() ? inside : inside.parent_path(); // "lib/" is "lib"
    if (startsWithPrefix(named.filename().string()) || itemExists(inside / markerFileName)) {
        prepareSubdirectories(inside);
        return inside;
    }

    std::vector<fs::path> candidates;
    std::error_code ignored;
    for (fs::directory_iterator it(inside, ignored), end; !ignored && it != end; it.increment(ignored)) {
        const std::string child = it->path().filename().string();
        if (child.empty() || child.front() == '.' || !startsWithPrefix(child))
            continue;
        std::error_code propertyError;
        if (it->is_directory(propertyError) && !propertyError)
            candidates.push_back(it->path());
    }

    std::vector<std::optional<DeviceMarker>> markers;
    markers.reserve(candidates.size());
    for (const fs::path& candidate : candidates)
        markers.push_back(readMarker(candidate));

    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (markers[i] && markers[i]->deviceId == peer.identifier) {
            prepareSubdirectories(candidates[i]);
            return candidates[i];
        }
    }
    // A folder of this name is this phone's unless its marker names another phone.
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (candidates[i].filename() == name && !markers[i]) {
            prepareSubdirectories(candidates[i]);
            return candidates[i];
        }
    }

    const fs::path root = makeFreshFolder(inside, name);
    DeviceMarker marker;
    marker.deviceId = peer.identifier;
    marker.deviceName = peer.name;
    const std::chrono::duration<double> now = std::chrono::system_clock::now().time_since_epoch();
    marker.createdAt = now.count() - markerEpochOffset;
    writeMarker(root, marker);
    prepareSubdirectories(root);
    return root;
}

void BackupFolderLayout::prepareSubdirectories(const fs::path& backupRoot)
{
    // One level each: the backup folder itself must be there already.
    for (const std::string_view sub : {photosFolderName, videosFolderName, indexFolderName})
        fs::create_directory(backupRoot / sub);
}

std::optional<BackupFolderLayout::DeviceMarker> BackupFolderLayout::readMarker(const fs::path& folder)
{
    const std::optional<std::string> text = readSmallFile(folder / markerFileName);
    if (!text)
        return std::nullopt;
    return DeviceMarker::decode(*text);
}

void BackupFolderLayout::writeMarker(const fs::path& folder, const DeviceMarker& marker)
{
    const fs::path temporary = folder / (std::string(markerFileName) + ".tmp");
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0)
        return;
    const bool written = writeAll(fd, marker.encode()) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), (folder / markerFileName).c_str()) != 0)
        ::unlink(temporary.c_str());
}

} // namespace p2p
