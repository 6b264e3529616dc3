#include "p2p/protocol/progress/TransferETAEstimator.h"

#include "p2p/protocol/Saturating.h"
#include "p2p/protocol/errors/UserFacingError.h"

#include <algorithm>
#include <cmath>

namespace p2p {

namespace {

constexpr double minimumSampleInterval = 0.4;   // seconds between samples that count
constexpr double smoothingWeight = 0.28;        // weight of the newest rate
constexpr double displayHoldTime = 1.5;         // the text changes at most this often
constexpr double warmUpTime = 3.0;
constexpr double assetWarmUpTime = 4.0;
constexpr double minimumTrustedByteRate = 2048.0;
constexpr std::int64_t smallestByteThreshold = 256 * 1024;
constexpr std::int64_t largestByteThreshold = 2 * 1024 * 1024;

double secondsBetween(TransferETAEstimator::TimePoint from, TransferETAEstimator::TimePoint to)
{
    return std::chrono::duration<double>(to - from).count();
}

double smoothed(std::optional<double> previous, double rate)
{
    return previous ? rate * smoothingWeight + *previous * (1.0 - smoothingWeight) : rate;
}

std::string fill(std::string text, std::int64_t n)
{
    // The template may be a translation: substitute literally, never use it as a format.
    const auto at = text.find("%d");
    if (at != std::string::npos) {
        text.replace(at, 2, std::to_string(n));
    }
    return text;
}

// Half away from zero, clamped so the integer conversion is always defined.
std::int64_t roundClamped(double value)
{
    constexpr double limit = 1e15;
    return static_cast<std::int64_t>(std::round(std::clamp(value, -limit, limit)));
}

} // namespace

TransferETAEstimator::TransferETAEstimator(ClockFunction clock)
    : clock_(clock ? std::move(clock) : ClockFunction([] { return Clock::now(); }))
{
}

void TransferETAEstimator::reset()
{
    ClockFunction clock = std::move(clock_);
    *this = TransferETAEstimator(std::move(clock));
}

std::optional<std::string> TransferETAEstimator::update(const TransferProgress& progress)
{
    return update(progress, clock_());
}

std::optional<std::string> TransferETAEstimator::update(const TransferProgress& progress, TimePoint now)
{
    recordSample(progress, now);
    if (!isWarmedUp(progress, now)) {
        return text_;
    }
    const auto seconds = remainingSeconds(progress);
    if (!seconds) {
        return text_;
    }
    std::string candidate = phrase(*seconds);
    if (!text_) {
        text_ = std::move(candidate);
        lastDisplayChange_ = now;
        return text_;
    }
    if (lastDisplayChange_ && secondsBetween(*lastDisplayChange_, now) < displayHoldTime) {
        return text_;
    }
    if (candidate != *text_) {
        text_ = std::move(candidate);
        lastDisplayChange_ = now;
    }
    return text_;
}

void TransferETAEstimator::recordSample(const TransferProgress& progress, TimePoint now)
{
    const std::int64_t bytes = progress.completedByteCount;
    const std::int64_t assets = progress.completedAssetCount;
    if (!firstSampleTime_) {
        firstSampleTime_ = now;
        lastSampleTime_ = now;
        startBytes_ = lastSampleBytes_ = bytes;
        startAssets_ = lastSampleAssets_ = assets;
        return;
    }
    if (bytes < lastSampleBytes_) {
        // Counts went back (a failed file was taken out): restart the interval, keep the rates.
        lastSampleTime_ = now;
        lastSampleBytes_ = bytes;
        lastSampleAssets_ = assets;
        return;
    }
    const double dt = secondsBetween(*lastSampleTime_, now);
    if (!(dt >= minimumSampleInterval)) {
        return;
    }
    const std::int64_t dBytes = saturatingSubtract(bytes, lastSampleBytes_);
    const std::int64_t dAssets = saturatingSubtract(assets, lastSampleAssets_);
    lastSampleTime_ = now;
    lastSampleBytes_ = bytes;
    lastSampleAssets_ = assets;
    if (dBytes >= 1) {
        smoothedBytesPerSecond_ = smoothed(smoothedBytesPerSecond_, static_cast<double>(dBytes) / dt);
    }
    if (dAssets >= 1) {
        smoothedAssetsPerSecond_ = smoothed(smoothedAssetsPerSecond_, static_cast<double>(dAssets) / dt);
    }
}

bool TransferETAEstimator::isWarmedUp(const TransferProgress& progress, TimePoint now) const
{
    if (!firstSampleTime_) {
        return false;
    }
    const double elapsed = secondsBetween(*firstSampleTime_, now);
    if (elapsed < warmUpTime) {
        return false;
    }
    const std::int64_t moved = saturatingSubtract(progress.completedByteCount, startBytes_);
    const std::int64_t movedAssets = saturatingSubtract(progress.completedAssetCount, startAssets_);
    const std::int64_t quarter = progress.totalByteCount / 4;
    const std::int64_t threshold
        = quarter <= 0 ? largestByteThreshold : std::clamp(quarter, smallestByteThreshold, largestByteThreshold);
    if (std::max<std::int64_t>(moved, 0) >= threshold) {
        return true;
    }
    return movedAssets >= 1 && elapsed >= assetWarmUpTime;
}

std::optional<double> TransferETAEstimator::remainingSeconds(const TransferProgress& progress) const
{
    const std::int64_t bytesLeft = saturatingSubtract(progress.totalByteCount, progress.completedByteCount);
    if (bytesLeft >= 1 && smoothedBytesPerSecond_ && *smoothedBytesPerSecond_ >= minimumTrustedByteRate) {
        return static_cast<double>(bytesLeft) / *smoothedBytesPerSecond_;
    }
    if (bytesLeft <= 0 && progress.totalByteCount >= 1) {
        return 0.0;
    }
    const std::int64_t assetsLeft = saturatingSubtract(progress.totalAssetCount, progress.completedAssetCount);
    if (assetsLeft >= 1 && smoothedAssetsPerSecond_ && *smoothedAssetsPerSecond_ > 0) {
        return static_cast<double>(assetsLeft) / *smoothedAssetsPerSecond_;
    }
    if (assetsLeft <= 0 && progress.totalAssetCount >= 1) {
        return 0.0;
    }
    return std::nullopt;
}

std::string TransferETAEstimator::phrase(double s)
{
    if (!(s >= 60.0)) { // also negative and NaN
        return UserFacingError::localized("eta.under_one_minute", "不到 1 分钟");
    }
    if (s < 600.0) {
        const std::int64_t n = std::max<std::int64_t>(roundClamped(s / 60.0), 1);
        return fill(UserFacingError::localized("eta.about_minutes", "约 %d 分钟"), n);
    }
    if (s < 3300.0) {
        const std::int64_t n = std::max<std::int64_t>(roundClamped(s / 60.0 / 5.0) * 5, 10);
        return fill(UserFacingError::localized("eta.about_minutes", "约 %d 分钟"), n);
    }
    const std::int64_t n = std::max<std::int64_t>(roundClamped(s / 3600.0), 1);
    return fill(UserFacingError::localized("eta.about_hours", "约 %d 小时"), n);
}

} // namespace p2p
