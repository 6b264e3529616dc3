#pragma once

#include <QImage>

#include <array>
#include <cstdint>

namespace app {

// Brings a frame of an HDR phone clip (BT.2020 primaries, HLG or PQ signal) to SDR BT.709 colours
// the way ffmpeg's zscale and tonemap filters do it with their usual settings: the signal to light
// with 100 nits as 1.0 (HLG's system gamma for a 1000-nit display), BT.2020 to BT.709 primaries,
// Hable's curve on the brightest channel with a peak of 10, then BT.709 as displays decode it.
// The signal's curves are tables or short polynomials and the tone curve one division, so a 720p
// frame takes a few milliseconds.
class HdrToneMapper {
public:
    enum class Signal { hlg, pq };
    // `lanes` caps the pixels taken a step (16, 8 or 1) below what the processor offers.
    explicit HdrToneMapper(Signal signal, int lanes = 16);

    Signal signal() const { return signal_; }
    // In place, on 32-bit RGB holding the non-linear BT.2020 signal; rows [firstRow, endRow) only.
    void map(QImage& image, int firstRow, int endRow) const;

    static constexpr int lutSize = 4096;

private:
    void mapRow(QRgb* line, int count) const;

    Signal signal_;
    int lanes_;
    // Hable's curve as a gain: (slope x + floor) / (x (A x + B) + D F).
    float curveSlope_ = 0, curveFloor_ = 0;
    std::array<float, 256> toLight_{};
    std::array<float, lutSize> hlgGain_{};
    // 32-bit so eight can be gathered at once.
    std::array<uint32_t, lutSize> toSignal_{};
};

} // namespace app
