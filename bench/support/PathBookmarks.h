#pragma once

#include "app/platform/volumes/BookmarkService.h"

namespace bench {

// Libraries in a benchmark live on an internal disk that never goes away: a bookmark is its path.
class PathBookmarks final : public app::BookmarkService {
public:
    std::optional<QByteArray> makeBookmark(const QString& folderPath) override { return folderPath.toUtf8(); }
    std::optional<app::ResolvedBookmark> resolveBookmark(const QByteArray& bookmark) override
    {
        return app::ResolvedBookmark{QString::fromUtf8(bookmark), false};
    }
    bool startAccessing(const QString&) override { return true; }
    void stopAccessing(const QString&) override {}
    std::optional<bool> volumeIsInternal(const QString&) override { return true; }
};

} // namespace bench
