#pragma once

#include "p2p/protocol/progress/TransferProgress.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace p2p {

// Turns progress samples into a smoothed, rounded, slowly changing remaining-time text.
class TransferETAEstimator {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    using ClockFunction = std::function<TimePoint()>;

    // `clock` gives "now" for update(progress); the steady clock when empty.
    explicit TransferETAEstimator(ClockFunction clock = {});

    void reset();
    // Records the sample and returns the text to show now (none until warmed up).
    std::optional<std::string> update(const TransferProgress& progress, TimePoint now);
    std::optional<std::string> update(const TransferProgress& progress);

    // "不到 1 分钟", "约 %d 分钟", "约 %d 小时" (looked up under the "eta." keys).
    static std::string phrase(double remainingSeconds);

    const std::optional<std::string>& text() const { return text_; }
    std::optional<double> smoothedBytesPerSecond() const { return smoothedBytesPerSecond_; }
    std::optional<double> smoothedAssetsPerSecond() const { return smoothedAssetsPerSecond_; }

    // Compares the estimate, not the clock.
    friend bool operator==(const TransferETAEstimator& a, const TransferETAEstimator& b)
    {
        return a.text_ == b.text_ && a.firstSampleTime_ == b.firstSampleTime_
            && a.lastSampleTime_ == b.lastSampleTime_ && a.lastSampleBytes_ == b.lastSampleBytes_
            && a.lastSampleAssets_ == b.lastSampleAssets_ && a.startBytes_ == b.startBytes_
            && a.startAssets_ == b.startAssets_ && a.smoothedBytesPerSecond_ == b.smoothedBytesPerSecond_
            && a.smoothedAssetsPerSecond_ == b.smoothedAssetsPerSecond_
            && a.lastDisplayChange_ == b.lastDisplayChange_;
    }

private:
    void recordSample(const TransferProgress& progress, TimePoint now);
    bool isWarmedUp(const TransferProgress& progress, TimePoint now) const;
    std::optional<double> remainingSeconds(const TransferProgress& progress) const;

    ClockFunction clock_;
    std::optional<std::string> text_;
    std::optional<TimePoint> firstSampleTime_;
    std::optional<TimePoint> lastSampleTime_;
    std::int64_t lastSampleBytes_ = 0;
    std::int64_t lastSampleAssets_ = 0;
    std::int64_t startBytes_ = 0;
    std::int64_t startAssets_ = 0;
    std::optional<double> smoothedBytesPerSecond_;
    std::optional<double> smoothedAssetsPerSecond_;
    std::optional<TimePoint> lastDisplayChange_;
};

} // namespace p2p
