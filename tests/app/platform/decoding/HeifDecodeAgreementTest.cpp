#include "app/platform/decoding/HeifImageDecoder.h"
#include "app/platform/decoding/HevcHeifDecoder.h"

#include "support/app/Fixtures.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <random>

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

// Peak signal-to-noise ratio over red, green and blue, in dB; 100 for identical pictures.
double psnr(const QImage& a, const QImage& b)
{
    const QImage x = a.convertToFormat(QImage::Format_RGB888);
    const QImage y = b.convertToFormat(QImage::Format_RGB888);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row) {
        const uchar* p = x.constScanLine(row);
        const uchar* q = y.constScanLine(row);
        for (int i = 0; i < x.width() * 3; ++i)
            sum += double((int(p[i]) - int(q[i])) * (int(p[i]) - int(q[i])));
    }
    const double mse = sum / (double(x.width()) * x.height() * 3);
    return mse == 0 ? 100 : 10 * std::log10(255.0 * 255.0 / mse);
}

// A photo as a phone's camera codes it: edges, gradients and sensor grain, at a phone's quality.
bool writePhoneLikeHeic(const QString& path, QSize size)
{
    QImage picture(size, QImage::Format_RGB888);
    QPainter painter(&picture);
    QLinearGradient sky(0, 0, 0, size.height());
    sky.setColorAt(0, QColor(90, 140, 210));
    sky.setColorAt(1, QColor(230, 190, 140));
    painter.fillRect(picture.rect(), sky);
    painter.setPen(QPen(QColor(30, 40, 20), 5));
    painter.setBrush(QColor(60, 120, 50));
    for (int i = 0; i < 12; ++i)
        painter.drawEllipse(QPoint(size.width() * i / 12, size.height() * 2 / 3), size.width() / 14, size.height() / 9);
    painter.end();
    std::mt19937 random(7);
    std::normal_distribution<double> grain(0, 6);
    for (int row = 0; row < picture.height(); ++row) {
        uchar* p = picture.scanLine(row);
        for (int i = 0; i < picture.width() * 3; ++i)
            p[i] = uchar(std::clamp(int(p[i] + grain(random)), 0, 255));
    }
    // The encoder in a process of its own: it leaves allocations behind.
    const QString png = path + ".png";
    return picture.save(png) && QProcess::execute("heif-enc", {"-q", "60", png, "-o", path}) == 0;
}

} // namespace

// Every HEIC fixture, as the thumbnail item and as the primary image: FFmpeg's road must take it
// and show what libheif shows, upright the same way and of the same size, at a thumbnail's size, at
// half a grid's (its tiles gathered and scaled whole) and at full size.
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
        for (const int pixels : {8, 64, 4096}) {
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
    EXPECT_GE(decoded, 90);
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

// A picture shown at most 0.6 of its size may skip the decoder's in-loop filters, but must look as
// the fully filtered one at that size; a larger one is the fully filtered one, pixel for pixel.
TEST(HeifDecodeAgreement, scaledPicturesLookAsFullyFilteredOnes)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("phone.heic");
    ASSERT_TRUE(writePhoneLikeHeic(path, QSize(1024, 768)));
    const MetadataFile file(QFile::encodeName(path));
    const HeifBoxReader::Images images = HeifBoxReader::readImages(file);
    ASSERT_EQ(images.status, HeifBoxReader::Status::ok);
    const struct {
        int pixels;
        double minimumPsnr; // 100: identical
    } rows[] = {{256, 45}, {512, 45}, {614, 45}, {800, 100}, {1024, 100}, {4096, 100}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pixels);
        using HevcHeifDecoder::Filtering;
        const QImage shown = HevcHeifDecoder::decode(file, images, images.primary, row.pixels);
        const QImage filtered = HevcHeifDecoder::decode(file, images, images.primary, row.pixels, Filtering::always);
        ASSERT_EQ(shown.size(), ImageScaling::fittedSize(QSize(1024, 768), row.pixels));
        ASSERT_EQ(filtered.size(), shown.size());
        EXPECT_GE(psnr(shown, filtered), row.minimumPsnr);
    }
}
