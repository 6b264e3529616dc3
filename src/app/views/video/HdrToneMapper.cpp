#include "app/views/video/HdrToneMapper.h"

#include <algorithm>
#include <cmath>

namespace app {

namespace {

constexpr int lutSize = 1 << HdrToneMapper::lutBits;
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

} // namespace

HdrToneMapper::HdrToneMapper(Signal signal) : signal_(signal)
{
    for (int i = 0; i < lutSize; ++i) {
        const float e = float(i) / (lutSize - 1);
        toLight_[size_t(i)] = signal == Signal::hlg ? hlgToSceneLight(e) : pqToLight(e) * pqScale;
        toSignal_[size_t(i)] = uint8_t(std::lround(std::clamp(bt709Encode(e), 0.0f, 1.0f) * 255));
        // HLG's display gamma of 1.2 on scene luminance, indexed by that luminance.
        hlgGain_[size_t(i)] = hlgScale * std::pow(e, 0.2f);
    }
}

void HdrToneMapper::map(const uint16_t* source, qsizetype sourceStride, QImage& target, int firstRow,
                        int endRow) const
{
    const float hablePeak = hable(peak);
    const int shift = 16 - lutBits;
    const auto index = [&](float v) { return size_t(std::clamp(int(v * (lutSize - 1) + 0.5f), 0, lutSize - 1)); };
    for (int y = firstRow; y < endRow; ++y) {
        const uint16_t* in = reinterpret_cast<const uint16_t*>(reinterpret_cast<const char*>(source) + y * sourceStride);
        QRgb* out = reinterpret_cast<QRgb*>(target.scanLine(y));
        for (int x = 0; x < target.width(); ++x, in += 4) {
            float r = toLight_[in[2] >> shift], g = toLight_[in[1] >> shift], b = toLight_[in[0] >> shift];
            if (signal_ == Signal::hlg) {
                const float gain = hlgGain_[index(0.2627f * r + 0.6780f * g + 0.0593f * b)];
                r *= gain;
                g *= gain;
                b *= gain;
            }
            // BT.2020 to BT.709 primaries, in light.
            const float r7 = 1.6605f * r - 0.5876f * g - 0.0728f * b;
            const float g7 = -0.1246f * r + 1.1329f * g - 0.0083f * b;
            const float b7 = -0.0182f * r - 0.1006f * g + 1.1187f * b;
            // The curve on the brightest channel, the others scaled with it: hues stay.
            const float signal = std::max({r7, g7, b7, 1e-6f});
            const float k = hable(signal) / hablePeak / signal;
            out[x] = qRgb(toSignal_[index(r7 * k)], toSignal_[index(g7 * k)], toSignal_[index(b7 * k)]);
        }
    }
}

} // namespace app
