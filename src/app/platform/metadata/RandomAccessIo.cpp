#include "app/platform/metadata/RandomAccessIo.h"
#include "app/platform/metadata/TiffLayout.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/error.hpp>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include <sys/mman.h>

namespace app {

RandomAccessIo::RandomAccessIo(const MetadataFile& file) : RandomAccessIo(file, file.path())
{
}

RandomAccessIo::RandomAccessIo(const ByteSource& source, QByteArray path)
    : file_(source), path_(std::move(path)), size_(long(std::clamp<qint64>(source.size(), 0, LONG_MAX)))
{
}

RandomAccessIo::~RandomAccessIo()
{
    munmap();
}

int RandomAccessIo::open()
{
    position_ = 0;
    eof_ = false;
    error_ = 0;
    return isopen() ? 0 : 1;
}

int RandomAccessIo::close()
{
    munmap();
    return 0;
}

long RandomAccessIo::write(const Exiv2::byte*, long)
{
    return 0;
}

long RandomAccessIo::write(Exiv2::BasicIo&)
{
    return 0;
}

int RandomAccessIo::putb(Exiv2::byte)
{
    return EOF;
}

void RandomAccessIo::transfer(Exiv2::BasicIo&)
{
    throw Exiv2::Error(Exiv2::kerFunctionNotSupported, "RandomAccessIo::transfer");
}

Exiv2::DataBuf RandomAccessIo::read(long count)
{
    // Never allocate more than the file still holds, whatever size a hostile header asks for.
    const long available = std::max(0L, size_ - position_);
    Exiv2::DataBuf buffer(std::clamp(count, 0L, available));
    const long n = read(buffer.pData_, buffer.size_);
    buffer.size_ = std::max(0L, n);
    return buffer;
}

long RandomAccessIo::read(Exiv2::byte* buffer, long count)
{
    long done = 0;
    while (done < count) {
        const long want = count - done;
        if (want >= kWindow) {
            const qint64 n = file_.read(position_, buffer + done, want);
            if (n < 0)
                error_ = 1;
            if (n > 0) {
                position_ += long(n);
                done += long(n);
            }
            break;
        }
        if (position_ < windowStart_ || position_ >= windowStart_ + windowLength_) {
            if (position_ >= size_)
                break;
            windowStart_ = position_ & ~4095L;
            const qint64 n = file_.read(windowStart_, window_, kWindow);
            if (n < 0)
                error_ = 1;
            windowLength_ = n > 0 ? long(n) : 0;
            if (position_ >= windowStart_ + windowLength_)
                break;
        }
        const long take = std::min(want, windowStart_ + windowLength_ - position_);
        std::memcpy(buffer + done, window_ + (position_ - windowStart_), size_t(take));
        position_ += take;
        done += take;
    }
    if (done < count)
        eof_ = true;
    return done;
}

int RandomAccessIo::getb()
{
    Exiv2::byte b = 0;
    return read(&b, 1) == 1 ? int(b) : EOF;
}

int RandomAccessIo::seek(long offset, Position from)
{
    long base = 0;
    switch (from) {
    case beg: base = 0; break;
    case cur: base = position_; break;
    case end: base = size_; break;
    }
    if ((offset > 0 && base > LONG_MAX - offset) || base + offset < 0)
        return 1;
    // Like a stdio stream: seeking past the end is allowed, reads there find nothing.
    position_ = base + offset;
    eof_ = false;
    return 0;
}

Exiv2::byte* RandomAccessIo::mmap(bool writeable)
{
    if (writeable)
        throw Exiv2::Error(Exiv2::kerFunctionNotSupported, "RandomAccessIo::mmap");
    if (!map_) {
        if (size_ <= 0 || !isopen())
            throw Exiv2::Error(Exiv2::kerCallFailed, path(), "mmap", "empty file");
        if (size_ > kMaximumMapped)
            throw Exiv2::Error(Exiv2::kerCallFailed, path(), "mmap", "file too large");
        // Anonymous memory the size of the file: pages never filled stay shared zero pages, so a
        // 40 MB raw costs only the pages of its directories.
        void* map = ::mmap(nullptr, size_t(size_), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                           -1, 0);
        if (map == MAP_FAILED)
            throw Exiv2::Error(Exiv2::kerCallFailed, path(), "mmap", "no memory");
        map_ = map;
        try {
            fillMap();
        } catch (...) {
            munmap();
            throw;
        }
    }
    return static_cast<Exiv2::byte*>(map_);
}

void RandomAccessIo::fillMap()
{
    auto* base = static_cast<Exiv2::byte*>(map_);
    const auto fill = [&](qint64 offset, qint64 length) {
        if (file_.read(offset, base + offset, length) != length) {
            error_ = 1;
            throw Exiv2::Error(Exiv2::kerCallFailed, path(), "read", "the file could not be read");
        }
    };
    const TiffLayout::Result layout = TiffLayout::read(file_, size_);
    switch (layout.status) {
    case TiffLayout::Status::readError:
        error_ = 1;
        throw Exiv2::Error(Exiv2::kerCallFailed, path(), "read", "the file could not be read");
    case TiffLayout::Status::notTiff:
        // Other formats that ask for the whole file get all of it.
        fill(0, size_);
        return;
    case TiffLayout::Status::ok:
        break;
    }
    // Whole pages around each region: neighbouring values come in the same read.
    constexpr qint64 page = 4096;
    qint64 filledTo = 0;
    for (const TiffLayout::Range& r : layout.ranges) {
        const qint64 from = std::max(filledTo, r.offset & ~(page - 1));
        const qint64 to = std::min<qint64>(size_, (r.offset + r.length + page - 1) & ~(page - 1));
        if (to > from)
            fill(from, to - from);
        filledTo = std::max(filledTo, to);
    }
}

int RandomAccessIo::munmap()
{
    if (map_) {
        ::munmap(map_, size_t(size_));
        map_ = nullptr;
    }
    return 0;
}

long RandomAccessIo::tell() const
{
    return position_;
}

size_t RandomAccessIo::size() const
{
    return size_t(size_);
}

bool RandomAccessIo::isopen() const
{
    return file_.size() >= 0;
}

int RandomAccessIo::error() const
{
    return error_;
}

bool RandomAccessIo::eof() const
{
    return eof_;
}

std::string RandomAccessIo::path() const
{
    return path_.toStdString();
}

} // namespace app
