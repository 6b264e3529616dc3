#include "app/platform/decoding/HeifImageDecoder.h"
#include "app/platform/decoding/PixelBudget.h"

#include "support/app/CraftedHeif.h"
#include "support/app/Eventually.h"
#include "support/app/MediaClips.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <memory>
#include <thread>

using namespace app;

// Files whose coded pictures are not the size they declare open no decoder, libheif included; files
// that only share their configuration or refer to one thumbnail many times decode as any other,
// as a grid thumbnail and in the viewer. (Their time and memory are in HeicBombBench.)
TEST(HeifImageDecoderTest, DecodesNoMoreThanAFileDeclares)
{
    using ::test::craftedheif::Shape;
    struct Case {
        const char* name;
        Shape shape;
        QSize shown; // empty: refused
    };
    using ::test::craftedheif::grid;
    const auto withThumbnails = [&](int references) {
        Shape s = grid(2, 2, 64, 48, 64, 48);
        s.thumbnailReferences = references;
        return s;
    };
    Shape padded = grid(32, 32, 64, 48, 64, 48);
    padded.configPadding = 900 * 1024;
    Shape ownSetLarger = grid(2, 2, 64, 48, 64, 48);
    ownSetLarger.ownCodedWidth = ownSetLarger.ownCodedHeight = 16000;
    Shape turnedShown = grid(1, 1, 48, 64, 64, 48);
    turnedShown.quarterTurns = 1;
    const Case cases[] = {
        {"1,024 tiles declared 64x64 coded 8192x4320", grid(32, 32, 64, 64, 8192, 4320), {}},
        {"64 tiles declared 64x64 coded 16000x16000", grid(8, 8, 64, 64, 16000, 16000), {}},
        {"one 64x64 picture coded 16000x16000", grid(1, 1, 64, 64, 16000, 16000), {}},
        {"coded smaller than declared", grid(1, 1, 64, 64, 64, 48), {}},
        {"transposed without a quarter turn", grid(1, 1, 48, 64, 64, 48), {}},
        {"the first picture's own parameter set coding 16000x16000", ownSetLarger, {}},
        {"one 900 KB configuration shared by 1,024 tiles", padded, {2048, 1536}},
        {"3 thumbnail references", withThumbnails(3), {128, 96}},
        {"10,000 thumbnail references", withThumbnails(10000), {128, 96}},
        {"60,000 thumbnail references", withThumbnails(60000), {128, 96}},
        {"declared as shown under a quarter turn", turnedShown, {48, 64}},
        // Over what a camera makes, whatever it codes.
        {"one picture declared and coded 16000x16000", grid(1, 1, 16000, 16000, 16000, 16000), {}},
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray bytes = ::test::craftedheif::build(c.shape);
        ASSERT_FALSE(bytes.isEmpty());
        const QString path = dir.filePath("crafted.heic");
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(bytes), bytes.size());
        file.close();
        const bool refused = c.shown.isEmpty();
        EXPECT_EQ(HeifImageDecoder::codesMoreThanDeclared(path), refused);
        const double peak = app::test::peakGrowthMiB([&] {
            EXPECT_EQ(HeifImageDecoder::decodeWithLibheif(path, 256).isNull(), refused);
            for (const int pixels : {256, 2200}) {
                const QImage image = HeifImageDecoder::decodeFile(path, pixels);
                const QImage fast = HeifImageDecoder::decodeWithFfmpeg(path, pixels);
                EXPECT_EQ(image.size(), refused ? QSize(0, 0) : ImageScaling::fittedSize(c.shown, pixels)) << pixels;
                EXPECT_EQ(fast.size(), image.size()) << pixels; // our own decoder takes every file it does not refuse
            }
        });
        if (refused)
            EXPECT_LT(peak, 64);
        EXPECT_EQ(PixelBudget::held(), 0u);
    }
}

// A request waits behind those that came before it, never behind later ones, and one larger than the
// whole budget is served alone once those before it are done.
TEST(PixelBudget, servesRequestsInTheOrderTheyCame)
{
    auto held = std::make_unique<PixelBudget::Lease>(PixelBudget::total / 2);
    std::atomic<bool> largeServed = false, smallServed = false, largeDone = false;
    std::thread large([&] {
        const PixelBudget::Lease lease(PixelBudget::total * 3);
        largeServed = true;
        while (!largeDone)
            std::this_thread::yield();
    });
    ASSERT_EVENTUALLY(PixelBudget::waiting() == 1);
    std::thread small([&] {
        const PixelBudget::Lease lease(1);
        smallServed = true;
    });
    ASSERT_EVENTUALLY(PixelBudget::waiting() == 2 || smallServed);
    EXPECT_FALSE(smallServed); // there is room beside the held lease, but the large one came first
    held.reset();
    ASSERT_EVENTUALLY(largeServed);
    EXPECT_EQ(PixelBudget::held(), PixelBudget::total);
    EXPECT_FALSE(smallServed);
    largeDone = true;
    large.join();
    small.join();
    EXPECT_TRUE(smallServed);
    EXPECT_EQ(PixelBudget::held(), 0u);

    // Given up while waiting, a request leaves the queue to those behind it.
    held = std::make_unique<PixelBudget::Lease>(PixelBudget::total);
    std::atomic<bool> abandon = false;
    bool granted = true;
    std::thread leaving([&] { granted = PixelBudget::Lease(1, abandon).granted(); });
    ASSERT_EVENTUALLY(PixelBudget::waiting() == 1);
    abandon = true;
    leaving.join();
    EXPECT_FALSE(granted);
    EXPECT_EQ(PixelBudget::waiting(), 0u);
}
