#include "p2p/protocol/framing/CRC32.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace p2p {

namespace {

constexpr std::uint32_t polynomial = 0xEDB88320u; // reflected 0x04C11DB7

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

// tables[0] is the classic byte table; tables[k][i] is the CRC of byte i followed by k zero bytes.
constexpr Tables makeTables()
{
    Tables tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1u) ? polynomial ^ (c >> 1) : c >> 1;
        }
        tables[0][i] = c;
    }
    for (std::size_t k = 1; k < tables.size(); ++k) {
        for (std::size_t i = 0; i < 256; ++i) {
            const std::uint32_t previous = tables[k - 1][i];
            tables[k][i] = (previous >> 8) ^ tables[0][previous & 0xFFu];
        }
    }
    return tables;
}

// Built at compile time: nothing to initialise, nothing to race on.
static const Tables tables = makeTables();

std::uint32_t updateBytes(std::uint32_t state, const std::uint8_t* data, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        state = tables[0][(state ^ data[i]) & 0xFFu] ^ (state >> 8);
    }
    return state;
}

std::uint32_t loadLittle32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8)
        | (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

#if defined(__x86_64__)

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold16(__m128i acc, __m128i next, __m128i k3k4)
{
    const __m128i low = _mm_clmulepi64_si128(acc, k3k4, 0x00);
    const __m128i high = _mm_clmulepi64_si128(acc, k3k4, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high, next), low);
}

__attribute__((target("avx512f,vpclmulqdq"))) inline __m512i fold64(__m512i acc, __m512i next, __m512i k)
{
    const __m512i low = _mm512_clmulepi64_epi128(acc, k, 0x00);
    const __m512i high = _mm512_clmulepi64_epi128(acc, k, 0x11);
    return _mm512_ternarylogic_epi64(low, high, next, 0x96); // three-way xor
}

// Where the processor has 512-bit carry-less multiplication: sixteen 128-bit lanes folded 256
// bytes at a time, then merged into four lanes, which the narrow loop below carries on. Receiving
// checks every byte of a backup; the narrow loop alone runs at about the speed of the socket copy.
// Needs size >= 256; consumes a multiple of 256 bytes and returns how many.
__attribute__((target("avx512f,vpclmulqdq"))) std::size_t foldWide(std::uint32_t state, const std::uint8_t* data,
    std::size_t size, std::uint8_t (&lanes)[64])
{
    const __m512i by2048 = _mm512_set4_epi64(0x01322d1430, 0x011542778a, 0x01322d1430, 0x011542778a);
    const __m512i by512 = _mm512_set4_epi64(0x01c6e41596, 0x0154442bd4, 0x01c6e41596, 0x0154442bd4);
    __m512i z1 = _mm512_loadu_si512(data + 0x00);
    __m512i z2 = _mm512_loadu_si512(data + 0x40);
    __m512i z3 = _mm512_loadu_si512(data + 0x80);
    __m512i z4 = _mm512_loadu_si512(data + 0xC0);
    z1 = _mm512_xor_si512(z1, _mm512_castsi128_si512(_mm_cvtsi32_si128(static_cast<int>(state))));
    std::size_t done = 256;
    for (; size - done >= 256; done += 256) {
        z1 = fold64(z1, _mm512_loadu_si512(data + done + 0x00), by2048);
        z2 = fold64(z2, _mm512_loadu_si512(data + done + 0x40), by2048);
        z3 = fold64(z3, _mm512_loadu_si512(data + done + 0x80), by2048);
        z4 = fold64(z4, _mm512_loadu_si512(data + done + 0xC0), by2048);
    }
    z2 = fold64(z1, z2, by512);
    z3 = fold64(z2, z3, by512);
    z4 = fold64(z3, z4, by512);
    _mm512_storeu_si512(lanes, z4);
    return done;
}

bool detectWideFolding()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq");
}

