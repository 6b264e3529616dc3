// Arbitrary bytes as a file name from a phone -> safeFileComponent. The result must be one
// usable path component on any volume, and cleaning it again must change nothing.
#include "p2p/backup/SafeFileName.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace p2p;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void checkComponent(const std::string& name)
{
    check(!name.empty() && name.size() <= maximumStoredNameByteCount);
    check(name.find_first_not_of(". ") != std::string::npos); // neither "." nor ".." nor blanks
    check(!name.ends_with(".part"));
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        check(byte >= 0x20 && byte != 0x7F);
        check(std::string_view("/\\:*?\"<>|").find(c) == std::string_view::npos);
    }
    check(safeFileComponent(name, "unused", 0) == name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // The first byte picks where the asset identifier ends, so hostile identifiers are tried too.
    const std::size_t split = size == 0 ? 0 : 1 + data[0] % size;
    const std::string_view name = input.substr(split);
    const std::string_view assetID = input.substr(std::min<std::size_t>(1, size), split > 0 ? split - 1 : 0);
    const std::string safe = safeFileComponent(name, assetID, static_cast<std::int64_t>(size));
    checkComponent(safe);
    checkComponent(numberedFileName(safe, 1 + static_cast<std::int64_t>(size)));
    return 0;
}
