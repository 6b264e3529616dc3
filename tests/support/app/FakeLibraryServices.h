#pragma once

#include "app/platform/volumes/BookmarkService.h"
#include "app/platform/desktop/FileRevealer.h"
#include "app/platform/desktop/FolderChooser.h"
#include "app/platform/volumes/VolumeMonitor.h"
#include "app/services/library/LibraryStore.h"

#include <QHash>
#include <QSet>
#include <QStringList>

#include <optional>

namespace app::testing {

// Bookmarks are "fake:" + path. A path can be made to move (stale), to fail, or to refuse access.
class FakeBookmarkService final : public BookmarkService {
public:
    std::optional<QByteArray> makeBookmark(const QString& folderPath) override
    {
        if (unbookmarkable.contains(folderPath))
            return std::nullopt;
        ++madeBookmarks;
        return "fake:" + folderPath.toUtf8();
    }

    std::optional<ResolvedBookmark> resolveBookmark(const QByteArray& bookmark) override
    {
        if (!bookmark.startsWith("fake:"))
            return std::nullopt;
        const QString path = QString::fromUtf8(bookmark.mid(5));
        if (unresolvable.contains(path))
            return std::nullopt;
        if (moved.contains(path))
            return ResolvedBookmark{moved.value(path), true};
        return ResolvedBookmark{path, false};
    }

    bool startAccessing(const QString& path) override
    {
        if (refused.contains(path))
            return false;
        ++started[path];
        return true;
    }

    void stopAccessing(const QString& path) override { ++stopped[path]; }

    std::optional<bool> volumeIsInternal(const QString&) override { return internal; }

    QSet<QString> unbookmarkable;
    QSet<QString> unresolvable;
    QSet<QString> refused;
    QHash<QString, QString> moved;
    std::optional<bool> internal = true;
    QHash<QString, int> started;
    QHash<QString, int> stopped;
    int madeBookmarks = 0;
};

class FakeVolumeMonitor final : public VolumeMonitor {
public:
    void fire() { Q_EMIT volumesChanged(); }
};

class FakeFolderChooser final : public FolderChooser {
public:
    std::optional<QString> chooseFolder() override
    {
        ++calls;
        return answer;
    }
    std::optional<QString> answer;
    int calls = 0;
};

class FakeFileRevealer final : public FileRevealer {
public:
    void reveal(const QString& path) override { revealed.append(path); }
    QStringList revealed;
};

// Everything a LibraryStore needs, faked.
struct FakeLibraryServices {
    FakeBookmarkService bookmarks;
    FakeVolumeMonitor volumes;
    FakeFolderChooser chooser;
    FakeFileRevealer revealer;

    // Folder checks answer at once, on the calling thread.
    LibraryStore::Services services()
    {
        return {&bookmarks, &volumes, &chooser, &revealer, [](const std::function<void()>& probe) { probe(); }};
    }
};

} // namespace app::testing
