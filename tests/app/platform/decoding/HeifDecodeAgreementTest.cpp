#include "app/platform/decoding/HeifImageDecoder.h"

#include "support/app/Fixtures.h"

#include <gtest/gtest.h>

#include <QDirIterator>

#include <cmath>

using namespace app;

namespace {

// Mean absolute difference of each of red, green and blue.
std::array<double, 3> meanDifference(const QImage& a, const QImage& b)
{
    const QImage x = a.convertToFormat(QImage::Format_RGB888);
    const QImage y = b.convertToFormat(QImage::Format_RGB888);
    std::array<double, 3> sum{};
    for (int row = 0; row < x.height(); ++row) {
        const uchar* p = x.constScanLine(row);
        const uchar* q = y.constScanLine(row);
        for (int i = 0; i < x.width() * 3; ++i)
            sum[size_t(i % 3)] += std::abs(int(p[i]) - int(q[i]));
    }
    for (double& s : sum)
        s /= double(x.width()) * double(x.height());
    return sum;
}

} // namespace

// Every HEIC fixture, as the thumbnail item and as the primary image: FFmpeg's road must take it
// and show what libheif shows, upright the same way and of the same size.
TEST(HeifDecodeAgreement, ffmpegDecodesEveryFixtureAsLibheifDoes)
{
    using Source = HeifImageDecoder::Source;
    QStringList files;
    QDirIterator it(test::fixturePath(QString()), {"*.heic", "*.HEIC"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    ASSERT_GE(files.size(), 30);
    int decoded = 0;
    for (const QString& file : files) {
        for (const int pixels : {8, 4096}) {
            SCOPED_TRACE(qPrintable(QString("%1 at %2 px").arg(file).arg(pixels)));
            Source theirsFrom = Source::none;
            const QImage theirs = HeifImageDecoder::decodeWithLibheif(file, pixels, &theirsFrom);
            Source oursFrom = Source::none;
            const QImage ours = HeifImageDecoder::decodeWithFfmpeg(file, pixels, &oursFrom);
            if (theirs.isNull()) {
                EXPECT_TRUE(ours.isNull()); // broken files stay broken
                continue;
            }
            ASSERT_FALSE(ours.isNull());
            ++decoded;
            EXPECT_EQ(oursFrom, theirsFrom);
            ASSERT_EQ(ours.size(), theirs.size());
            const std::array<double, 3> difference = meanDifference(ours, theirs);
            for (const double d : difference)
                EXPECT_LE(d, 2.0) << difference[0] << " " << difference[1] << " " << difference[2];
        }
    }
    EXPECT_GE(decoded, 60);
}

// What our own road refuses still shows, through libheif.
TEST(HeifDecodeAgreement, refusedFilesFallBackToLibheif)
{
    for (const char* name : {"alpha.heif", "ten-bit.heif"}) {
        SCOPED_TRACE(name);
        const QString file = test::fixturePath(QStringLiteral("thumbnails/") + name);
        EXPECT_TRUE(HeifImageDecoder::decodeWithFfmpeg(file, 64).isNull());
        HeifImageDecoder::Source source = HeifImageDecoder::Source::none;
        EXPECT_EQ(HeifImageDecoder::decodeFile(file, 64, &source).size(), QSize(64, 48));
        EXPECT_EQ(source, HeifImageDecoder::Source::primaryImage);
    }
}
