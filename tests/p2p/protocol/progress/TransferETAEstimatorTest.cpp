#include "p2p/protocol/messages/SessionConfiguration.h"
#include "p2p/protocol/progress/TransferETAEstimator.h"
#include "p2p/protocol/errors/UserFacingError.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace p2p;
using namespace std::chrono_literals;

namespace {

using TimePoint = TransferETAEstimator::TimePoint;

const TimePoint start = TimePoint{} + 1000s;

TimePoint at(double seconds)
{
    return start + std::chrono::duration_cast<TransferETAEstimator::Clock::duration>(std::chrono::duration<double>(seconds));
}

TransferProgress bytesProgress(std::int64_t completed, std::int64_t total)
{
    TransferProgress progress;
    progress.completedByteCount = completed;
    progress.totalByteCount = total;
    return progress;
}

struct HookGuard {
    ~HookGuard() { UserFacingError::setLookupHook({}); }
};

} // namespace

TEST(TransferETAEstimator, PhraseBoundaries)
{
    struct Case {
        double seconds;
        const char* text;
    };
    const std::vector<Case> cases = {
        {-5, "不到 1 分钟"}, {0, "不到 1 分钟"}, {59, "不到 1 分钟"}, {60, "约 1 分钟"}, {89, "约 1 分钟"},
        {90, "约 2 分钟"}, {599, "约 10 分钟"}, {600, "约 10 分钟"}, {749, "约 10 分钟"}, {750, "约 15 分钟"},
        {3299, "约 55 分钟"}, {3300, "约 1 小时"}, {5399, "约 1 小时"}, {5400, "约 2 小时"},
        {std::nan(""), "不到 1 分钟"}, {1e300, "约 1000000000000000 小时"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TransferETAEstimator::phrase(c.seconds), c.text) << c.seconds;
    }

    // A translation is used as a template, not as a format; "%d" is replaced literally.
    HookGuard guard;
    UserFacingError::setLookupHook([](std::string_view key) -> std::optional<std::string> {
        if (key == "eta.about_minutes") {
            return std::string("%s about %d min");
        }
        return std::string(key); // untranslated
    });
    EXPECT_EQ(TransferETAEstimator::phrase(750), "%s about 15 min");
    EXPECT_EQ(TransferETAEstimator::phrase(5400), "约 2 小时");
}

