#include "app/views/library/LibraryContentModel.h"

#include "app/platform/desktop/ExitWait.h"
#include "app/services/library/LibraryStore.h"
#include "app/services/noncaptured/NonCapturedIndex.h"

#include <QCoreApplication>
#include <QFile>
#include <QMetaObject>
#include <QPointer>
#include <QThreadPool>

#include <algorithm>
#include <limits>

#include <sys/stat.h>

namespace app {

MediaFolderScanner::MediaFolderScanner(std::shared_ptr<KeptScans> kept, MediaScanner scanner)
    : kept_(std::move(kept)), scanner_(std::move(scanner))
{
}

MediaItems MediaFolderScanner::scan(const QString& root, const MediaScanner::ProgressCallback& onProgress,
                                    const CancellationToken& cancel)
{
    if (!kept_)
        return scanner_.scan(root, onProgress, cancel);
    const std::shared_ptr<const KeptScans::Scan> last = kept_->last(root);
    KeptFiles learned;
    MediaItems items = scanner_.scan(root, onProgress, cancel, last ? &last->files() : nullptr, &learned);
    // A cancelled scan is partial: the last whole one stays kept.
    if (!cancel.isCancelled())
        kept_->keep(root, items, std::move(learned));
    return items;
}

std::optional<MediaItems> MediaFolderScanner::keptItems(const QString& root)
{
    // A folder that is gone is unavailable, never shown from what was kept of it.
    struct stat st {};
    if (!kept_ || ::stat(QFile::encodeName(root).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    const std::shared_ptr<const KeptScans::Scan> last = kept_->last(root);
    if (!last)
        return std::nullopt;
    return last->items;
}

LibraryContentModel::LibraryContentModel(std::shared_ptr<FolderScanner> scanner, Resolver resolver, QObject* parent)
    : QObject(parent), scanner_(std::move(scanner)), resolver_(std::move(resolver))
{
}

LibraryContentModel::Resolver LibraryContentModel::storeResolver(LibraryStore* store)
{
    return [guarded = QPointer<LibraryStore>(store)](const PhotoLibrary& library) -> std::optional<QString> {
        if (!guarded)
            return std::nullopt;
        return guarded->resolvedURL(library);
    };
}

LibraryContentModel::~LibraryContentModel()
{
    token_.cancel();
}

QThreadPool& LibraryContentModel::scanThreads()
{
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool;
        p->setMaxThreadCount(4);
        // Pages are gone by the time the application object is destroyed, so their scans are
        // cancelled and stop at their next run of files.
        drainAtExit(*p);
        return p;
    }();
    return *pool;
}

void LibraryContentModel::cancel()
{
    token_.cancel();
    ++generation_;
    setScanning(false);
}

void LibraryContentModel::load(const PhotoLibrary& library)
{
    token_.cancel();
    token_ = CancellationToken();
    const quint64 generation = ++generation_;

    const std::optional<QString> folder = resolver_ ? resolver_(library) : std::nullopt;
    if (!folder) {
        setItems({});
        setScanning(false);
        setErrorMessage(LibraryPageRules::unavailableMessage(library.name));
        return;
    }
    setErrorMessage(std::nullopt);
    setScanning(true);
    setProgress(0, 0);

    // Results come back through the application object and find the model by a weak pointer, so
    // a page closed mid-scan is never touched; the generation drops superseded scans (D21).
    QPointer<LibraryContentModel> self(this);
    const auto clampInt = [](qsizetype v) {
        return int(std::clamp<qsizetype>(v, 0, std::numeric_limits<int>::max()));
    };
    auto scanner = scanner_;
    const CancellationToken token = token_;
    const QString root = *folder;
    const QString name = library.name;
    scanThreads().start([self, scanner, token, root, name, generation, clampInt] {
        const auto onProgress = [self, token, generation, clampInt](qsizetype done, qsizetype total) {
            if (token.isCancelled())
                return;
            const int d = clampInt(done), t = clampInt(total);
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [self, generation, d, t] {
                    if (self && self->generation_ == generation)
                        self->setProgress(d, t);
                },
                Qt::QueuedConnection);
        };
        // The last result is shown at once and replaced when the scan finds a change.
        if (std::optional<MediaItems> kept = scanner->keptItems(root); kept && !token.isCancelled())
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [self, generation, kept = std::move(*kept)] {
                    if (self && self->generation_ == generation && self->isScanning_)
                        self->setItems(kept);
                },
                Qt::QueuedConnection);
        MediaItems items;
        try {
            items = scanner->scan(root, onProgress, token);
            // Worked out here, off the main thread, once per scan instead of on every sort or clustering.
            stampCaptureTimes(items);
        } catch (const FolderUnavailable&) {
            // Nothing of this scan is shown: the folder is gone, not empty.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [self, generation, name] {
                    if (!self || self->generation_ != generation)
                        return;
                    self->setItems({});
                    self->setScanning(false);
                    self->setErrorMessage(LibraryPageRules::unavailableMessage(name));
                    Q_EMIT self->folderUnavailable();
                },
                Qt::QueuedConnection);
            return;
        }
        if (token.isCancelled())
            return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, generation, items = std::move(items)] {
                if (!self || self->generation_ != generation)
                    return;
                self->setItems(items);
                self->setScanning(false);
            },
            Qt::QueuedConnection);
    });
}

