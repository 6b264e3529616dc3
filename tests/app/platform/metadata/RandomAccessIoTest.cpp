#include "app/platform/metadata/MetadataFile.h"
#include "app/platform/metadata/RandomAccessIo.h"

#include "support/app/Fixtures.h"
#include "support/app/TiffBytes.h"

#include <gtest/gtest.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <QFile>
#include <QTemporaryDir>

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <vector>

using namespace app;

namespace {

// The file's bytes, cut to `keep` bytes on disk just before read number `cutBefore` reaches it,
// the way a file rewritten in place or a pulled drive looks to a reader half-way through.
class CuttingSource final : public ByteSource {
public:
    CuttingSource(const MetadataFile& file, int cutBefore, qint64 keep) : file_(file), cutBefore_(cutBefore), keep_(keep) {}
    qint64 size() const override { return file_.size(); }
    qint64 read(qint64 offset, void* buffer, qint64 count) const override
    {
        if (reads_++ == cutBefore_)
            EXPECT_EQ(::truncate(file_.path().constData(), keep_), 0);
        return file_.read(offset, buffer, count);
    }

private:
    const MetadataFile& file_;
    const int cutBefore_;
    const qint64 keep_;
    mutable int reads_ = 0;
};

} // namespace

// A TIFF or DNG that shrinks while its metadata is read is an error to exiv2, never SIGBUS: what
// exiv2 wants mapped is read through pread, whose short reads show the cut.
TEST(RandomAccessIoTest, FileCutWhileReadIsAnErrorNotASignal)
{
    const auto fixture = [](const char* name) {
        QFile f(test::fixturePath(name));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    };
    // Directories after 1 MiB of picture, as libtiff writes them: a mapping would fault past the cut.
    const QByteArray tiff = test::tiffWithDirectoriesAtEnd(1024 * 1024);
    const QByteArray dng = fixture("rotation/orientation-5.dng");
    struct Case {
        const char* name;
        const QByteArray& bytes;
        int cutBefore; // 0: before exiv2 looks at the file; 1: after it recognised the format
        qint64 keep;
    };
    const Case cases[] = {
        {"tiff cut to its header", tiff, 1, 8},
        {"tiff emptied", tiff, 1, 0},
        {"tiff cut inside the picture", tiff, 1, 512 * 1024},
        {"tiff cut before it was recognised", tiff, 0, 4},
        {"dng cut after its first directory", dng, 2, 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString path = dir.filePath("photo");
        QFile out(path);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        ASSERT_EQ(out.write(c.bytes), c.bytes.size());
        out.close();
        const MetadataFile file(QFile::encodeName(path));
        ASSERT_TRUE(file.isOpen());
        const CuttingSource source(file, c.cutBefore, c.keep);
        EXPECT_ANY_THROW({
            auto image = Exiv2::ImageFactory::open(Exiv2::BasicIo::AutoPtr(new RandomAccessIo(source, file.path())));
            image->readMetadata();
        });
    }
}

// A read that meets the end of a cut-off file says so, whichever way it reads (through the small
// window or straight into the caller's buffer), so that exiv2 calls the file unreadable instead of
// taking what the buffer held for values.
TEST(RandomAccessIoTest, ShortReadAtTheEndIsEndOfFile)
{
    const QByteArray bytes(100, 'x');
    const MemoryByteSource source(bytes.constData(), bytes.size());
    struct Case {
        const char* name;
        long position;
        long count; // 0: one byte through getb()
        long got;
        bool eof;
    };
    const Case cases[] = {
        {"small read cut short", 80, 50, 20, true},
        {"large read cut short", 0, 100000, 100, true},
        {"read from the end", 100, 10, 0, true},
        {"byte at the end", 100, 0, -1, true},
        {"read up to the end", 80, 20, 20, false},
        {"byte before the end", 99, 0, 'x', false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RandomAccessIo io(source, "cut");
        ASSERT_EQ(io.open(), 0);
        ASSERT_EQ(io.seek(c.position, Exiv2::BasicIo::beg), 0);
        std::vector<Exiv2::byte> buffer(size_t(std::max(c.count, 1L)));
        const long got = c.count ? io.read(buffer.data(), c.count) : io.getb();
        EXPECT_EQ(got, c.got);
        EXPECT_EQ(io.eof(), c.eof);
    }
}
