#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace p2p {

// The file system a path is reached through: its device number and the mount's id. Where the
// kernel has them (6.8 and later) mount ids are never handed out twice, so a drive unmounted and
// another mounted at the same folder, which may well get the same device number, is told apart.
struct FileSystemIdentity {
    std::uint64_t device = 0;
    std::optional<std::uint64_t> mount; // when the kernel tells

    friend bool operator==(const FileSystemIdentity&, const FileSystemIdentity&) = default;

    // Nothing when the path cannot be looked at (gone, no permission).
    static std::optional<FileSystemIdentity> of(const std::filesystem::path& path);
    // The file system an open file or folder is on, wherever its path leads now.
    static std::optional<FileSystemIdentity> of(int fd);
};

} // namespace p2p
