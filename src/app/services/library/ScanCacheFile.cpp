#include "app/services/library/ScanCacheFile.h"

#include "app/models/PhotoTimeline.h"
#include "p2p/protocol/framing/CRC32.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <QTimeZone>

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <unistd.h>

namespace app::ScanCacheFile {
namespace {

constexpr char magic[4] = {'T', 'S', 'K', 'S'};
constexpr quint32 version = 1;

enum Flags : quint8 {
    hasDuration = 1,
    hasLatitude = 2,
    hasLongitude = 4,
    isVideo = 8,
    isLive = 16,
    hasLiveVideo = 32,
};

class Writer {
public:
    QByteArray bytes;
    template <typename T>
    void put(T value)
    {
        bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
    }
    void put(const QByteArray& text)
    {
        put(quint32(text.size()));
        bytes.append(text);
    }
};

class Reader {
public:
    explicit Reader(const QByteArray& bytes, qsizetype end) : data_(bytes.constData()), end_(end) {}
    bool ok() const { return ok_; }
    qsizetype position() const { return at_; }
    template <typename T>
    T get()
    {
        T value{};
        if (!take(sizeof value))
            return value;
        std::memcpy(&value, data_ + at_ - qsizetype(sizeof value), sizeof value);
        return value;
    }
    QByteArray text() { return view().toByteArray(); }
    // The text where it lies in the bytes, for decoding without a copy first.
    QByteArrayView view()
    {
        const quint32 size = get<quint32>();
        if (!take(size))
            return {};
        return QByteArrayView(data_ + at_ - qsizetype(size), qsizetype(size));
    }

private:
    bool take(size_t size)
    {
        if (!ok_ || size > size_t(end_ - at_)) {
            ok_ = false;
            return false;
        }
        at_ += qsizetype(size);
        return true;
    }

