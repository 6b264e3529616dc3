#pragma once

#include <QImage>

#include <array>
#include <cstdint>

namespace app {

// Brings a frame of an HDR phone clip (BT.2020 primaries, HLG or PQ signal) to SDR BT.709 colours
// the way ffmpeg's zscale and tonemap filters do it with their usual settings: the signal to light
// with 100 nits as 1.0 (HLG's system gamma for a 1000-nit display), BT.2020 to BT.709 primaries,
// Hable's curve on the brightest channel with a peak of 10, then BT.709 as displays decode it.
class HdrToneMapper {
public:
    enum class Signal { hlg, pq };
    explicit HdrToneMapper(Signal signal);

    Signal signal() const { return signal_; }
    // Source: BGRA with 16 bits a channel holding the non-linear BT.2020 RGB signal; target: 32-bit
    // RGB of the same size. Rows [firstRow, endRow) only, so callers may split the work.
    void map(const uint16_t* source, qsizetype sourceStride, QImage& target, int firstRow, int endRow) const;

    static constexpr int lutBits = 12;

private:
    Signal signal_;
    // The signal (top 12 bits) to light, and light in [0, 1] to an 8-bit BT.709 value.
    std::array<float, 1 << lutBits> toLight_{};
    std::array<uint8_t, 1 << lutBits> toSignal_{};
    std::array<float, 1 << lutBits> hlgGain_{};
};

} // namespace app
