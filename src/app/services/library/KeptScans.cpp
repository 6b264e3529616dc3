#include "app/platform/desktop/ApplicationSupport.h"
#include "app/services/library/KeptScans.h"

#include "app/platform/desktop/CacheFileInput.h"
#include "app/platform/desktop/ExitWait.h"
#include "app/services/library/ScanCacheFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QThreadPool>
#include <QTimeZone>

namespace app {
namespace {

Q_LOGGING_CATEGORY(lcKeptScans, "tessivarnholm.kept-scans")

// Temporary files of `path` that a writer left an hour ago or more: it crashed.
void removeStaleTemporaries(const QString& path)
{
    const QFileInfo cache(path);
    const QDateTime hourAgo = QDateTime::currentDateTimeUtc().addSecs(-3600);
    const QString pattern = cache.fileName() + QLatin1String(ScanCacheFile::temporaryInfix) + u'*';
    for (const QFileInfo& left : cache.dir().entryInfoList({pattern}, QDir::Files | QDir::Hidden))
        if (left.lastModified() < hourAgo)
            QFile::remove(left.filePath());
}

} // namespace

KeptScans::Scan::Scan(MediaItems items, KeptFiles files) : items(std::move(items)), files_(std::move(files))
{
    std::call_once(keyed_, [] {});
}

KeptScans::Scan::Scan(MediaItems items, std::vector<KeptFile> facts) : items(std::move(items)), facts_(std::move(facts))
{
}

const KeptFiles& KeptScans::Scan::files() const
{
    std::call_once(keyed_, [this] {
        files_.reserve(items.size());
        for (qsizetype i = 0; i < items.size() && size_t(i) < facts_.size(); ++i)
            files_.insert(items[i].url, facts_[size_t(i)]);
        facts_ = {};
    });
    return files_;
}

KeptScans::KeptScans(QString cacheFolder, QByteArray timeZoneId)
    : folder_(cacheFolder.isEmpty() ? applicationCacheFolder() + QStringLiteral("/scans")
                                    : std::move(cacheFolder)),
      timeZoneId_(timeZoneId.isEmpty() ? QTimeZone::systemTimeZoneId() : std::move(timeZoneId)),
      writer_(std::make_unique<QThreadPool>())
{
    // One writer: files are written in the order scans finish, the newest last.
    writer_->setMaxThreadCount(1);
    writer_->setObjectName(QStringLiteral("KeptScans"));
}

KeptScans::~KeptScans()
{
    writer_->waitForDone();
}

std::shared_ptr<KeptScans> KeptScans::shared()
{
    static const std::shared_ptr<KeptScans> instance = [] {
        auto kept = std::make_shared<KeptScans>();
        drainAtExit(*kept->writer_);
        return kept;
    }();
    return instance;
}

QString KeptScans::fileFor(const QString& root) const
{
    const QByteArray hash = QCryptographicHash::hash(QFile::encodeName(root), QCryptographicHash::Sha1).toHex();
    return folder_ + QLatin1Char('/') + QString::fromLatin1(hash) + QStringLiteral(".scan");
}

std::shared_ptr<const KeptScans::Scan> KeptScans::last(const QString& root)
{
    {
        std::lock_guard lock(mutex_);
        if (auto found = scans_.value(root))
            return found;
    }
    const QString path = fileFor(root);
    // Not followed if a link, never waited on if a FIFO, and not read beyond what its count allows.
    const CacheFileInput file(path);
    if (!file.isOpen()) {
        if (QFileInfo(path).isSymLink() || QFileInfo::exists(path))
            qCWarning(lcKeptScans) << "ignored a scan cache that is no regular file:" << path;
        return nullptr;
    }
    const std::optional<QByteArray> header = file.read(0, ScanCacheFile::headerSize(root, timeZoneId_));
    const std::optional<qint64> bound = header ? ScanCacheFile::sizeBound(*header, root, timeZoneId_) : std::nullopt;
    const std::optional<QByteArray> bytes = bound ? file.readAll(*bound) : std::nullopt;
    std::optional<ScanCacheFile::Contents> contents
        = bytes ? ScanCacheFile::decode(*bytes, root, timeZoneId_) : std::nullopt;
    if (!contents) {
        qCWarning(lcKeptScans) << "ignored a damaged, oversized or outdated scan cache:" << path;
        return nullptr;
    }
    auto scan = std::make_shared<const Scan>(std::move(contents->items), std::move(contents->facts));
    std::lock_guard lock(mutex_);
    // A scan kept meanwhile is newer than the file.
    auto& slot = scans_[root];
    if (!slot)
        slot = scan;
    return slot;
}

void KeptScans::keep(const QString& root, MediaItems items, KeptFiles files)
{
    auto scan = std::make_shared<const Scan>(std::move(items), std::move(files));
    std::shared_ptr<const Scan> before;
    {
        std::lock_guard lock(mutex_);
        before = scans_.value(root);
    }
    // Compared outside the lock: a page asking for its last scan meanwhile must not wait 100,000 lookups.
    if (before && before->items == scan->items && before->files() == scan->files())
        return;
    std::lock_guard lock(mutex_);
    scans_[root] = scan;
    // Started under the lock so that files are written in the order the scans were kept.
    writer_->start([scan, root, path = fileFor(root), folder = folder_, zone = timeZoneId_] {
        removeStaleTemporaries(path);
        if (!QDir().mkpath(folder)
            || !ScanCacheFile::writeDurably(path, ScanCacheFile::encode(root, zone, scan->items, scan->files())))
            qCWarning(lcKeptScans) << "scan cache not written:" << path;
    });
}

void KeptScans::forgetFile(const QString& path)
{
    for (QString folder = QFileInfo(path).path(); folder.size() > 1; folder = QFileInfo(folder).path()) {
        bool known = false;
        {
            std::lock_guard lock(mutex_);
            known = scans_.contains(folder);
        }
        if (!known && !QFile::exists(fileFor(folder)))
            continue;
        const std::shared_ptr<const Scan> scan = last(folder);
        if (!scan || !scan->files().contains(path))
            continue;
        KeptFiles files = scan->files();
        files.remove(path);
        keep(folder, scan->items, std::move(files));
    }
}

void KeptScans::waitForWrites()
{
    writer_->waitForDone();
}

} // namespace app