    const char* data_;
    qsizetype end_;
    qsizetype at_ = 0;
    bool ok_ = true;
};

quint32 checksum(const char* data, qsizetype size)
{
    p2p::CRC32 crc;
    crc.update(reinterpret_cast<const std::uint8_t*>(data), size_t(size));
    return crc.value();
}

} // namespace

QByteArray encode(const QString& root, const QByteArray& timeZoneId, const MediaItems& items, const KeptFiles& files)
{
    Writer w;
    w.bytes.reserve(items.size() * 120 + 256);
    w.bytes.append(magic, sizeof magic);
    w.put(version);
    w.put(root.toUtf8());
    w.put(timeZoneId);
    w.put(quint64(items.size()));
    for (const MediaItem& item : items) {
        const KeptFile kept = files.value(item.url);
        quint8 flags = (item.duration ? hasDuration : 0) | (item.latitude ? hasLatitude : 0)
            | (item.longitude ? hasLongitude : 0) | (item.kind == MediaKind::video ? isVideo : 0)
            | (item.isLivePhoto ? isLive : 0) | (item.liveVideoURL ? hasLiveVideo : 0);
        w.put(item.url.toUtf8());
        w.put(flags);
        if (item.liveVideoURL)
            w.put(item.liveVideoURL->toUtf8());
        w.put(item.captureDate.toMSecsSinceEpoch());
        w.put(item.duration.value_or(0));
        w.put(item.latitude.value_or(0));
        w.put(item.longitude.value_or(0));
        w.put(kept.stamp.size);
        w.put(kept.stamp.modifiedNs);
        w.put(kept.stamp.changedNs);
        w.put(kept.stamp.inode);
    }
    w.put(checksum(w.bytes.constData(), w.bytes.size()));
    return w.bytes;
}

std::optional<Contents> decode(const QByteArray& bytes, const QString& root, const QByteArray& timeZoneId)
{
    constexpr qsizetype trailer = sizeof(quint32);
    if (bytes.size() < qsizetype(sizeof magic) + trailer || std::memcmp(bytes.constData(), magic, sizeof magic) != 0)
        return std::nullopt;
    const qsizetype body = bytes.size() - trailer;
    quint32 stored = 0;
    std::memcpy(&stored, bytes.constData() + body, sizeof stored);
    if (stored != checksum(bytes.constData(), body))
        return std::nullopt;
    Reader r(bytes, body);
    (void)r.get<std::array<char, sizeof magic>>();
    if (r.get<quint32>() != version || r.text() != root.toUtf8() || r.text() != timeZoneId)
        return std::nullopt;
    const quint64 count = r.get<quint64>();
    // Each item takes more than 60 bytes: a count beyond that is a damaged file, not an allocation.
    if (!r.ok() || count > quint64(body / 60))
        return std::nullopt;
    Contents out;
    out.items.reserve(qsizetype(count));
    out.facts.reserve(size_t(count));
    qint64 earliest = std::numeric_limits<qint64>::max();
    qint64 latest = std::numeric_limits<qint64>::min();
    for (quint64 i = 0; i < count && r.ok(); ++i) {
        MediaItem item;
        KeptFile kept;
        item.url = QString::fromUtf8(r.view());
        const quint8 flags = r.get<quint8>();
        item.kind = flags & isVideo ? MediaKind::video : MediaKind::photo;
        item.isLivePhoto = flags & isLive;
        if (flags & hasLiveVideo)
            item.liveVideoURL = QString::fromUtf8(r.view());
        kept.captureMs = r.get<qint64>();
        earliest = std::min(earliest, kept.captureMs);
        latest = std::max(latest, kept.captureMs);
        const double duration = r.get<double>(), latitude = r.get<double>(), longitude = r.get<double>();
        if (flags & hasDuration)
            item.duration = kept.duration = duration;
        if (flags & hasLatitude)
            item.latitude = kept.latitude = latitude;
        if (flags & hasLongitude)
            item.longitude = kept.longitude = longitude;
        kept.stamp.size = r.get<qint64>();
        kept.stamp.modifiedNs = r.get<qint64>();
        kept.stamp.changedNs = r.get<qint64>();
        kept.stamp.inode = r.get<quint64>();
        out.facts.push_back(kept);
        out.items.append(std::move(item));
    }
    if (!r.ok() || r.position() != body)
        return std::nullopt;
    // Dates last, once the span of them is known.
    const ZoneOffsets zone(QTimeZone(timeZoneId), earliest, latest);
    for (qsizetype i = 0; i < out.items.size(); ++i) {
        out.items[i].captureMs = out.facts[size_t(i)].captureMs;
        out.items[i].captureDate = zone.dateTime(out.facts[size_t(i)].captureMs);
    }
    return out;
}

qsizetype headerSize(const QString& root, const QByteArray& timeZoneId)
{
    return qsizetype(sizeof magic + sizeof version + 4) + root.toUtf8().size() + 4 + timeZoneId.size() + 8;
}

std::optional<qint64> sizeBound(const QByteArray& header, const QString& root, const QByteArray& timeZoneId)
{
    const qsizetype size = headerSize(root, timeZoneId);
    if (header.size() != size || std::memcmp(header.constData(), magic, sizeof magic) != 0)
        return std::nullopt;
    Reader r(header, size);
    (void)r.get<std::array<char, sizeof magic>>();
    if (r.get<quint32>() != version || r.text() != root.toUtf8() || r.text() != timeZoneId)
        return std::nullopt;
    const quint64 count = r.get<quint64>();
    if (!r.ok() || count > maximumItemCount)
        return std::nullopt;
    return qint64(size) + qint64(count) * maximumBytesPerItem + qint64(sizeof(quint32));
}

KeptFiles Contents::files() const
{
    KeptFiles files;
    files.reserve(items.size());
    for (qsizetype i = 0; i < items.size(); ++i)
        files.insert(items[i].url, facts[size_t(i)]);
    return files;
}

int Io::open(const char* path, int flags, mode_t mode)
{
    return ::open(path, flags, mode);
}

ssize_t Io::write(int fd, const void* data, size_t size)
{
    return ::write(fd, data, size);
}

int Io::fsync(int fd)
{
    return ::fsync(fd);
}

int Io::close(int fd)
{
    return ::close(fd);
}

int Io::rename(const char* from, const char* to)
{
    return ::rename(from, to);
}

int Io::unlink(const char* path)
{
    return ::unlink(path);
}

Io& Io::system()
{
    static Io io;
    return io;
}

bool writeDurably(const QString& path, const QByteArray& bytes, Io& io)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    // A name of its own: another writer of the same cache (a second program, a second instance)
    // must not write into this one's file or rename it away half written.
    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 8; ++attempt) {
        temp = target + temporaryInfix + QByteArray::number(QRandomGenerator::system()->generate64(), 36);
        fd = io.open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    bool ok = true;
    for (qsizetype done = 0; ok && done < bytes.size();) {
        const ssize_t n = io.write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += ok ? n : 0;
    }
    ok = ok && io.fsync(fd) == 0;
    ok = io.close(fd) == 0 && ok;
    if (!ok || io.rename(temp.constData(), target.constData()) != 0) {
        io.unlink(temp.constData());
        return false;
    }
    // The rename itself survives a crash only once the folder is flushed.
    const int dir = io.open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dir < 0)
        return false;
    ok = io.fsync(dir) == 0;
    io.close(dir);
    return ok;
}

} // namespace app::ScanCacheFile
