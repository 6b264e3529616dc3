#include "app/services/MediaScanner.h"

#include "app/models/Chunked.h"
#include "app/models/MediaFormat.h"

#include <QFile>
#include <QHash>
#include <QElapsedTimer>
#include <QThread>
#include <QThreadPool>

#include <dirent.h>
#include <cerrno>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace app {
namespace {

// Folders that other systems present as single documents; their insides are not the user's photos.
const QSet<QString>& bundleExtensions()
{
    static const QSet<QString> set{"photoslibrary", "photolibrary", "migratedphotolibrary", "aplibrary",
                                   "app", "bundle", "framework", "plugin", "kext", "pkg",
                                   "imovielibrary", "fcpbundle", "xcarchive"};
    return set;
}

bool hasHighByte(const char* name)
{
    for (const char* p = name; *p; ++p)
        if (static_cast<unsigned char>(*p) >= 0x80)
            return true;
    return false;
}

// A name that does not survive the trip through QString could not be opened again by its item.
bool decodes(const char* name, QString& out)
{
    out = QFile::decodeName(name);
    return !hasHighByte(name) || QFile::encodeName(out) == QByteArray(name);
}

struct Child {
    QByteArray name;
    bool isDirectory = false;
};

struct Frame {
    QByteArray path;
    std::vector<Child> children;
    size_t next = 0;
};

// Errors that say the drive or the share is gone, not that one folder is unreadable.
bool isDriveFailure(int error)
{
    return error == EIO || error == ENOTCONN || error == ESTALE || error == ENODEV || error == ENXIO;
}

// The library folder is no longer there as a folder, or its drive fails.
bool rootIsGone(const QByteArray& root)
{
    struct stat st {};
    if (::stat(root.constData(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR || isDriveFailure(errno);
    return !S_ISDIR(st.st_mode);
}

// Children worth visiting, sorted byte-wise; false when the folder cannot be read, with its errno.
bool listFolder(const QByteArray& path, std::vector<Child>& out,
                std::set<std::pair<dev_t, ino_t>>& visited, int& error)
{
    error = 0;
    DIR* dir = opendir(path.constData());
    if (!dir) {
        error = errno;
        return false;
    }
    struct stat self {};
    // A folder reached twice (bind mounts) would walk for ever.
    if (fstat(dirfd(dir), &self) != 0 || !visited.emplace(self.st_dev, self.st_ino).second) {
        closedir(dir);
        return false;
    }
    for (;;) {
        errno = 0;
        const dirent* e = readdir(dir);
        if (!e) {
            error = errno;
            break;
        }
        const char* name = e->d_name;
        // Hidden entries, ".", ".." and the "._" files other systems leave on drives.
        if (name[0] == '.' || name[0] == '\0')
            continue;
        unsigned char type = e->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st {};
            const QByteArray full = path + '/' + name;
            if (lstat(full.constData(), &st) != 0)
                continue;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
        }
        if (type == DT_DIR || type == DT_REG)
            out.push_back({QByteArray(name), type == DT_DIR});
        // Symbolic links are never followed: they can loop or leave the library.
    }
    closedir(dir);
    if (error != 0)
        return false;
    std::sort(out.begin(), out.end(), [](const Child& a, const Child& b) { return a.name < b.name; });
    return true;
}

// One run of entries built in parallel. Workers claim entries one at a time; the caller claims too
// and waits only for entries that were claimed, so a pool thread that wakes late finds nothing left
// and does not hold the run up. The state is shared so such a late worker never touches freed memory.
//
// Waking 32 threads for 32 reads that take microseconds each (a warm cache) costs more than the
// reads, so a run starts one helper per core, and a worker whose read was slow (a USB drive) starts
// another, up to the pool's 32: slow media still get 32 reads in flight.
class RunBuilder : public std::enable_shared_from_this<RunBuilder> {
public:
    RunBuilder(const MediaScanner& scanner, QList<MediaScanner::Entry> entries, QThreadPool& pool)
        : scanner_(scanner), entries_(std::move(entries)), pool_(pool), results_(size_t(entries_.size())),
          remaining_(entries_.size())
    {
    }

    QList<MediaItem> build()
    {
        const qsizetype cores = std::max(QThread::idealThreadCount(), 1);
        const qsizetype helpers = std::min<qsizetype>({entries_.size() - 1, cores - 1, pool_.maxThreadCount()});
        for (qsizetype i = 0; i < helpers; ++i)
            startHelper();
        work();
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [this] { return remaining_.load(std::memory_order_acquire) == 0; });
        QList<MediaItem> items;
        items.reserve(entries_.size());
        for (MediaItem& item : results_)
            items.append(std::move(item));
        return items;
    }

private:
    static constexpr qint64 slowReadNs = 1'000'000;

    void startHelper()
    {
        started_.fetch_add(1, std::memory_order_relaxed);
        std::shared_ptr<RunBuilder> self = shared_from_this();
        pool_.start([self] { self->work(); });
    }

    void work()
    {
        QElapsedTimer timer;
        for (;;) {
            const qsizetype i = next_.fetch_add(1, std::memory_order_relaxed);
            if (i >= entries_.size())
                return;
            timer.start();
            results_[size_t(i)] = scanner_.makeItem(entries_[i]);
            if (timer.nsecsElapsed() > slowReadNs && next_.load(std::memory_order_relaxed) < entries_.size()
                && started_.load(std::memory_order_relaxed) < pool_.maxThreadCount())
                startHelper();
            if (remaining_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                std::lock_guard lock(mutex_);
                finished_.notify_all();
            }
        }
    }

    const MediaScanner& scanner_; // used only while entries remain, which the caller waits for
    const QList<MediaScanner::Entry> entries_;
    QThreadPool& pool_;
    std::vector<MediaItem> results_;
    std::atomic<qsizetype> next_{0};
    std::atomic<qsizetype> started_{0};
    std::atomic<qsizetype> remaining_;
    std::mutex mutex_;
    std::condition_variable finished_;
};

} // namespace

MediaScanner::MediaScanner(std::shared_ptr<const MediaProbe> probe, CaptureDates dates)
    : probe_(probe ? std::move(probe) : MediaProbe::system()), dates_(std::move(dates))
{
}

const QSet<QString>& MediaScanner::ignoredDirectoryNames()
{
    static const QSet<QString> set{"__MACOSX", "#recycle", "$RECYCLE.BIN", "System Volume Information",
                                   ".Trashes"};
    return set;
}

QThreadPool& MediaScanner::scanPool()
{
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool;
        p->setMaxThreadCount(static_cast<int>(runSize));
        p->setObjectName(QStringLiteral("MediaScanner"));
        return p;
    }();
    return *pool;
}

