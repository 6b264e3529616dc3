// Arbitrary bytes -> HeifBoxReader. It must stay within its limits, report a size and Exif bytes only
// for a file it read through, and hand out Exif bytes only from the input.
#include "app/platform/HeifBoxReader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const app::MemoryByteSource source(data, qint64(size));
    const app::HeifBoxReader::Result result = app::HeifBoxReader::read(source);
    if (result.status != app::HeifBoxReader::Status::ok && (result.width || result.height || !result.exif.empty()))
        std::abort();
    if (result.exif.size() > std::size_t(app::HeifBoxReader::maximumExifSize))
        std::abort();
    // Stored in the file (single extent) or in its item-data box: either way, bytes of the input.
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (!result.exif.empty() && result.exif.size() <= 64 && input.find(result.exif) == std::string_view::npos)
        std::abort();
    return 0;
}
