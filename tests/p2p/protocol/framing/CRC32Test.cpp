#include "p2p/protocol/framing/CRC32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string_view>

using namespace p2p;

namespace {

Bytes bytesOf(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

std::uint32_t zlibCrc(const Bytes& bytes)
{
    return static_cast<std::uint32_t>(::crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

} // namespace

TEST(CRC32, KnownValuesAndStreaming)
{
    EXPECT_EQ(CRC32::value(Bytes{}), 0x00000000u);
    EXPECT_EQ(CRC32::value(bytesOf("123456789")), 0xCBF43926u);
    EXPECT_EQ(CRC32::value(bytesOf("abc")), 0x352441C2u);

    CRC32 crc;
    crc.update(bytesOf("1234"));
    EXPECT_EQ(crc.value(), CRC32::value(bytesOf("1234"))); // reading does not disturb
    crc.update(Bytes{});
    crc.update(bytesOf("56789"));
    EXPECT_EQ(crc.value(), 0xCBF43926u);
    crc.reset();
    EXPECT_EQ(crc.value(), 0u);
}

TEST(CRC32, MatchesZlibOnRandomBuffersSplitAtRandomPoints)
{
    std::mt19937_64 random(20241207);
    const bool folding = crc32detail::hasFoldingSupport();
    for (int round = 0; round < 400; ++round) {
        // Every small length (the tails of the folding path), then large ones.
        const std::size_t size = round < 300 ? static_cast<std::size_t>(round) : random() % (600 * 1024);
        Bytes buffer(size);
        for (auto& b : buffer) {
            b = static_cast<std::uint8_t>(random());
        }
        const std::uint32_t expected = zlibCrc(buffer);
        SCOPED_TRACE(size);

        EXPECT_EQ(CRC32::value(buffer), expected);
        EXPECT_EQ(crc32detail::updateSliceBy8(0xFFFFFFFFu, buffer.data(), size) ^ 0xFFFFFFFFu, expected);
        if (folding) {
            EXPECT_EQ(crc32detail::updateFolding(0xFFFFFFFFu, buffer.data(), size) ^ 0xFFFFFFFFu, expected);
        }

        // Pieces at random, unaligned points.
        CRC32 pieces;
        std::size_t at = 0;
        while (at < size) {
            const std::size_t take = std::min<std::size_t>(size - at, random() % 70000 + (random() % 2 ? 0 : random() % 80));
            pieces.update(buffer.data() + at, take);
            at += take;
        }
        EXPECT_EQ(pieces.value(), expected);
    }
}
