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

// HLG's inverse OETF of an 8-bit signal s (e = s / 255). Its exponential is a polynomial about
// the middle of its half, so that the lanes work it out without tables; the plain path builds its
// table from this same arithmetic.
constexpr float hlgA = 0.17883277f, hlgB = 0.28466892f, hlgC = 0.55991073f;
// exp((e - c) / a) = exp((0.75 - c) / a) * exp(h)^2 with h = (e - 0.75) / 2a, |h| <= 0.7 on e's upper half.
const float hlgMiddle = float(std::exp((0.75 - double(hlgC)) / double(hlgA)));
constexpr float hlgStep = float(1.0 / (255 * 2.0 * double(hlgA))), hlgStart = float(-0.75 / (2.0 * double(hlgA)));
// exp(h) on [-0.7, 0.7] fitted at Chebyshev nodes, highest power first: within 1.7e-4 of it.
constexpr float hlgExp[5] = {0.042697982f, 0.171833787f, 0.499809852f, 0.999364448f, 1.00000519f};
constexpr float hlgLowScale = 1.0f / (3 * 255 * 255);

float hlgToSceneLight(int signal)
{
    const float s = float(signal);
    const float low = s * s * hlgLowScale;
    const float h = s * hlgStep + hlgStart;
    float p = hlgExp[0];
    for (int i = 1; i < 5; ++i)
        p = p * h + hlgExp[i];
    const float high = (p * p * hlgMiddle + hlgB) * (1.0f / 12);
    return s <= 127.5f ? low : high;
}

float pqToLight(float e)
{
    constexpr float m1 = 2610.0f / 16384, m2 = 2523.0f / 4096 * 128, c1 = 3424.0f / 4096, c2 = 2413.0f / 4096 * 32,
                    c3 = 2392.0f / 4096 * 32;
    const float p = std::pow(std::max(e, 0.0f), 1.0f / m2);
    return std::pow(std::max(p - c1, 0.0f) / (c2 - c3 * p), 1.0f / m1);
}

constexpr double hableA = 0.15, hableB = 0.50, hableC = 0.10, hableD = 0.20, hableE = 0.02, hableF = 0.30;

double hable(double x)
{
    return (x * (x * hableA + hableC * hableB) + hableD * hableE) / (x * (x * hableA + hableB) + hableD * hableF)
        - hableE / hableF;
}

// Hable's curve over the light as a gain on it, divided by its value at the peak and scaled to
// index the display table. Its constant terms cancel (D E = E / F * D F), so the light divides
// out: gain(x) = (slope x + floor) / (x (A x + B) + D F), for x >= 0 never a division by zero.
struct Curve {
    float slope, floor;
};
constexpr float curveA = float(hableA), curveB = float(hableB), curveDF = float(hableD * hableF);

Curve curveFor(double peakLight)
{
    const double scale = (HdrToneMapper::lutSize - 1) / hable(peakLight);
    return {float(hableA * (1 - hableE / hableF) * scale), float(hableB * (hableC - hableE / hableF) * scale)};
}

float curveGain(float x, Curve curve)
{
    return (x * curve.slope + curve.floor) / (x * (x * curveA + curveB) + curveDF);
}

// BT.709 as displays decode it (BT.1886, gamma 2.4), which is what zscale writes for bt709.
float bt709Encode(float l)
{
    return std::pow(std::max(l, 0.0f), 1.0f / 2.4f);
}

// What the lanes need of a mapper.
struct Steps {
    bool hlg;
    Curve curve;
    const float* toLight;
    const float* hlgGain;
    const uint32_t* toSignal;
};

// A value already scaled to the table.
inline int nearestEntry(float v)
{
    return std::clamp(int(v + 0.5f), 0, lutSize - 1);
}

inline int lutIndex(float v)
{
    return nearestEntry(v * (lutSize - 1));
}

} // namespace

HdrToneMapper::HdrToneMapper(Signal signal, int lanes)
    : signal_(signal)
{
    const Curve curve = curveFor(peak);
    curveSlope_ = curve.slope;
    curveFloor_ = curve.floor;
    static const int offered = __builtin_cpu_supports("avx512f") ? 16 : __builtin_cpu_supports("avx2") ? 8 : 1;
    lanes_ = std::min(lanes, offered);
    for (int i = 0; i < 256; ++i) {
        toLight_[size_t(i)] = signal == Signal::hlg ? hlgToSceneLight(i) : pqToLight(float(i) / 255) * pqScale;
    }
    for (int i = 0; i < lutSize; ++i) {
        const float e = float(i) / (lutSize - 1);
        toSignal_[size_t(i)] = uint32_t(std::lround(std::clamp(bt709Encode(e), 0.0f, 1.0f) * 255));
        // HLG's display gamma of 1.2 on scene luminance, indexed by that luminance.
        hlgGain_[size_t(i)] = hlgScale * std::pow(e, 0.2f);
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
        const float k = curveGain(std::max({r7, g7, b7, 0.0f}), {curveSlope_, curveFloor_});
        line[x] = qRgb(int(toSignal_[size_t(nearestEntry(r7 * k))]), int(toSignal_[size_t(nearestEntry(g7 * k))]),
                       int(toSignal_[size_t(nearestEntry(b7 * k))]));
    }
}

