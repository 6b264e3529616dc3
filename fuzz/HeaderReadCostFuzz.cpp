// Arbitrary bytes -> the header cost walks. They must end on any input, however deep its boxes or
// elements nest, and a walk stopped at the bound must agree with the whole walk: the cost it found
// when it stayed within, past the bound when it did not.
#include "app/platform/metadata/HeaderReadCost.h"
#include "app/platform/metadata/MetadataFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace {

void agrees(std::uint64_t (*walk)(const app::ByteSource&, std::uint64_t), const app::ByteSource& source)
{
    constexpr std::uint64_t bound = 64ull * 1024 * 1024;
    const std::uint64_t bounded = walk(source, bound);
    const std::uint64_t whole = walk(source, std::numeric_limits<std::uint64_t>::max() - 1);
    if (bounded <= bound ? whole != bounded : whole <= bound)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const app::MemoryByteSource source(data, qint64(size));
    agrees(app::headerReadCost::isoMedia, source);
    agrees(app::headerReadCost::matroska, source);
    return 0;
}
