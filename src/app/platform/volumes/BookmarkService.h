#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace app {

struct ResolvedBookmark {
    QString path;
    // The folder was found again at another place; the caller should make a new bookmark.
    bool isStale = false;
};

// Durable access to a folder the user chose, across restarts and drive re-plugs.
class BookmarkService {
public:
    virtual ~BookmarkService() = default;

    virtual std::optional<QByteArray> makeBookmark(const QString& folderPath) = 0;
    virtual std::optional<ResolvedBookmark> resolveBookmark(const QByteArray& bookmark) = 0;
    // Access is a no-op on Linux, but callers keep start and stop paired.
    virtual bool startAccessing(const QString& path) = 0;
    virtual void stopAccessing(const QString& path) = 0;
    // Nothing when the volume of the path cannot be told.
    virtual std::optional<bool> volumeIsInternal(const QString& path) = 0;
};

} // namespace app
