#include "app/services/library/MediaScanner.h"

#include "app/models/MediaFormat.h"
#include "app/platform/volumes/FileSystemKinds.h"
#include "app/services/library/RotationLeftovers.h"

#include <QFile>
#include <QHash>
#include <QLoggingCategory>
#include <QThread>
#include <QThreadPool>

#include <dirent.h>
#include <cerrno>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace app {
namespace {

Q_LOGGING_CATEGORY(lcScanner, "tessivarnholm.scanner")

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
        // Hidden entries, ".", ".." and the "._" files other systems leave on drives. A rotation's
        // copy left by a crash goes once it is stale.
        if (name[0] == '.' || name[0] == '\0') {
            if (RotationLeftovers::isTemporaryName(name))
                RotationLeftovers::removeIfStale(dirfd(dir), name);
            continue;
        }
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

// Builds the items of a whole scan: a fixed set of workers (the caller among them) pull entry
// numbers from one shared counter until the list is done or the scan is cancelled; a worker never
// waits for another's file. Progress is reported in steps of runSize reads, in order, by whichever
// worker completes a step. The state is shared so that a pool thread that starts late finds nothing
// left to do and never touches freed memory.
class ParallelBuild : public std::enable_shared_from_this<ParallelBuild> {
public:
    using Read = std::function<void(qsizetype)>;
    using Report = std::function<void(qsizetype reads)>;

    ParallelBuild(qsizetype count, Read read, Report report, CancellationToken cancel)
        : count_(count), read_(std::move(read)), report_(std::move(report)), cancel_(std::move(cancel))
    {
    }

    // Returns once every claimed entry is done; the number of entries done, a prefix of the list.
    qsizetype run(QThreadPool& pool, qsizetype workers)
    {
        for (qsizetype i = 1; i < std::min(workers, count_); ++i) {
            std::shared_ptr<ParallelBuild> self = shared_from_this();
            pool.start([self] { self->work(); });
        }
        work();
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [this] { return active_ == 0 && claimsClosed_; });
        return std::min(next_.load(), count_);
    }

private:
    void work()
    {
        {
            std::lock_guard lock(mutex_);
            if (claimsClosed_)
                return;
            ++active_;
        }
        for (;;) {
            const qsizetype i = cancel_.isCancelled() ? count_ : next_.fetch_add(1, std::memory_order_relaxed);
            if (i >= count_)
                break;
            read_(i);
            const qsizetype done = done_.fetch_add(1, std::memory_order_acq_rel) + 1;
            if (done % MediaScanner::runSize == 0 || done == count_)
                reportUpTo(done);
        }
        std::lock_guard lock(mutex_);
        // Once one worker has found the list done or cancelled, none starts reading again.
        claimsClosed_ = true;
        if (--active_ == 0)
            finished_.notify_all();
    }

    void reportUpTo(qsizetype done)
    {
        std::lock_guard lock(reportMutex_);
        while (reported_ + MediaScanner::runSize <= done) {
            reported_ += MediaScanner::runSize;
            report_(reported_);
        }
        if (done == count_ && reported_ < done) {
            reported_ = done;
            report_(reported_);
        }
    }

    const qsizetype count_;
    const Read read_;
    const Report report_;
    const CancellationToken cancel_;
    std::atomic<qsizetype> next_{0};
    std::atomic<qsizetype> done_{0};
    std::mutex reportMutex_;
    qsizetype reported_ = 0;
    std::mutex mutex_;
    std::condition_variable finished_;
    int active_ = 0;
    bool claimsClosed_ = false;
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
    return enumerateMediaFiles(root, driveFailed, nullptr);
}

QStringList MediaScanner::enumerateMediaFiles(const QString& root, bool& driveFailed, std::vector<FileStamp>* stamps)
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
    // The kind of file system decides the stamp; asked once per device the walk meets.
    dev_t stampDevice = 0;
    bool wholeStamps = true;
    bool stampDeviceKnown = false;
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
        if (!decodes(child.name.constData(), name)) {
            // Items carry their paths as text, so a name that is not UTF-8 could not be opened again.
            qCWarning(lcScanner) << "skipped, its name is not UTF-8:" << full.toPercentEncoding("/");
            continue;
        }
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
        if (!MediaFormat::kind(name))
            continue;
        if (stamps) {
            struct stat st {};
            if (::lstat(full.constData(), &st) != 0) {
                if (isDriveFailure(errno)) {
                    driveFailed = true;
                    return {};
                }
                continue; // gone since the folder was listed
            }
            if (!S_ISREG(st.st_mode))
                continue;
            if (!stampDeviceKnown || st.st_dev != stampDevice) {
                stampDevice = st.st_dev;
                stampDeviceKnown = true;
                wholeStamps = FileSystemKinds::shared().keepsWholeStamp(st.st_dev, full.constData());
            }
            stamps->push_back(FileStamp::fromStat(st, wholeStamps));
        }
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
    return pairLivePhotos(files, nullptr);
}

