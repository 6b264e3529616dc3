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

// HLG's inverse OETF. Its exponential is a polynomial about the middle of its half, so that eight
// lanes work it out without tables; the plain path builds its table from this same arithmetic.
constexpr float hlgA = 0.17883277f, hlgB = 0.28466892f, hlgC = 0.55991073f;
// exp((e - c) / a) = exp((0.75 - c) / a) * exp(h)^2 with h = (e - 0.75) / 2a, |h| <= 0.7 on e's upper half.
const float hlgMiddle = float(std::exp((0.75 - double(hlgC)) / double(hlgA)));
constexpr float hlgHalfSlope = float(1.0 / (2.0 * double(hlgA)));
constexpr float taylor[7] = {1.0f / 720, 1.0f / 120, 1.0f / 24, 1.0f / 6, 0.5f, 1.0f, 1.0f};

float hlgToSceneLight(float e)
{
    const float low = e * e * (1.0f / 3);
    const float h = (e - 0.75f) * hlgHalfSlope;
    float p = taylor[0];
    for (int i = 1; i < 7; ++i)
        p = p * h + taylor[i];
    const float high = (p * p * hlgMiddle + hlgB) * (1.0f / 12);
    return e <= 0.5f ? low : high;
}

float pqToLight(float e)
{
    constexpr float m1 = 2610.0f / 16384, m2 = 2523.0f / 4096 * 128, c1 = 3424.0f / 4096, c2 = 2413.0f / 4096 * 32,
                    c3 = 2392.0f / 4096 * 32;
    const float p = std::pow(std::max(e, 0.0f), 1.0f / m2);
    return std::pow(std::max(p - c1, 0.0f) / (c2 - c3 * p), 1.0f / m1);
}

constexpr float hableA = 0.15f, hableB = 0.50f, hableCB = 0.10f * 0.50f, hableDE = 0.20f * 0.02f,
                hableDF = 0.20f * 0.30f, hableEF = 0.02f / 0.30f;

float hable(float x)
{
    return (x * (x * hableA + hableCB) + hableDE) / (x * (x * hableA + hableB) + hableDF) - hableEF;
}

// Hable's curve over the light, as a gain on it: one division, in the order the eight lanes do it.
float curveGain(float light, float hablePeak)
{
    const float x = std::max(light, 1e-6f);
    const float numerator = x * (x * hableA + hableCB) + hableDE;
    const float denominator = x * (x * hableA + hableB) + hableDF;
    return (numerator - hableEF * denominator) / (denominator * (x * hablePeak));
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
    : signal_(signal), hablePeak_(hable(peak))
{
    for (int i = 0; i < 256; ++i) {
        const float e = float(i) * (1.0f / 255);
        toLight_[size_t(i)] = signal == Signal::hlg ? hlgToSceneLight(e) : pqToLight(e) * pqScale;
    }
    for (int i = 0; i < lutSize; ++i) {
        const float e = float(i) / (lutSize - 1);
        toSignal_[size_t(i)] = uint32_t(std::lround(std::clamp(bt709Encode(e), 0.0f, 1.0f) * 255));
        // HLG's display gamma of 1.2 on scene luminance, indexed by that luminance.
        hlgGain_[size_t(i)] = hlgScale * std::pow(e, 0.2f);
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
        const float k = curveGain(std::max({r7, g7, b7, 0.0f}), hablePeak_);
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

TESS_AVX2 __m256 plus(__m256 a, float c)
{
    return _mm256_add_ps(a, _mm256_set1_ps(c));
}

TESS_AVX2 __m256 hlgToSceneLight8(__m256i signal)
{
    const __m256 e = times(1.0f / 255, _mm256_cvtepi32_ps(signal));
    const __m256 low = times(1.0f / 3, _mm256_mul_ps(e, e));
    const __m256 h = times(hlgHalfSlope, plus(e, -0.75f));
    __m256 p = _mm256_set1_ps(taylor[0]);
    for (int i = 1; i < 7; ++i)
        p = plus(_mm256_mul_ps(p, h), taylor[i]);
    const __m256 high = times(1.0f / 12, plus(times(hlgMiddle, _mm256_mul_ps(p, p)), hlgB));
    return _mm256_blendv_ps(high, low, _mm256_cmp_ps(e, _mm256_set1_ps(0.5f), _CMP_LE_OQ));
}

TESS_AVX2 __m256 curveGain8(__m256 light, float hablePeak)
{
    const __m256 x = _mm256_max_ps(light, _mm256_set1_ps(1e-6f));
    const __m256 numerator = plus(_mm256_mul_ps(x, plus(times(hableA, x), hableCB)), hableDE);
    const __m256 denominator = plus(_mm256_mul_ps(x, plus(times(hableA, x), hableB)), hableDF);
    return _mm256_div_ps(_mm256_sub_ps(numerator, times(hableEF, denominator)),
                         _mm256_mul_ps(denominator, times(hablePeak, x)));
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
        __m256 r, g, b;
        if (signal_ == Signal::hlg) {
            const __m256i byte = _mm256_set1_epi32(0xff);
            r = hlgToSceneLight8(_mm256_and_si256(_mm256_srli_epi32(p, 16), byte));
            g = hlgToSceneLight8(_mm256_and_si256(_mm256_srli_epi32(p, 8), byte));
            b = hlgToSceneLight8(_mm256_and_si256(p, byte));
            const __m256 y = _mm256_add_ps(_mm256_add_ps(times(0.2627f, r), times(0.6780f, g)), times(0.0593f, b));
            const __m256 gain = _mm256_i32gather_ps(hlgGain_.data(), lutIndex8(y), 4);
            r = _mm256_mul_ps(r, gain);
            g = _mm256_mul_ps(g, gain);
            b = _mm256_mul_ps(b, gain);
        } else {
            r = gatherChannel(toLight_.data(), p, 16);
            g = gatherChannel(toLight_.data(), p, 8);
            b = gatherChannel(toLight_.data(), p, 0);
        }
        const __m256 r7 = _mm256_sub_ps(_mm256_sub_ps(times(1.6605f, r), times(0.5876f, g)), times(0.0728f, b));
        const __m256 g7 = _mm256_sub_ps(_mm256_add_ps(times(-0.1246f, r), times(1.1329f, g)), times(0.0083f, b));
        const __m256 b7 = _mm256_add_ps(_mm256_sub_ps(times(-0.0182f, r), times(0.1006f, g)), times(1.1187f, b));
        const __m256 brightest = _mm256_max_ps(_mm256_max_ps(_mm256_max_ps(r7, g7), b7), _mm256_setzero_ps());
        const __m256 k = curveGain8(brightest, hablePeak_);
        const __m256i out = _mm256_or_si256(
            _mm256_or_si256(_mm256_set1_epi32(int(0xff000000)), _mm256_slli_epi32(encode(toSignal_.data(), r7, k), 16)),
            _mm256_or_si256(_mm256_slli_epi32(encode(toSignal_.data(), g7, k), 8), encode(toSignal_.data(), b7, k)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(line + x), out);
    }
}

} // namespace app