QStringList MediaScanner::enumerateMediaFiles(const QString& root)
{
    bool driveFailed = false;
    return enumerateMediaFiles(root, driveFailed);
}

QStringList MediaScanner::enumerateMediaFiles(const QString& root, bool& driveFailed)
{
    driveFailed = false;
    QStringList files;
    QByteArray rootPath = QFile::encodeName(root);
    while (rootPath.size() > 1 && rootPath.endsWith('/'))
        rootPath.chop(1);
    if (rootPath.isEmpty())
        return files;

    std::set<std::pair<dev_t, ino_t>> visited;
    std::vector<Frame> stack;
    {
        Frame first{rootPath, {}, 0};
        int error = 0;
        if (!listFolder(rootPath, first.children, visited, error)) {
            driveFailed = isDriveFailure(error);
            return files;
        }
        stack.push_back(std::move(first));
    }
    // Depth first, each folder's entries in name order, a subfolder walked where it sorts.
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next >= frame.children.size()) {
            stack.pop_back();
            continue;
        }
        const Child child = frame.children[frame.next++];
        const QByteArray base = frame.path == "/" ? QByteArray("/") : frame.path + '/';
        const QByteArray full = base + child.name;
        QString name;
        if (!decodes(child.name.constData(), name))
            continue;
        if (child.isDirectory) {
            if (ignoredDirectoryNames().contains(name)
                || bundleExtensions().contains(MediaFormat::pathExtension(name)))
                continue;
            Frame next{full, {}, 0};
            // An unreadable folder loses only its own subtree; a failing drive ends the walk.
            int error = 0;
            if (listFolder(full, next.children, visited, error))
                stack.push_back(std::move(next));
            else if (isDriveFailure(error)) {
                driveFailed = true;
                return {};
            }
            continue;
        }
        if (MediaFormat::kind(name))
            files.append(QFile::decodeName(full));
    }
    return files;
}

QString MediaScanner::pairKey(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    const QStringView folder = QStringView(path).left(slash + 1);
    QStringView name = QStringView(path).mid(slash + 1);
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot > 0)
        name = name.left(dot);
    // The folder stays exact: on a case-sensitive disk DCIM and dcim are different folders.
    return folder.toString() + name.toString().toLower();
}

