#include "app/services/thumbnails/ThumbnailDiskCache.h"

#include "app/platform/desktop/CacheFileInput.h"
#include "p2p/protocol/framing/CRC32.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QMutexLocker>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app {

namespace {

constexpr char kMagic[8] = {'T', 'E', 'S', 'S', 'T', 'H', 'M', '1'};
constexpr qsizetype kHeaderSize = 16; // magic, payload length, CRC-32 of the payload
// Far beyond any grid thumbnail; a larger file is not ours.
constexpr qint64 kMaxEntryBytes = 8 * 1024 * 1024;
const QLatin1StringView kSuffix(".thumb");
// A temporary file this old was left by a program that stopped mid-write.
constexpr qint64 kStaleTemporaryNs = qint64(600) * 1000 * 1000 * 1000;

qint64 nanoseconds(const timespec& t)
{
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

qint64 nowNs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return nanoseconds(now);
}

timespec toTimespec(qint64 ns)
{
    return {time_t(ns / 1000000000), long(ns % 1000000000)};
}

void setUseStamp(const QByteArray& path, qint64 stamp)
{
    const timespec times[2] = {toTimespec(stamp), toTimespec(stamp)};
    ::utimensat(AT_FDCWD, path.constData(), times, AT_SYMLINK_NOFOLLOW);
}

bool isEntryName(const char* name, QString* key)
{
    const QLatin1StringView text(name);
    if (!text.endsWith(kSuffix) || text.size() != 40 + kSuffix.size())
        return false;
    *key = text.first(40);
    return true;
}

QByteArray encode(const QImage& image)
{
    QByteArray payload;
    QBuffer buffer(&payload);
    buffer.open(QIODevice::WriteOnly);
    // JPEG is a tenth of PNG's size for photos; only pictures with transparency need PNG.
    QImageWriter writer(&buffer, image.hasAlphaChannel() ? "png" : "jpeg");
    writer.setQuality(85);
    if (!writer.write(image))
        return {};
    QByteArray file(kHeaderSize, Qt::Uninitialized);
    std::copy(std::begin(kMagic), std::end(kMagic), file.data());
    qToLittleEndian<quint32>(quint32(payload.size()), file.data() + 8);
    p2p::CRC32 crc;
    crc.update(reinterpret_cast<const std::uint8_t*>(payload.constData()), size_t(payload.size()));
    qToLittleEndian<quint32>(crc.value(), file.data() + 12);
    return file + payload;
}

std::optional<QImage> decode(const QByteArray& file)
{
    if (file.size() < kHeaderSize || !std::equal(std::begin(kMagic), std::end(kMagic), file.constData()))
        return std::nullopt;
    const quint32 length = qFromLittleEndian<quint32>(file.constData() + 8);
    if (qint64(length) != file.size() - kHeaderSize)
        return std::nullopt;
    p2p::CRC32 crc;
    crc.update(reinterpret_cast<const std::uint8_t*>(file.constData() + kHeaderSize), length);
    if (crc.value() != qFromLittleEndian<quint32>(file.constData() + 12))
        return std::nullopt;
    QImage image = QImage::fromData(QByteArrayView(file).sliced(kHeaderSize));
    if (image.isNull())
        return std::nullopt;
    return image;
}

bool writeAll(int fd, const QByteArray& data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

namespace {

constexpr qsizetype kPathPrefixSize = 20;

QString pathPrefix(const QByteArray& path)
{
    return QString::fromLatin1(QCryptographicHash::hash(path, QCryptographicHash::Sha1).toHex().first(kPathPrefixSize));
}

} // namespace

QString ThumbnailDiskCache::key(const QString& path, const FileStamp& state, int pixelSize)
{
    const QByteArray name = QFile::encodeName(path);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(name);
    const qint64 fields[] = {state.size, state.modifiedNs, qint64(state.inode), state.changedNs, pixelSize};
    hash.addData(QByteArrayView(reinterpret_cast<const char*>(fields), sizeof(fields)));
    return pathPrefix(name) + QString::fromLatin1(hash.result().toHex().first(40 - kPathPrefixSize));
}

void ThumbnailDiskCache::forgetFile(const QString& path)
{
    const QString prefix = pathPrefix(QFile::encodeName(path));
    const QByteArray folder = QFile::encodeName(directory_ + u'/' + prefix.first(2));
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return;
    QStringList gone;
    while (const dirent* e = ::readdir(dir)) {
        QString key;
        if (isEntryName(e->d_name, &key) && key.startsWith(prefix) && ::unlinkat(dirfd(dir), e->d_name, 0) == 0)
            gone.append(key);
    }
    ::closedir(dir);
    QMutexLocker lock(&mutex_);
    for (const QString& key : gone) {
        forgetLocked(key);
        if (listing_ && !listed_)
            forgottenWhileListing_.insert(key);
    }
}

ThumbnailDiskCache::ThumbnailDiskCache(QString directory, qint64 byteLimit)
    : directory_(std::move(directory)), byteLimit_(std::max<qint64>(byteLimit, 1))
{
}

QString ThumbnailDiskCache::entryPath(const QString& key) const
{
    return directory_ + u'/' + key.first(2) + u'/' + key + kSuffix;
}

std::optional<QImage> ThumbnailDiskCache::find(const QString& key)
{
    // The file itself answers, so the first screen after a start never waits for the listing of
    // a large cache; the listing only serves the byte budget.
    const QString path = entryPath(key);
    // A link, a FIFO or an oversized file in an entry's place is a missing entry, read no further.
    const std::optional<QByteArray> data = CacheFileInput::readAll(path, kMaxEntryBytes);
    if (!data)
        return std::nullopt;
    std::optional<QImage> image = decode(*data);
    QMutexLocker lock(&mutex_);
    if (!image) {
        // Torn, truncated or damaged: made again by the next request.
        forgetLocked(key);
        ::unlink(QFile::encodeName(path).constData());
        return std::nullopt;
    }
    if (const auto it = index_.constFind(key); it != index_.cend())
        order_.splice(order_.begin(), order_, it.value());
    const qint64 stamp = nextStampLocked();
    lock.unlock();
    // The use is remembered in the entry's times, so the order survives a restart.
    setUseStamp(QFile::encodeName(path), stamp);
    return image;
}

void ThumbnailDiskCache::insert(const QString& key, const QImage& image)
{
    if (image.isNull())
        return;
    const QByteArray data = encode(image);
    if (data.isEmpty() || data.size() > byteLimit_)
        return;
    const QByteArray path = QFile::encodeName(entryPath(key));
    const QByteArray folder = QFile::encodeName(directory_ + u'/' + key.first(2));
    if (::mkdir(folder.constData(), 0700) != 0 && errno == ENOENT) {
        QDir().mkpath(directory_);
        ::mkdir(folder.constData(), 0700);
    }
    ensureLoaded();
    qint64 stamp;
    {
        QMutexLocker lock(&mutex_);
        stamp = nextStampLocked();
    }
    const QByteArray temporary = path + ".tmp." + QByteArray::number(qint64(::gettid()));
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    const timespec times[2] = {toTimespec(stamp), toTimespec(stamp)};
    const bool written = writeAll(fd, data) && ::futimens(fd, times) == 0;
    // No fsync: an entry torn by a crash fails its checksum and is made again.
    if (::close(fd) != 0 || !written || ::rename(temporary.constData(), path.constData()) != 0) {
        ::unlink(temporary.constData());
        return;
    }
    QMutexLocker lock(&mutex_);
    forgetLocked(key);
    order_.push_front({key, data.size()});
    index_.insert(key, order_.begin());
    bytes_ += data.size();
    evictLocked();
}

qint64 ThumbnailDiskCache::bytes()
{
    ensureLoaded();
    QMutexLocker lock(&mutex_);
    return bytes_;
}

bool ThumbnailDiskCache::contains(const QString& key)
{
    ensureLoaded();
    QMutexLocker lock(&mutex_);
    return index_.contains(key);
}

void ThumbnailDiskCache::ensureLoaded()
{
    {
        QMutexLocker lock(&mutex_);
        if (listing_)
            return;
        listing_ = true;
    }
    // Listed without the lock: a large cache takes a while, and finds and inserts go on meanwhile.
    struct Found {
        QString key;
        qint64 bytes;
        qint64 stamp;
    };
    std::vector<Found> found;
    const QByteArray root = QFile::encodeName(directory_);
    DIR* top = ::opendir(root.constData());
    const qint64 now = nowNs();
    while (top != nullptr) {
        const dirent* folder = ::readdir(top);
        if (!folder)
            break;
        if (std::strlen(folder->d_name) != 2)
            continue;
        const QByteArray folderPath = root + '/' + folder->d_name;
        DIR* inner = ::opendir(folderPath.constData());
        if (!inner)
            continue;
        while (const dirent* file = ::readdir(inner)) {
            struct stat st{};
            if (::fstatat(dirfd(inner), file->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
                continue;
            QString key;
            if (isEntryName(file->d_name, &key))
                found.push_back({key, qint64(st.st_size), nanoseconds(st.st_mtim)});
            else if (std::strstr(file->d_name, ".tmp.") && now - nanoseconds(st.st_mtim) > kStaleTemporaryNs)
                ::unlinkat(dirfd(inner), file->d_name, 0);
        }
        ::closedir(inner);
    }
    if (top)
        ::closedir(top);
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.stamp > b.stamp; });
    QMutexLocker lock(&mutex_);
    for (const Found& f : found) {
        // Entries written meanwhile are already known, and newer than anything listed; entries
        // deleted meanwhile are gone.
        if (index_.contains(f.key) || forgottenWhileListing_.contains(f.key))
            continue;
        order_.push_back({f.key, f.bytes});
        index_.insert(f.key, std::prev(order_.end()));
        bytes_ += f.bytes;
        lastStamp_ = std::max(lastStamp_, f.stamp);
    }
    listed_ = true;
    forgottenWhileListing_.clear();
    evictLocked();
}

void ThumbnailDiskCache::evictLocked()
{
    // Until the listing is in, the oldest entries are not known yet.
    while (listed_ && !order_.empty() && bytes_ > byteLimit_) {
        const QString key = order_.back().key;
        ::unlink(QFile::encodeName(entryPath(key)).constData());
        forgetLocked(key);
    }
}

void ThumbnailDiskCache::forgetLocked(const QString& key)
{
    const auto it = index_.constFind(key);
    if (it == index_.cend())
        return;
    bytes_ -= it.value()->bytes;
    order_.erase(it.value());
    index_.erase(it);
}

qint64 ThumbnailDiskCache::nextStampLocked()
{
    lastStamp_ = std::max(nowNs(), lastStamp_ + 1);
    return lastStamp_;
}

} // namespace app