// Folding with carry-less multiplication over the reflected polynomial: four 128-bit lanes are
// folded 64 bytes at a time, merged into one lane, folded 16 bytes at a time, then reduced to 32
// bits with a Barrett step. The constants are x^(k) mod P for the fold distances, bit-reflected.
// Needs size >= 64 and a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t foldBlocks(std::uint32_t state, const std::uint8_t* data,
    std::size_t size)
{
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);  // fold by 512 bits
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);  // fold by 128 bits
    const __m128i k5k0 = _mm_set_epi64x(0x0000000000, 0x0163cd6124);  // 64 -> 32 bits
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);  // P' and mu
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

    static const bool wide = detectWideFolding();
    std::uint8_t lanes[64];
    const std::uint8_t* first = data;
    std::uint32_t initial = state;
    if (wide && size >= 512) {
        const std::size_t done = foldWide(state, data, size, lanes);
        data += done;
        size -= done;
        first = lanes; // the four lanes as if they were the first 64 bytes, the register already in
        initial = 0;
    } else {
        data += 64;
        size -= 64;
    }
    __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + 0x00));
    __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + 0x10));
    __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + 0x20));
    __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + 0x30));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(initial)));

    while (size >= 64) {
        const __m128i y1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 0x00));
        const __m128i y2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 0x10));
        const __m128i y3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 0x20));
        const __m128i y4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 0x30));
        const __m128i l1 = _mm_clmulepi64_si128(x1, k1k2, 0x00);
        const __m128i l2 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
        const __m128i l3 = _mm_clmulepi64_si128(x3, k1k2, 0x00);
        const __m128i l4 = _mm_clmulepi64_si128(x4, k1k2, 0x00);
        x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k1k2, 0x11), l1), y1);
        x2 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x2, k1k2, 0x11), l2), y2);
        x3 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x3, k1k2, 0x11), l3), y3);
        x4 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x4, k1k2, 0x11), l4), y4);
        data += 64;
        size -= 64;
    }

    x1 = fold16(x1, x2, k3k4);
    x1 = fold16(x1, x3, k3k4);
    x1 = fold16(x1, x4, k3k4);
    while (size >= 16) {
        x1 = fold16(x1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(data)), k3k4);
        data += 16;
        size -= 16;
    }

    // 128 -> 64 bits.
    __m128i t = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
    // 64 -> 32 bits.
    t = _mm_srli_si128(x1, 4);
    x1 = _mm_and_si128(x1, low32);
    x1 = _mm_clmulepi64_si128(x1, k5k0, 0x00);
    x1 = _mm_xor_si128(x1, t);
    // Barrett reduction.
    t = _mm_and_si128(x1, low32);
    t = _mm_clmulepi64_si128(t, poly, 0x10);
    t = _mm_and_si128(t, low32);
    t = _mm_clmulepi64_si128(t, poly, 0x00);
    x1 = _mm_xor_si128(x1, t);
    return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

bool detectFolding()
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    return (ecx & bit_PCLMUL) != 0 && (ecx & bit_SSE4_1) != 0;
}

#endif

// Below this the setup of the folding path costs more than it saves.
constexpr std::size_t foldingMinimum = 64;

} // namespace

namespace crc32detail {

std::uint32_t updateSliceBy8(std::uint32_t state, const std::uint8_t* data, std::size_t size)
{
    while (size >= 8) {
        const std::uint32_t one = loadLittle32(data) ^ state;
        const std::uint32_t two = loadLittle32(data + 4);
        state = tables[7][one & 0xFFu] ^ tables[6][(one >> 8) & 0xFFu] ^ tables[5][(one >> 16) & 0xFFu]
            ^ tables[4][one >> 24] ^ tables[3][two & 0xFFu] ^ tables[2][(two >> 8) & 0xFFu]
            ^ tables[1][(two >> 16) & 0xFFu] ^ tables[0][two >> 24];
        data += 8;
        size -= 8;
    }
    return updateBytes(state, data, size);
}

std::uint32_t updateFolding(std::uint32_t state, const std::uint8_t* data, std::size_t size)
{
#if defined(__x86_64__)
    if (size >= foldingMinimum) {
        const std::size_t blocks = size & ~static_cast<std::size_t>(15);
        state = foldBlocks(state, data, blocks);
        data += blocks;
        size -= blocks;
    }
#endif
    return updateSliceBy8(state, data, size);
}

bool hasFoldingSupport()
{
#if defined(__x86_64__)
    static const bool supported = detectFolding();
    return supported;
#else
    return false;
#endif
}

} // namespace crc32detail

void CRC32::update(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return;
    }
    if (size >= foldingMinimum && crc32detail::hasFoldingSupport()) {
        state_ = crc32detail::updateFolding(state_, data, size);
    } else {
        state_ = crc32detail::updateSliceBy8(state_, data, size);
    }
}

std::uint32_t CRC32::value(const Bytes& bytes)
{
    CRC32 crc;
    crc.update(bytes);
    return crc.value();
}

} // namespace p2p