QList<MediaScanner::Entry> MediaScanner::pairLivePhotos(const QStringList& files)
{
    // Each file's extension and kind once; pair keys only where a movie could pair at all.
    struct Info {
        std::optional<MediaKind> kind;
        bool isMov = false;
        QString key;
    };
    std::vector<Info> infos(size_t(files.size()));
    bool anyMov = false;
    for (qsizetype i = 0; i < files.size(); ++i) {
        Info& info = infos[size_t(i)];
        info.kind = MediaFormat::kind(files[i]);
        info.isMov = info.kind == MediaKind::video && MediaFormat::pathExtension(files[i]) == QLatin1String("mov");
        anyMov = anyMov || info.isMov;
    }

    QHash<QString, QString> movies;
    if (anyMov) {
        QSet<QString> photoKeys;
        for (qsizetype i = 0; i < files.size(); ++i) {
            Info& info = infos[size_t(i)];
            if (info.kind == MediaKind::photo || info.isMov)
                info.key = pairKey(files[i]);
            if (info.kind == MediaKind::photo)
                photoKeys.insert(info.key);
        }
        for (qsizetype i = 0; i < files.size(); ++i) {
            const Info& info = infos[size_t(i)];
            if (info.isMov && photoKeys.contains(info.key))
                movies.insert(info.key, files[i]); // a later movie of the same key wins
        }
    }

    QList<Entry> entries;
    entries.reserve(files.size());
    for (qsizetype i = 0; i < files.size(); ++i) {
        const Info& info = infos[size_t(i)];
        if (!info.kind)
            continue;
        if (*info.kind == MediaKind::photo) {
            Entry e{files[i], MediaKind::photo, false, std::nullopt};
            if (!movies.isEmpty()) {
                const auto it = movies.constFind(info.key);
                if (it != movies.constEnd()) {
                    e.isLivePhoto = true;
                    e.liveVideoURL = *it;
                }
            }
            entries.append(std::move(e));
            continue;
        }
        if (info.isMov && movies.contains(info.key))
            continue; // shown as part of its live photo
        entries.append(Entry{files[i], MediaKind::video, false, std::nullopt});
    }
    return entries;
}

MediaItem MediaScanner::makeItem(const Entry& entry) const
{
    MediaItem item;
    item.url = entry.url;
    item.kind = entry.kind;
    std::optional<QDateTime> date;
    if (entry.kind == MediaKind::video) {
        const VideoMeta meta = dates_.videoMetadata(probe_->readVideo(entry.url, MediaProbe::VideoDetail::tags));
        date = meta.date;
        item.duration = meta.duration;
        item.latitude = meta.latitude;
        item.longitude = meta.longitude;
    } else {
        // A live photo's date and place come from its still; the movie is not read.
        const PhotoMeta meta = dates_.photoMetadata(probe_->readPhoto(entry.url));
        item.isLivePhoto = entry.isLivePhoto;
        item.liveVideoURL = entry.liveVideoURL;
        date = meta.date;
        item.latitude = meta.latitude;
        item.longitude = meta.longitude;
    }
    item.captureDate = date ? *date : dates_.fallbackDate(entry.url);
    return item;
}

MediaItems MediaScanner::scan(const QString& root, const ProgressCallback& onProgress,
                              const CancellationToken& cancel) const
{
    const auto report = [&](qsizetype processed, qsizetype total) {
        if (onProgress)
            onProgress(processed, total);
    };
    QByteArray rootPath = QFile::encodeName(root);
    while (rootPath.size() > 1 && rootPath.endsWith('/'))
        rootPath.chop(1);
    const auto failIfGone = [&] {
        if (rootIsGone(rootPath))
            throw FolderUnavailable("library folder gone: " + rootPath.toStdString());
    };
    failIfGone();
    bool driveFailed = false;
    const QList<Entry> entries = pairLivePhotos(enumerateMediaFiles(root, driveFailed));
    if (driveFailed)
        throw FolderUnavailable("library drive failing: " + rootPath.toStdString());
    const qsizetype total = entries.size();
    report(0, total);
    MediaItems items;
    if (total == 0)
        return items;
    items.reserve(total);

    qsizetype processed = 0;
    for (const QList<Entry>& run : chunked(entries, runSize)) {
        if (cancel.isCancelled())
            break;
        const auto builder = std::make_shared<RunBuilder>(*this, run, scanPool());
        items.append(builder->build());
        processed += run.size();
        report(std::min(processed, total), total);
    }
    // A drive pulled mid-scan leaves files that could not even be stat'ed, which would be dated in the
    // distant past: tell that apart from a file deleted meanwhile, and publish nothing.
    failIfGone();
    for (const MediaItem& item : std::as_const(items)) {
        struct stat st {};
        if (item.captureDate == CaptureDates::distantPast() && ::stat(QFile::encodeName(item.url).constData(), &st) != 0
            && isDriveFailure(errno))
            throw FolderUnavailable("library drive failing: " + rootPath.toStdString());
    }
    std::stable_sort(items.begin(), items.end(),
                     [](const MediaItem& a, const MediaItem& b) { return a.captureDate > b.captureDate; });
    return items;
}

} // namespace app
