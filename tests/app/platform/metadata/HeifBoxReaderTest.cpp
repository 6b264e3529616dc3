#include "app/platform/metadata/HeifBoxReader.h"

#include <gtest/gtest.h>

#include <QFile>

using namespace app;

// The seed files of the box reader's fuzz target, read as a scan reads them.
TEST(HeifBoxReaderTest, ReadsSizeAndExifOrStepsAside)
{
    using S = HeifBoxReader::Status;
    struct Case {
        const char* file;
        S status;
        std::uint32_t width;
        std::uint32_t height;
        size_t exifSize;
    };
    const Case cases[] = {
        {"with-exif.heic", S::ok, 64, 48, 222},
        {"without-exif.heic", S::ok, 64, 48, 0},
        {"irot-with-thumbnail.heic", S::ok, 48, 64, 0},      // a quarter turn swaps the stored size
        {"exif-in-item-data.heic", S::ok, 3024, 4032, 18},   // Exif in the meta box's own data
        {"idat-extent-past-its-box.heic", S::unsupported, 0, 0, 0}, // never read beyond that data
        {"cut-inside-meta.heic", S::unsupported, 0, 0, 0},   // left to the decoder
        {"mdat-past-the-end.heic", S::unsupported, 0, 0, 0}, // never read, never allocated
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        QFile file(QStringLiteral(TESS_TESTS_DIR "/../fuzz/corpus/heif_box_reader/") + c.file);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const HeifBoxReader::Result r = HeifBoxReader::read(MemoryByteSource(bytes.constData(), bytes.size()));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.width, c.width);
        EXPECT_EQ(r.height, c.height);
        EXPECT_EQ(r.exif.size(), c.exifSize);
    }
    const QByteArray jpeg("\xff\xd8\xff\xe0", 4);
    EXPECT_EQ(HeifBoxReader::read(MemoryByteSource(jpeg.constData(), jpeg.size())).status, S::notHeif);
}
