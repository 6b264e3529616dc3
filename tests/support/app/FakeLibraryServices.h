#pragma once

#include "app/platform/volumes/BookmarkService.h"
#include "app/platform/desktop/FileRevealer.h"
#include "app/platform/desktop/FolderChooser.h"
#include "app/platform/volumes/VolumeMonitor.h"
#include "app/services/library/LibraryStore.h"

#include <QHash>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
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

// Resolving and making a bookmark wait at a gate, as on a drive whose file system hangs. The gate
// opens by itself after ten seconds so that a store that waits for it on the main thread fails
// instead of hanging; waitedOut() counts those waits. Closed to making only, it is a drive that
// still finds its folders but hangs when a new one is recorded.
class GatedBookmarks final : public BookmarkService {
public:
    std::optional<QByteArray> makeBookmark(const QString& path) override
    {
        waitAtGate(open_);
        return "fake:" + path.toUtf8();
    }
    std::optional<ResolvedBookmark> resolveBookmark(const QByteArray& bookmark) override
    {
        waitAtGate(resolvingOpen_);
        return ResolvedBookmark{QString::fromUtf8(bookmark.mid(5)), false};
    }
    bool startAccessing(const QString&) override { return true; }
    void stopAccessing(const QString&) override {}
    std::optional<bool> volumeIsInternal(const QString&) override { return true; }

    void setOpen(bool open)
    {
        std::lock_guard lock(mutex_);
        open_ = resolvingOpen_ = open;
        changed_.notify_all();
    }
    void closeToMaking()
    {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    int calls()
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    int maxInFlight()
    {
        std::lock_guard lock(mutex_);
        return maxInFlight_;
    }
    int waiting()
    {
        std::lock_guard lock(mutex_);
        return inFlight_;
    }
    int waitedOut()
    {
        std::lock_guard lock(mutex_);
        return waitedOut_;
    }

private:
    void waitAtGate(const bool& gate)
    {
        std::unique_lock lock(mutex_);
        ++calls_;
        maxInFlight_ = std::max(maxInFlight_, ++inFlight_);
        if (!changed_.wait_for(lock, std::chrono::seconds(10), [&gate] { return gate; }))
            ++waitedOut_;
        --inFlight_;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    bool resolvingOpen_ = false;
    int calls_ = 0;
    int inFlight_ = 0;
    int maxInFlight_ = 0;
    int waitedOut_ = 0;
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
