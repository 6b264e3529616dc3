#pragma once

#include "app/platform/metadata/IsoBoxWalker.h"
#include "app/platform/metadata/MetadataFile.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>

namespace app::headerReadCost::detail {

constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();

inline std::uint64_t times(std::uint64_t a, std::uint64_t b)
{
    std::uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? kMost : product;
}

inline std::uint64_t plus(std::uint64_t a, std::uint64_t b)
{
    return a > kMost - b ? kMost : a + b;
}

// Reads a page of the file at a time: walking many small boxes or table entries is not a call per
// entry, and a sparse walk reads from the drive no more pages than it touches.
class PagedReader {
public:
    explicit PagedReader(const ByteSource& file) : file_(file), size_(std::uint64_t(std::max<qint64>(file.size(), 0))) {}

    std::uint64_t size() const { return size_; }
    bool failed() const { return failed_; }

    // Up to `count` bytes (at most a page) at `offset`; fewer at the end of the file.
    std::size_t read(std::uint64_t offset, std::uint8_t* out, std::size_t count)
    {
        count = std::min(count, page_.size());
        if (offset >= size_)
            return 0;
        if (offset < start_ || offset - start_ + count > filled_) {
            const qint64 n = file_.read(qint64(offset), page_.data(), qint64(page_.size()));
            failed_ = failed_ || n < 0;
            start_ = offset;
            filled_ = std::size_t(std::max<qint64>(n, 0));
        }
        const std::size_t n = std::min<std::size_t>(count, filled_ - std::size_t(offset - start_));
        std::memcpy(out, page_.data() + (offset - start_), n);
        return n;
    }

    // A big-endian number of `bytes` (at most 8) at `offset`; 0 past the end of the file.
    std::uint64_t number(std::uint64_t offset, int bytes, bool* complete = nullptr)
    {
        std::uint8_t data[8] = {};
        const bool whole = read(offset, data, std::size_t(bytes)) == std::size_t(bytes);
        if (complete)
            *complete = whole;
        return whole ? isobox::detail::bigEndian(data, bytes) : 0;
    }

private:
    const ByteSource& file_;
    std::uint64_t size_;
    std::array<std::uint8_t, 4096> page_{};
    std::uint64_t start_ = 0;
    std::size_t filled_ = 0;
    bool failed_ = false;
};

// A stream's contexts and what probing it opens.
constexpr std::uint64_t kStreamBytes = 16 * 1024;

// What both walks share: the file read a page at a time and the cost tallied against the bound.
class CostWalk {
protected:
    CostWalk(const ByteSource& file, std::uint64_t bound) : in_(file), bound_(bound) {}

    void add(std::uint64_t bytes) { cost_ = plus(cost_, bytes); }
    bool over() const { return cost_ > bound_; }
    void refuse() { cost_ = kMost; }
    // The cost found, or past the bound when the walk stopped early or could not read on.
    std::uint64_t result() const { return over() || in_.failed() ? std::max(cost_, plus(bound_, 1)) : cost_; }

    PagedReader in_;
    std::uint64_t bound_;
    std::uint64_t cost_ = 0;
};

} // namespace app::headerReadCost::detail
