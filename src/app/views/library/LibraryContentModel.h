#pragma once

#include "app/models/MediaItem.h"
#include "app/models/PhotoLibrary.h"
#include "app/models/SidebarDestination.h"
#include "app/services/library/KeptScans.h"
#include "app/services/library/MediaScanner.h"
#include "app/services/noncaptured/NonCapturedIndex.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QThreadPool;

namespace app {

class LibraryStore;

// Reads a folder into items; the page's seam over MediaScanner so tests can script scans.
// scan() runs on a worker thread and may call onProgress from any thread.
class FolderScanner {
public:
    virtual ~FolderScanner() = default;
    virtual MediaItems scan(const QString& root, const MediaScanner::ProgressCallback& onProgress,
                            const CancellationToken& cancel) = 0;
    // The last scan's items of `root` to show while the scan runs; nothing when none is kept or the
    // folder is not there as a folder. Runs on the scan's worker thread.
    virtual std::optional<MediaItems> keptItems(const QString& root)
    {
        (void)root;
        return std::nullopt;
    }
};

// Scans with the kept scans: shows the last result at once, reads only new or changed files, and
// keeps each finished scan.
class MediaFolderScanner final : public FolderScanner {
public:
    explicit MediaFolderScanner(std::shared_ptr<KeptScans> kept = KeptScans::shared(), MediaScanner scanner = MediaScanner());
    MediaItems scan(const QString& root, const MediaScanner::ProgressCallback& onProgress,
                    const CancellationToken& cancel) override;
    std::optional<MediaItems> keptItems(const QString& root) override;

private:
    std::shared_ptr<KeptScans> kept_;
    MediaScanner scanner_;
};

// The scan state of one library page. Lives on the main thread; every change is signalled once.
class LibraryContentModel : public QObject {
    Q_OBJECT
public:
    // The folder of a library, or nothing when its drive is not connected.
    using Resolver = std::function<std::optional<QString>(const PhotoLibrary&)>;

    LibraryContentModel(std::shared_ptr<FolderScanner> scanner, Resolver resolver, QObject* parent = nullptr);
    // Resolves through the store while it exists; nothing once it is gone.
    static Resolver storeResolver(LibraryStore* store);
    ~LibraryContentModel() override;

    const MediaItems& items() const { return items_; }
    bool isScanning() const { return isScanning_; }
    int scanned() const { return scanned_; }
    int total() const { return total_; }
    const std::optional<QString>& errorMessage() const { return errorMessage_; }

    // Starts a scan of the library's folder. A newer load supersedes an older one: only the latest
    // publishes its items and ends the scanning state; the older one is cancelled.
    void load(const PhotoLibrary& library);
    // Stops the running scan; it publishes nothing.
    void cancel();

    // The threads scans block on (not the scanner's own pool). Tests wait on it.
    static QThreadPool& scanThreads();

Q_SIGNALS:
    void itemsChanged();
    void isScanningChanged(bool scanning);
    void progressChanged(int scanned, int total);
    void errorMessageChanged();
    // The last scan found the folder gone or its drive failing; it published nothing.
    void folderUnavailable();

private:
    void setItems(const MediaItems& items);
    void setScanning(bool scanning);
    void setProgress(int scanned, int total);
    void setErrorMessage(const std::optional<QString>& message);

    std::shared_ptr<FolderScanner> scanner_;
    Resolver resolver_;
    MediaItems items_;
    bool isScanning_ = false;
    int scanned_ = 0;
    int total_ = 0;
    std::optional<QString> errorMessage_;
    quint64 generation_ = 0;
    CancellationToken token_;
};

// The page's derived values, free of widgets.
namespace LibraryPageRules {

enum class ContentState {
    unavailable,       // the folder cannot be reached
    scanning,          // a scan with nothing to show yet
    emptyFolder,       // no photos or videos at all
    needsConfirmation, // non-captured page before the user agreed to sorting
    organizing,        // sorting runs and nothing is flagged yet
    emptyFilter,       // nothing matches the filter
    grid,
};

struct Inputs {
    LibraryMediaFilter filter = LibraryMediaFilter::all;
    bool hasError = false;
    bool isScanning = false;
    int scanned = 0;
    int total = 0;
    qsizetype itemCount = 0;
    qsizetype displayedCount = 0;
    bool hasConfirmedOrganize = false;
    bool isClassifying = false; // this library's classification is running
    // A run is due: a scan is running or has ended and the index has not yet settled its items.
    bool classificationDue = false;
    std::optional<NonCapturedProgress> progress;
};

bool isOrganizingNonCaptured(const Inputs& in);
ContentState contentState(const Inputs& in);
QString organizingProgressText(const std::optional<NonCapturedProgress>& progress);
QString itemCountLabel(const Inputs& in);
QString navigationTitle(const QString& libraryName, LibraryMediaFilter filter);
QString unavailableMessage(const QString& libraryName);
// The photos and non-captured pages classify their items once the user confirmed sorting.
bool classifies(const Inputs& in);
// Classification runs after a finished scan on the photos and non-captured pages once confirmed.
bool shouldClassify(const Inputs& in);

} // namespace LibraryPageRules

} // namespace app
