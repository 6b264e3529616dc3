#pragma once

#include <QByteArray>

#include <QtGlobal>

namespace app {

// Bytes read at offsets: a file, or memory in tests and fuzzing.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual qint64 size() const = 0;
    // Reads up to `count` bytes at `offset`; fewer only at the end. -1 on a read error.
    virtual qint64 read(qint64 offset, void* buffer, qint64 count) const = 0;
};

// Bytes in memory, for tests and fuzzing.
class MemoryByteSource final : public ByteSource {
public:
    MemoryByteSource(const void* data, qint64 size) : data_(static_cast<const char*>(data)), size_(size) {}
    qint64 size() const override { return size_; }
    qint64 read(qint64 offset, void* buffer, qint64 count) const override;

private:
    const char* data_;
    qint64 size_;
};

// A media file opened to read its metadata: a few small reads at known offsets. The kernel is told
// the access is random, so it reads the pages asked for and adds no read-ahead; on a cold USB drive
// read-ahead turned every small header read into about a mebibyte from the disk.
class MetadataFile final : public ByteSource {
public:
    explicit MetadataFile(const QByteArray& nativePath);
    // A regular file whose size the caller knows: opened without asking the kernel again and without
    // the random-access advice, which costs a call per file on a warm scan.
    MetadataFile(const QByteArray& nativePath, qint64 knownSize);
    ~MetadataFile();
    MetadataFile(const MetadataFile&) = delete;
    MetadataFile& operator=(const MetadataFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    const QByteArray& path() const { return path_; }
    // Size at opening; -1 when the file is not open, 0 for anything but a regular file.
    qint64 size() const override { return size_; }
    qint64 read(qint64 offset, void* buffer, qint64 count) const override;
    int descriptor() const { return fd_; }

private:
    QByteArray path_;
    int fd_ = -1;
    qint64 size_ = -1;
};

} // namespace app
