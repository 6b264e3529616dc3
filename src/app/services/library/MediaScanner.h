#pragma once

#include "app/models/MediaItem.h"
#include "app/platform/metadata/MediaProbe.h"
#include "app/services/library/CaptureDates.h"
#include "app/services/library/KeptScan.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <stdexcept>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QThreadPool;

namespace app {

// A shared stop flag: copies share one flag. The owner of a job calls cancel(); the job checks
// isCancelled() at its safe points. Starting a new job with a new token leaves the old flag set.
class CancellationToken {
public:
    CancellationToken() : flag_(std::make_shared<std::atomic_bool>(false)) {}
    void cancel() const { flag_->store(true, std::memory_order_relaxed); }
    bool isCancelled() const { return flag_->load(std::memory_order_relaxed); }

private:
    std::shared_ptr<std::atomic_bool> flag_;
};

// The library's folder vanished (renamed, unmounted, share gone) or its drive failed (EIO, ENOTCONN)
// during a scan: the scan has nothing to publish.
class FolderUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads one library folder into media items, newest first. Stateless between calls; writes nothing
// but removes the stale copies a crashed rotation left in the folders it walks.
class MediaScanner {
public:
    // (processed, total); called from the scanning thread, never posted to the main thread.
    using ProgressCallback = std::function<void(qsizetype processed, qsizetype total)>;

    // One file that becomes one item.
    struct Entry {
        QString url;
        MediaKind kind = MediaKind::photo;
        bool isLivePhoto = false;
        std::optional<QString> liveVideoURL;
        friend bool operator==(const Entry&, const Entry&) = default;
    };

    // Files between two progress reports.
    static constexpr qsizetype runSize = 32;

    explicit MediaScanner(std::shared_ptr<const MediaProbe> probe = MediaProbe::system(),
                          CaptureDates dates = CaptureDates());

    // Blocks until done or cancelled. Call it from a worker thread (not the main thread and not a
    // thread of scanPool()). workerCount() workers read files; cancellation stops them taking more,
    // and a cancelled scan returns the items of the files read, sorted. Progress is reported once
    // before reading and then every runSize files. An unreadable root gives an empty list; a root
    // that is gone or is no folder, or reads failing with EIO or ENOTCONN, throw FolderUnavailable.
    MediaItems scan(const QString& root, const ProgressCallback& onProgress,
                    const CancellationToken& cancel = CancellationToken()) const;
    // Same, reading only the files that are not in `previous` with the same stamp; `learned`
    // receives what is now known of every file of the result.
    MediaItems scan(const QString& root, const ProgressCallback& onProgress, const CancellationToken& cancel,
                    const KeptFiles* previous, KeptFiles* learned) const;
    static qsizetype workerCount();

    // Media files under `root`, folder by folder, names sorted byte-wise in each folder. Hidden
    // entries, ignored folders and bundles are skipped; symbolic links are never followed; an
    // unreadable folder loses only its own subtree.
    static QStringList enumerateMediaFiles(const QString& root);
    // Same; sets `driveFailed` when a folder could not be read because the drive is gone or failing.
    static QStringList enumerateMediaFiles(const QString& root, bool& driveFailed);
    // Same; with `stamps`, each file's stamp in the list's order (files that vanish meanwhile are left out).
    static QStringList enumerateMediaFiles(const QString& root, bool& driveFailed, std::vector<FileStamp>* stamps);
    // A photo and a .mov of the same stem in the same folder become one live photo.
    static QList<Entry> pairLivePhotos(const QStringList& files);
    // Same; `sources` receives each entry's index in `files`.
    static QList<Entry> pairLivePhotos(const QStringList& files, std::vector<qsizetype>* sources);
    // Folder path kept exact, file stem lower-cased, extension removed.
    static QString pairKey(const QString& path);
    MediaItem makeItem(const Entry& entry) const;
    // Same, for a file whose size the walk already knows.
    MediaItem makeItem(const Entry& entry, qint64 knownSize) const;

    static const QSet<QString>& ignoredDirectoryNames();
    // The pool that builds items; its own threads so a blocked caller cannot starve it.
    static QThreadPool& scanPool();

    const CaptureDates& dates() const { return dates_; }

private:
    std::shared_ptr<const MediaProbe> probe_;
    CaptureDates dates_;
};

} // namespace app