TEST(TransferETAEstimator, SamplingGateAndSmoothing)
{
    TransferETAEstimator estimator;
    estimator.update(bytesProgress(0, 1'000'000'000), at(0));
    estimator.update(bytesProgress(30, 1'000'000'000), at(0.3)); // too soon: ignored
    EXPECT_FALSE(estimator.smoothedBytesPerSecond());
    estimator.update(bytesProgress(40, 1'000'000'000), at(0.4)); // 40 bytes over 0.4 s
    EXPECT_DOUBLE_EQ(*estimator.smoothedBytesPerSecond(), 100.0);
    estimator.update(bytesProgress(120, 1'000'000'000), at(0.8)); // 200 bytes/s
    EXPECT_DOUBLE_EQ(*estimator.smoothedBytesPerSecond(), 128.0);

    // Counts going back restart the interval and keep the rate.
    estimator.update(bytesProgress(50, 1'000'000'000), at(1.0));
    EXPECT_DOUBLE_EQ(*estimator.smoothedBytesPerSecond(), 128.0);
    estimator.update(bytesProgress(130, 1'000'000'000), at(1.4)); // 80 bytes over 0.4 s since the reset
    EXPECT_DOUBLE_EQ(*estimator.smoothedBytesPerSecond(), 200.0 * 0.28 + 128.0 * 0.72);

    estimator.reset();
    EXPECT_EQ(estimator, TransferETAEstimator());
}

TEST(TransferETAEstimator, WarmUpAndHysteresisOnAnInjectedClock)
{
    TimePoint now = at(0);
    TransferETAEstimator estimator([&] { return now; });
    const std::int64_t total = 100'000'000;

    // 1,000,000 bytes per second, sampled every 0.5 s.
    std::vector<std::optional<std::string>> texts;
    for (int i = 0; i <= 6; ++i) {
        now = at(i * 0.5);
        texts.push_back(estimator.update(bytesProgress(i * 500'000, total)));
    }
    for (int i = 0; i < 6; ++i) {
        EXPECT_FALSE(texts[i]) << "sample at " << i * 0.5 << " s";
    }
    ASSERT_TRUE(texts[6]); // 3 s, 3 MB moved
    EXPECT_EQ(*texts[6], "约 2 分钟"); // 97 s left

    // Everything arrives at once: "under a minute" is due, but the shown text holds for 1.5 s
    // after its last change.
    struct Step {
        double seconds;
        const char* shown;
    };
    for (const Step step : {Step{3.5, "约 2 分钟"}, Step{4.0, "约 2 分钟"}, Step{4.4, "约 2 分钟"},
             Step{4.5, "不到 1 分钟"}, Step{5.0, "不到 1 分钟"}}) {
        EXPECT_EQ(estimator.update(bytesProgress(total, total), at(step.seconds)), step.shown) << step.seconds;
    }
}

TEST(TransferETAEstimator, WarmUpNeedsBytesInProportionToTheTotal)
{
    // Three seconds in, the text appears exactly when enough bytes have moved: 256 KiB for small
    // totals, a quarter of totals from 1 MiB to 8 MiB, 2 MiB above that and without a byte total.
    struct Case {
        std::int64_t total;
        std::int64_t threshold;
    };
    for (const Case c : {Case{400 * 1024, 262'144}, Case{4 * 1024 * 1024, 1'048'576},
             Case{100'000'000, 2'097'152}, Case{3, 2'097'152}}) {
        for (const std::int64_t moved : {c.threshold - 1, c.threshold}) {
            TransferETAEstimator estimator;
            estimator.update(bytesProgress(0, c.total), at(0));
            const bool shown = estimator.update(bytesProgress(moved, c.total), at(3.0)).has_value();
            EXPECT_EQ(shown, moved >= c.threshold) << "total " << c.total << ", moved " << moved;
        }
    }
}

TEST(TransferETAEstimator, SlowBytesFallBackToTheAssetRate)
{
    TransferETAEstimator estimator;
    TransferProgress progress;
    progress.totalByteCount = 10'000'000;
    progress.totalAssetCount = 100;
    for (int i = 0; i <= 10; ++i) {
        progress.completedByteCount = i * 500;  // 1,000 bytes/s: not trusted
        progress.completedAssetCount = i;       // 2 assets/s
        const auto text = estimator.update(progress, at(i * 0.5));
        if (i * 0.5 >= 4.0) {
            ASSERT_TRUE(text) << i;
            EXPECT_EQ(*text, "不到 1 分钟"); // 92 assets at 2/s = 46 s
        } else {
            EXPECT_FALSE(text) << i; // below the byte threshold, asset warm-up needs 4 s
        }
    }
}

TEST(TransferProgressAndConfiguration, DerivedValuesAndPresets)
{
    TransferProgress progress;
    EXPECT_EQ(progress.fractionCompleted(), 0.0);
    progress.totalAssetCount = 4;
    progress.completedAssetCount = 3;
    EXPECT_EQ(progress.fractionCompleted(), 0.75);
    progress.totalByteCount = 100;
    progress.completedByteCount = 150;
    EXPECT_EQ(progress.fractionCompleted(), 1.0);
    progress.currentFileTotalByteCount = 8;
    progress.currentFileCompletedByteCount = 2;
    EXPECT_EQ(progress.currentFileFractionCompleted(), 0.25);

    const SessionConfiguration& defaults = SessionConfiguration::defaults();
    EXPECT_EQ(defaults.chunkByteCount, 262144);
    EXPECT_EQ(defaults.maximumFrameByteCount, 8388608);
    EXPECT_EQ(defaults.skipListBatchSize, 5000);
    EXPECT_EQ(defaults.ioTimeout, 30.0);
    EXPECT_EQ(SessionConfiguration::automatic(), defaults);
    SessionConfiguration debug = SessionConfiguration::debugFriendly();
    EXPECT_EQ(debug.handshakeTimeout, 3600.0);
    EXPECT_EQ(debug.idleTimeout, 3600.0);
    EXPECT_EQ(debug.heartbeatInterval, 3600.0);
    debug.handshakeTimeout = defaults.handshakeTimeout;
    debug.idleTimeout = defaults.idleTimeout;
    debug.heartbeatInterval = defaults.heartbeatInterval;
    EXPECT_EQ(debug, defaults);
}
