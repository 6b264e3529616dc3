#pragma once

#include "app/platform/metadata/MetadataFile.h"

// exiv2 0.27 still spells its smart pointers with std::auto_ptr.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/basicio.hpp>
#pragma GCC diagnostic pop

#include <string>

namespace app {

// exiv2's input over a file's bytes, read-only. exiv2's own file input reads through stdio with
// the kernel's read-ahead; this one reads what the format reader asks for, so seeking over pixel
// data costs nothing on a cold drive. The file itself is never mapped: a mapped file that shrinks
// or whose drive goes away kills the process with SIGBUS, so what exiv2 wants mapped is read into
// memory of our own, and a failed read is an exiv2 error. The source must outlive this object.
class RandomAccessIo final : public Exiv2::BasicIo {
public:
    explicit RandomAccessIo(const MetadataFile& file);
    RandomAccessIo(const ByteSource& source, QByteArray path);
    ~RandomAccessIo() override;

    int open() override;
    int close() override;
    long write(const Exiv2::byte* data, long count) override;
    long write(Exiv2::BasicIo& source) override;
    int putb(Exiv2::byte data) override;
    Exiv2::DataBuf read(long count) override;
    long read(Exiv2::byte* buffer, long count) override;
    int getb() override;
    void transfer(Exiv2::BasicIo& source) override;
    int seek(long offset, Position from) override;
    Exiv2::byte* mmap(bool writeable = false) override;
    int munmap() override;
    long tell() const override;
    size_t size() const override;
    bool isopen() const override;
    int error() const override;
    bool eof() const override;
    std::string path() const override;

private:
    // Small reads (a marker, a chunk header) come from one cached page.
    static constexpr long kWindow = 8192;
    // Directories of a larger file are not worth reading.
    static constexpr long kMaximumMapped = 1L << 30;

    void fillMap();

    const ByteSource& file_;
    const QByteArray path_;
    long size_ = 0;
    long position_ = 0;
    bool eof_ = false;
    int error_ = 0;
    long windowStart_ = 0;
    long windowLength_ = 0;
    Exiv2::byte window_[kWindow];
    void* map_ = nullptr;
};

} // namespace app
