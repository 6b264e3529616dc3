#include "app/platform/playback/HdrToneMapper.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

namespace app {

namespace {

constexpr int lutSize = HdrToneMapper::lutSize;
// Light at 1000 nits (HLG's nominal display) or 10,000 nits (PQ's ceiling), 100 nits being 1.0.
constexpr float hlgScale = 10.0f, pqScale = 100.0f;
constexpr float peak = 10.0f;

float hlgToSceneLight(float e)
{
    constexpr float a = 0.17883277f, b = 0.28466892f, c = 0.55991073f;
    return e <= 0.5f ? e * e / 3.0f : (std::exp((e - c) / a) + b) / 12.0f;
}

float pqToLight(float e)
{
    constexpr float m1 = 2610.0f / 16384, m2 = 2523.0f / 4096 * 128, c1 = 3424.0f / 4096, c2 = 2413.0f / 4096 * 32,
                    c3 = 2392.0f / 4096 * 32;
    const float p = std::pow(std::max(e, 0.0f), 1.0f / m2);
    return std::pow(std::max(p - c1, 0.0f) / (c2 - c3 * p), 1.0f / m1);
}

float hable(float x)
{
    constexpr float A = 0.15f, B = 0.50f, C = 0.10f, D = 0.20f, E = 0.02f, F = 0.30f;
    return (x * (x * A + C * B) + D * E) / (x * (x * A + B) + D * F) - E / F;
}

// BT.709 as displays decode it (BT.1886, gamma 2.4), which is what zscale writes for bt709.
float bt709Encode(float l)
{
    return std::pow(std::max(l, 0.0f), 1.0f / 2.4f);
}

inline int lutIndex(float v)
{
    return std::clamp(int(v * (lutSize - 1) + 0.5f), 0, lutSize - 1);
}

} // namespace

HdrToneMapper::HdrToneMapper(Signal signal)
    // The primaries' matrix can lift a channel to 1.66 times the brightest light.
    : signal_(signal), maxLight_(2 * (signal == Signal::hlg ? hlgScale : pqScale))
{
    for (int i = 0; i < 256; ++i)
        toLight_[size_t(i)] = signal == Signal::hlg ? hlgToSceneLight(i / 255.0f) : pqToLight(i / 255.0f) * pqScale;
    const float hablePeak = hable(peak);
    for (int i = 0; i < lutSize; ++i) {
        const float e = float(i) / (lutSize - 1);
        toSignal_[size_t(i)] = uint32_t(std::lround(std::clamp(bt709Encode(e), 0.0f, 1.0f) * 255));
        // HLG's display gamma of 1.2 on scene luminance, indexed by that luminance.
        hlgGain_[size_t(i)] = hlgScale * std::pow(e, 0.2f);
        const float light = std::max(e * e * maxLight_, 1e-6f);
        curveGain_[size_t(i)] = hable(light) / hablePeak / light;
    }
}

void HdrToneMapper::map(QImage& image, int firstRow, int endRow) const
{
    // Eight pixels a step where the processor gathers from tables: a 4K clip's frames are due
    // every 33 ms on two cores that are decoding too.
    static const bool avx2 = __builtin_cpu_supports("avx2");
    for (int y = firstRow; y < endRow; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        const int done = avx2 ? image.width() / 8 * 8 : 0;
        if (done > 0)
            mapRowAvx2(line, done);
        mapRow(line + done, image.width() - done);
    }
}

void HdrToneMapper::mapRow(QRgb* line, int count) const
{
    for (int x = 0; x < count; ++x) {
        const QRgb p = line[x];
        float r = toLight_[size_t(qRed(p))], g = toLight_[size_t(qGreen(p))], b = toLight_[size_t(qBlue(p))];
        if (signal_ == Signal::hlg) {
            const float gain = hlgGain_[size_t(lutIndex(0.2627f * r + 0.6780f * g + 0.0593f * b))];
            r *= gain;
            g *= gain;
            b *= gain;
        }
        // BT.2020 to BT.709 primaries, in light.
        const float r7 = 1.6605f * r - 0.5876f * g - 0.0728f * b;
        const float g7 = -0.1246f * r + 1.1329f * g - 0.0083f * b;
        const float b7 = -0.0182f * r - 0.1006f * g + 1.1187f * b;
        // The curve on the brightest channel, the others scaled with it: hues stay.
        const float brightest = std::max({r7, g7, b7, 0.0f});
        const float k = curveGain_[size_t(lutIndex(std::sqrt(brightest / maxLight_)))];
        line[x] = qRgb(int(toSignal_[size_t(lutIndex(r7 * k))]), int(toSignal_[size_t(lutIndex(g7 * k))]),
                       int(toSignal_[size_t(lutIndex(b7 * k))]));
    }
}

namespace {

#define TESS_AVX2 __attribute__((target("avx2"), always_inline)) inline

TESS_AVX2 __m256i lutIndex8(__m256 v)
{
    const __m256i i = _mm256_cvttps_epi32(_mm256_add_ps(_mm256_mul_ps(v, _mm256_set1_ps(float(lutSize - 1))),
                                                        _mm256_set1_ps(0.5f)));
    return _mm256_min_epi32(_mm256_max_epi32(i, _mm256_setzero_si256()), _mm256_set1_epi32(lutSize - 1));
}

TESS_AVX2 __m256 times(float c, __m256 v)
{
    return _mm256_mul_ps(_mm256_set1_ps(c), v);
}

TESS_AVX2 __m256 gatherChannel(const float* table, __m256i pixels, int shift)
{
    return _mm256_i32gather_ps(table, _mm256_and_si256(_mm256_srli_epi32(pixels, shift), _mm256_set1_epi32(0xff)), 4);
}

TESS_AVX2 __m256i encode(const uint32_t* table, __m256 v, __m256 k)
{
    return _mm256_i32gather_epi32(reinterpret_cast<const int*>(table), lutIndex8(_mm256_mul_ps(v, k)), 4);
}

#undef TESS_AVX2

} // namespace

// The same steps as mapRow, in the same order, eight lanes at a time (no fused multiply-adds, so
// the tables are indexed exactly as there).
__attribute__((target("avx2"))) void HdrToneMapper::mapRowAvx2(QRgb* line, int count) const
{
    for (int x = 0; x < count; x += 8) {
        const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line + x));
        __m256 r = gatherChannel(toLight_.data(), p, 16);
        __m256 g = gatherChannel(toLight_.data(), p, 8);
        __m256 b = gatherChannel(toLight_.data(), p, 0);
        if (signal_ == Signal::hlg) {
            const __m256 y = _mm256_add_ps(_mm256_add_ps(times(0.2627f, r), times(0.6780f, g)), times(0.0593f, b));
            const __m256 gain = _mm256_i32gather_ps(hlgGain_.data(), lutIndex8(y), 4);
            r = _mm256_mul_ps(r, gain);
            g = _mm256_mul_ps(g, gain);
            b = _mm256_mul_ps(b, gain);
        }
        const __m256 r7 = _mm256_sub_ps(_mm256_sub_ps(times(1.6605f, r), times(0.5876f, g)), times(0.0728f, b));
        const __m256 g7 = _mm256_sub_ps(_mm256_add_ps(times(-0.1246f, r), times(1.1329f, g)), times(0.0083f, b));
        const __m256 b7 = _mm256_add_ps(_mm256_sub_ps(times(-0.0182f, r), times(0.1006f, g)), times(1.1187f, b));
        const __m256 brightest = _mm256_max_ps(_mm256_max_ps(_mm256_max_ps(r7, g7), b7), _mm256_setzero_ps());
        const __m256 k = _mm256_i32gather_ps(
            curveGain_.data(), lutIndex8(_mm256_sqrt_ps(_mm256_div_ps(brightest, _mm256_set1_ps(maxLight_)))), 4);
        const __m256i out = _mm256_or_si256(
            _mm256_or_si256(_mm256_set1_epi32(int(0xff000000)), _mm256_slli_epi32(encode(toSignal_.data(), r7, k), 16)),
            _mm256_or_si256(_mm256_slli_epi32(encode(toSignal_.data(), g7, k), 8), encode(toSignal_.data(), b7, k)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(line + x), out);
    }
}

} // namespace app