void LibraryContentModel::setItems(const MediaItems& items)
{
    if (items == items_)
        return;
    items_ = items;
    Q_EMIT itemsChanged();
}

void LibraryContentModel::setScanning(bool scanning)
{
    if (scanning == isScanning_)
        return;
    isScanning_ = scanning;
    Q_EMIT isScanningChanged(scanning);
}

void LibraryContentModel::setProgress(int scanned, int total)
{
    if (scanned == scanned_ && total == total_)
        return;
    scanned_ = scanned;
    total_ = total;
    Q_EMIT progressChanged(scanned, total);
}

void LibraryContentModel::setErrorMessage(const std::optional<QString>& message)
{
    if (message == errorMessage_)
        return;
    errorMessage_ = message;
    Q_EMIT errorMessageChanged();
}

namespace LibraryPageRules {

bool isOrganizingNonCaptured(const Inputs& in)
{
    return in.filter == LibraryMediaFilter::nonCaptured && (in.isClassifying || in.classificationDue);
}

ContentState contentState(const Inputs& in)
{
    if (in.hasError)
        return ContentState::unavailable;
    if (in.isScanning && in.itemCount == 0)
        return ContentState::scanning;
    if (in.itemCount == 0)
        return ContentState::emptyFolder;
    if (in.filter == LibraryMediaFilter::nonCaptured && !in.hasConfirmedOrganize)
        return ContentState::needsConfirmation;
    if (isOrganizingNonCaptured(in) && in.displayedCount == 0)
        return ContentState::organizing;
    if (in.displayedCount == 0)
        return ContentState::emptyFilter;
    return ContentState::grid;
}

QString organizingProgressText(const std::optional<NonCapturedProgress>& progress)
{
    if (progress && progress->total > 0)
        return QString("正在整理非拍摄 %1/%2").arg(progress->done).arg(progress->total);
    return QString("正在整理非拍摄…");
}

QString itemCountLabel(const Inputs& in)
{
    if (in.isScanning && in.total < 1)
        return QString("正在扫描…");
    if (in.isScanning)
        return QString("正在读取 %1/%2").arg(in.scanned).arg(in.total);
    if (in.itemCount == 0)
        return {};
    if (isOrganizingNonCaptured(in))
        return organizingProgressText(in.progress);
    if (in.filter != LibraryMediaFilter::all)
        return QString("%1 个%2").arg(in.displayedCount).arg(MediaFilter::title(in.filter));
    return QString("%1 个项目").arg(in.itemCount);
}

QString navigationTitle(const QString& libraryName, LibraryMediaFilter filter)
{
    if (filter == LibraryMediaFilter::all)
        return libraryName;
    return libraryName + " · " + MediaFilter::title(filter);
}

QString unavailableMessage(const QString& libraryName)
{
    return QString("找不到「%1」的文件夹，移动硬盘可能没有连接。").arg(libraryName);
}

bool classifies(const Inputs& in)
{
    return in.hasConfirmedOrganize
        && (in.filter == LibraryMediaFilter::nonCaptured || in.filter == LibraryMediaFilter::photos)
        && in.itemCount > 0;
}

bool shouldClassify(const Inputs& in)
{
    return classifies(in) && !in.isScanning;
}

} // namespace LibraryPageRules

} // namespace app