// The lanes take the same steps as mapRow, in the same order and without fused multiply-adds
// (this file is built with contraction off), so that they index the tables exactly as it does.
#define TESS_LANES __attribute__((always_inline)) inline

#pragma GCC push_options
#pragma GCC target("avx2")
namespace lanes8 {
namespace {
using F = __m256;
using I = __m256i;
TESS_LANES I loadPixels(const QRgb* p) { return _mm256_loadu_si256(reinterpret_cast<const I*>(p)); }
TESS_LANES void storePixels(QRgb* p, I v) { _mm256_storeu_si256(reinterpret_cast<I*>(p), v); }
TESS_LANES F splat(float c) { return _mm256_set1_ps(c); }
TESS_LANES I splat(int c) { return _mm256_set1_epi32(c); }
TESS_LANES F toFloat(I v) { return _mm256_cvtepi32_ps(v); }
TESS_LANES I truncated(F v) { return _mm256_cvttps_epi32(v); }
TESS_LANES F larger(F a, F b) { return _mm256_max_ps(a, b); }
TESS_LANES I clamped(I v, int low, int high)
{
    return _mm256_min_epi32(_mm256_max_epi32(v, splat(low)), splat(high));
}
TESS_LANES I both(I a, I b) { return _mm256_and_si256(a, b); }
TESS_LANES I either(I a, I b) { return _mm256_or_si256(a, b); }
TESS_LANES I down(I v, int bits) { return _mm256_srli_epi32(v, bits); }
TESS_LANES I up(I v, int bits) { return _mm256_slli_epi32(v, bits); }
TESS_LANES F atMost(F v, float limit, F low, F high)
{
    return _mm256_blendv_ps(high, low, _mm256_cmp_ps(v, splat(limit), _CMP_LE_OQ));
}
TESS_LANES F gather(const float* table, I index) { return _mm256_i32gather_ps(table, index, 4); }
TESS_LANES I gather(const uint32_t* table, I index)
{
    return _mm256_i32gather_epi32(reinterpret_cast<const int*>(table), index, 4);
}
constexpr int width = 8;
#include "app/platform/playback/HdrToneMapperLanes.inc"
} // namespace
} // namespace lanes8
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f")
namespace lanes16 {
namespace {
using F = __m512;
using I = __m512i;
TESS_LANES I loadPixels(const QRgb* p) { return _mm512_loadu_si512(p); }
TESS_LANES void storePixels(QRgb* p, I v) { _mm512_storeu_si512(p, v); }
TESS_LANES F splat(float c) { return _mm512_set1_ps(c); }
TESS_LANES I splat(int c) { return _mm512_set1_epi32(c); }
TESS_LANES F toFloat(I v) { return _mm512_cvtepi32_ps(v); }
TESS_LANES I truncated(F v) { return _mm512_cvttps_epi32(v); }
TESS_LANES F larger(F a, F b) { return _mm512_max_ps(a, b); }
TESS_LANES I clamped(I v, int low, int high)
{
    return _mm512_min_epi32(_mm512_max_epi32(v, splat(low)), splat(high));
}
TESS_LANES I both(I a, I b) { return _mm512_and_si512(a, b); }
TESS_LANES I either(I a, I b) { return _mm512_or_si512(a, b); }
TESS_LANES I down(I v, int bits) { return _mm512_srli_epi32(v, unsigned(bits)); }
TESS_LANES I up(I v, int bits) { return _mm512_slli_epi32(v, unsigned(bits)); }
TESS_LANES F atMost(F v, float limit, F low, F high)
{
    return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(v, splat(limit), _CMP_LE_OQ), high, low);
}
TESS_LANES F gather(const float* table, I index) { return _mm512_i32gather_ps(index, table, 4); }
TESS_LANES I gather(const uint32_t* table, I index) { return _mm512_i32gather_epi32(index, table, 4); }
constexpr int width = 16;
#include "app/platform/playback/HdrToneMapperLanes.inc"
} // namespace
} // namespace lanes16
#pragma GCC pop_options
#undef TESS_LANES

void HdrToneMapper::map(QImage& image, int firstRow, int endRow) const
{
    // Eight or sixteen pixels a step where the processor can: a 4K clip's frames are due every
    // 33 ms on two cores that are decoding too.
    const Steps steps{signal_ == Signal::hlg, {curveSlope_, curveFloor_}, toLight_.data(), hlgGain_.data(),
                      toSignal_.data()};
    for (int y = firstRow; y < endRow; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        int done = 0;
        if (lanes_ >= 16) {
            done = image.width() / 16 * 16;
            lanes16::mapRow(steps, line, done);
        }
        if (lanes_ >= 8) {
            const int eights = (image.width() - done) / 8 * 8;
            lanes8::mapRow(steps, line + done, eights);
            done += eights;
        }
        mapRow(line + done, image.width() - done);
    }
}

} // namespace app
