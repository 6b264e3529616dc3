// Arbitrary bytes -> the JPEG header walk. What it hands out is always a prefix of the input within
// the limit, and nothing unless it walked to the scan or to the end of the input.
#include "app/platform/metadata/JpegHeader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const app::MemoryByteSource source(data, qint64(size));
    std::vector<std::uint8_t> header;
    const app::JpegHeader::Result result = app::JpegHeader::read(source, header);
    using R = app::JpegHeader::Result;
    if ((result == R::notJpeg || result == R::unusual) && !header.empty())
        std::abort();
    if (header.size() > size || qint64(header.size()) > app::JpegHeader::maximumByteCount)
        std::abort();
    if (result == R::wholeFile && header.size() != size)
        std::abort();
    if (!header.empty() && std::memcmp(header.data(), data, header.size()) != 0)
        std::abort();
    return 0;
}
