#include "app/platform/decoding/HeifImageDecoder.h"
#include "app/platform/decoding/PixelBudget.h"

#include "support/app/CraftedHeif.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

using namespace app;

// Files whose coded pictures are not the size they declare open no decoder, libheif included; files
// that only share their configuration or refer to one thumbnail many times decode as any other,
// as a grid thumbnail and in the viewer. (Their time and memory are in HeicBombBench.)
TEST(HeifImageDecoderTest, DecodesNoMoreThanAFileDeclares)
{
    using test::craftedheif::Shape;
    struct Case {
        const char* name;
        Shape shape;
        QSize shown; // empty: refused
    };
    using test::craftedheif::grid;
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
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray bytes = test::craftedheif::build(c.shape);
        ASSERT_FALSE(bytes.isEmpty());
        const QString path = dir.filePath("crafted.heic");
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(bytes), bytes.size());
        file.close();
        const bool refused = c.shown.isEmpty();
        EXPECT_EQ(HeifImageDecoder::codesMoreThanDeclared(path), refused);
        EXPECT_EQ(HeifImageDecoder::decodeWithLibheif(path, 256).isNull(), refused);
        for (const int pixels : {256, 2200}) {
            const QImage image = HeifImageDecoder::decodeFile(path, pixels);
            const QImage fast = HeifImageDecoder::decodeWithFfmpeg(path, pixels);
            EXPECT_EQ(image.size(), refused ? QSize(0, 0) : ImageScaling::fittedSize(c.shown, pixels)) << pixels;
            EXPECT_EQ(fast.size(), image.size()) << pixels; // our own decoder takes every file it does not refuse
        }
        EXPECT_EQ(PixelBudget::held(), 0u);
    }
}
