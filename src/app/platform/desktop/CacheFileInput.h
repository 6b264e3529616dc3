#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace app {

// A file the program wrote into its own folders and now reads back. Whatever sits there is not
// trusted: a link is not followed, a FIFO or a device never blocks the reader, and a file beyond
// the caller's bound is not read at all. Each of these reads as a missing file.
class CacheFileInput {
public:
    explicit CacheFileInput(const QString& path);
    ~CacheFileInput();
    CacheFileInput(const CacheFileInput&) = delete;
    CacheFileInput& operator=(const CacheFileInput&) = delete;

    // Open, and a regular file.
    bool isOpen() const { return fd_ >= 0; }
    qint64 size() const { return size_; }
    // Exactly `count` bytes from `offset`; nothing when the file holds fewer or a read fails.
    std::optional<QByteArray> read(qint64 offset, qint64 count) const;
    // The whole file, when it is at most `maxBytes` long.
    std::optional<QByteArray> readAll(qint64 maxBytes) const;

    static std::optional<QByteArray> readAll(const QString& path, qint64 maxBytes);

private:
    int fd_ = -1;
    qint64 size_ = -1;
};

} // namespace app