QList<MediaScanner::Entry> MediaScanner::pairLivePhotos(const QStringList& files, std::vector<qsizetype>* sources)
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
            if (sources)
                sources->push_back(i);
            continue;
        }
        if (info.isMov && movies.contains(info.key))
            continue; // shown as part of its live photo
        entries.append(Entry{files[i], MediaKind::video, false, std::nullopt});
        if (sources)
            sources->push_back(i);
    }
    return entries;
}

MediaItem MediaScanner::makeItem(const Entry& entry) const
{
    return makeItem(entry, -1);
}

MediaItem MediaScanner::makeItem(const Entry& entry, qint64 knownSize) const
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
        const PhotoMeta meta = dates_.photoMetadata((knownSize >= 0 ? probe_->readPhoto(entry.url, knownSize) : probe_->readPhoto(entry.url)));
        item.isLivePhoto = entry.isLivePhoto;
        item.liveVideoURL = entry.liveVideoURL;
        date = meta.date;
        item.latitude = meta.latitude;
        item.longitude = meta.longitude;
    }
    item.captureDate = date ? *date : dates_.fallbackDate(entry.url);
    return item;
}

qsizetype MediaScanner::workerCount()
{
    return std::max(QThread::idealThreadCount(), 1);
}

MediaItems MediaScanner::scan(const QString& root, const ProgressCallback& onProgress,
                              const CancellationToken& cancel) const
{
    return scan(root, onProgress, cancel, nullptr, nullptr);
}

MediaItems MediaScanner::scan(const QString& root, const ProgressCallback& onProgress, const CancellationToken& cancel,
                              const KeptFiles* previous, KeptFiles* learned) const
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
    std::vector<FileStamp> stamps;
    std::vector<qsizetype> sources;
    const QList<Entry> entries = pairLivePhotos(enumerateMediaFiles(root, driveFailed, &stamps), &sources);
    if (driveFailed)
        throw FolderUnavailable("library drive failing: " + rootPath.toStdString());
    const qsizetype total = entries.size();
    report(0, total);
    if (total == 0)
        return {};

    // Files whose stamp is unchanged since the kept scan are not read again.
    std::vector<MediaItem> results(static_cast<size_t>(total));
    std::vector<qsizetype> toRead;
    toRead.reserve(size_t(total));
    for (qsizetype i = 0; i < total; ++i) {
        const FileStamp& stamp = stamps[size_t(sources[size_t(i)])];
        const Entry& entry = entries[i];
        const auto kept = previous ? previous->constFind(entry.url) : KeptFiles::const_iterator();
        if (!previous || kept == previous->constEnd() || kept->stamp != stamp) {
            toRead.push_back(i);
            continue;
        }
        MediaItem& item = results[size_t(i)];
        item.url = entry.url;
        item.kind = entry.kind;
        item.isLivePhoto = entry.isLivePhoto;
        item.liveVideoURL = entry.liveVideoURL;
        item.captureDate = QDateTime::fromMSecsSinceEpoch(kept->captureMs, dates_.timeZone());
        item.duration = kept->duration;
        item.latitude = kept->latitude;
        item.longitude = kept->longitude;
    }
    const qsizetype keptCount = total - qsizetype(toRead.size());
    if (keptCount > 0)
        report(keptCount, total);

    qsizetype readCount = 0;
    if (!toRead.empty()) {
        const auto build = std::make_shared<ParallelBuild>(
            qsizetype(toRead.size()),
            [&](qsizetype n) {
                const qsizetype i = toRead[size_t(n)];
                results[size_t(i)] = makeItem(entries[i], stamps[size_t(sources[size_t(i)])].size);
            },
            [&](qsizetype reads) { report(keptCount + reads, total); }, cancel);
        readCount = build->run(scanPool(), workerCount());
    }
    // A drive pulled mid-scan leaves files that could not even be stat'ed, which would be dated in the
    // distant past: tell that apart from a file deleted meanwhile, and publish nothing.
    failIfGone();
    for (qsizetype n = 0; n < readCount; ++n) {
        const MediaItem& item = results[size_t(toRead[size_t(n)])];
        struct stat st {};
        if (item.captureDate == CaptureDates::distantPast() && ::stat(QFile::encodeName(item.url).constData(), &st) != 0
            && isDriveFailure(errno))
            throw FolderUnavailable("library drive failing: " + rootPath.toStdString());
    }
    // A cancelled scan keeps what it read and what it kept, in list order.
    std::vector<bool> done(static_cast<size_t>(total), true);
    for (qsizetype i : toRead)
        done[size_t(i)] = false;
    for (qsizetype n = 0; n < readCount; ++n)
        done[size_t(toRead[size_t(n)])] = true;
    MediaItems items;
    items.reserve(keptCount + readCount);
    for (qsizetype i = 0; i < total; ++i) {
        if (!done[size_t(i)])
            continue;
        MediaItem& item = results[size_t(i)];
        if (learned && item.kind == entries[i].kind)
            learned->insert(item.url, KeptFile{stamps[size_t(sources[size_t(i)])], item.captureDate.toMSecsSinceEpoch(),
                                               item.duration, item.latitude, item.longitude});
        items.append(std::move(item));
    }
    std::stable_sort(items.begin(), items.end(),
                     [](const MediaItem& a, const MediaItem& b) { return a.captureDate > b.captureDate; });
    return items;
}

} // namespace app
