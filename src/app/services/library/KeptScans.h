#pragma once

#include "app/models/MediaItem.h"
#include "app/services/library/KeptScan.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <memory>
#include <mutex>
#include <vector>

class QThreadPool;

namespace app {

// The last scan of each library folder, in memory for the session and on disk between sessions
// (one file per folder in the cache folder). Safe from any thread; disk writes run on a thread of
// their own, never on the caller's.
class KeptScans {
public:
    class Scan {
    public:
        Scan(MediaItems items, KeptFiles files);
        // `facts[i]` belongs to `items[i]`; the table by path is made when first asked for.
        Scan(MediaItems items, std::vector<KeptFile> facts);

        MediaItems items;
        // What was read of each file, by path. A page shows a kept scan without it; only the
        // rescan behind it needs the table.
        const KeptFiles& files() const;

    private:
        mutable std::once_flag keyed_;
        mutable KeptFiles files_;
        mutable std::vector<KeptFile> facts_;
    };

    // `cacheFolder` empty: the program's XDG cache folder + "/scans".
    explicit KeptScans(QString cacheFolder = QString(), QByteArray timeZoneId = QByteArray());
    ~KeptScans();

    // The process's instance over the user's cache folder.
    static std::shared_ptr<KeptScans> shared();

    // The last scan of `root`: from memory, else read from its file (on the calling thread); nothing
    // when there is none or its file cannot be trusted.
    std::shared_ptr<const Scan> last(const QString& root);
    // Keeps a finished scan; writes its file in the background when it differs from the last one.
    void keep(const QString& root, MediaItems items, KeptFiles files);
    // Forgets what was read of the file at `path` in the kept scan of every folder above it, so
    // the next scan reads it again: for a change its stamp does not show (a rotation keeps size
    // and times). Reads kept files on the calling thread.
    void forgetFile(const QString& path);
    // Waits for the background writes (tests, benchmarks).
    void waitForWrites();

    QString fileFor(const QString& root) const;
    const QString& cacheFolder() const { return folder_; }

private:
    const QString folder_;
    const QByteArray timeZoneId_;
    std::mutex mutex_;
    QHash<QString, std::shared_ptr<const Scan>> scans_;
    std::unique_ptr<QThreadPool> writer_;
};

} // namespace app
