#pragma once

#include "app/platform/volumes/BookmarkService.h"

namespace app {

class MountTable;

// Bookmark data is our own JSON: {"v":1,"path":…,"fs":<file-system UUID>,"rel":<path inside that fs>},
// or, for a file system without a UUID, {"v":1,"path":…,"mnt":<its mount point>}.
// A bookmark is fresh while its path is a folder on that file system; when the file system turns up
// at another mount point the folder is found there and the bookmark is stale. Without a UUID
// (no /dev/disk/by-uuid, tmpfs) the path is used while the file system is still mounted there.
class LinuxBookmarkService final : public BookmarkService {
public:
    explicit LinuxBookmarkService(MountTable& mounts) : m_mounts(mounts) {}

    std::optional<QByteArray> makeBookmark(const QString& folderPath) override;
    std::optional<ResolvedBookmark> resolveBookmark(const QByteArray& bookmark) override;
    bool startAccessing(const QString&) override { return true; }
    void stopAccessing(const QString&) override {}
    std::optional<bool> volumeIsInternal(const QString& path) override;

private:
    MountTable& m_mounts;
};

} // namespace app
