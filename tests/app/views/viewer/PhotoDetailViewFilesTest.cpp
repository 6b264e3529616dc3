// The viewer on files that decode to nothing, with the program's own decoders.
#include "app/platform/decoding/ImageDecoder.h"
#include "app/services/thumbnails/ThumbnailProvider.h"
#include "app/views/viewer/PhotoDetailView.h"
#include "app/views/viewer/ViewerChrome.h"

#include "support/app/Eventually.h"
#include "support/app/Fixtures.h"
#include "support/app/ViewerTestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

using namespace app;
using app::testing::noMetadata;

// A 0-byte JPEG and a cut-off HEIC decode to nothing, with no thumbnail to stand in: once loading
// has ended the viewer says so, whether it opened on the file or paged to it from a neighbour
// whose preload of it had already failed.
TEST(PhotoDetailView, anUnreadablePhotoSaysSoInsteadOfSpinning)
{
    using Shown = PhotoDetailView::Shown;
    EXPECT_EQ(loadFailureText, QString::fromUtf8("无法显示这张照片：文件无法读取。"));
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString good = dir.filePath("a.jpg"), empty = dir.filePath("empty.jpg"), cut = dir.filePath("cut.heic");
    ASSERT_TRUE(QFile::copy(test::fixturePath("media/jpeg-no-metadata.jpg"), good));
    ASSERT_TRUE(QFile(empty).open(QIODevice::WriteOnly));
    QFile heic(test::fixturePath("media/heic-one-megapixel-gradient.heic"));
    ASSERT_TRUE(heic.open(QIODevice::ReadOnly));
    QFile cutFile(cut);
    ASSERT_TRUE(cutFile.open(QIODevice::WriteOnly));
    cutFile.write(heic.read(heic.size() / 2));
    cutFile.close();
    MediaItems items;
    for (const QString& path : {good, empty, good, cut}) {
        MediaItem item;
        item.url = path;
        items.append(item);
    }
    const struct {
        const char* name;
        int openAt;
        bool pageRight;
    } rows[] = {
        {"opened on the 0-byte JPEG", 1, false},
        {"opened on the cut HEIC", 3, false},
        {"paged to the 0-byte JPEG", 0, true},
        {"paged to the cut HEIC", 2, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ThumbnailProvider thumbnails(makeMediaImageDecoder());
        PhotoDetailView viewer(items, row.openAt, thumbnails);
        viewer.setMetadataSource(noMetadata);
        double now = 100;
        viewer.setClock([&now] { return now; });
        viewer.resize(800, 600);
        viewer.show();
        if (row.pageRight) {
            ASSERT_EVENTUALLY(!viewer.fullImage().isNull());
            // The neighbour's preload has run, and failed, before the user pages to it.
            thumbnails.waitForIdle();
            QApplication::processEvents();
            QTest::keyClick(&viewer, Qt::Key_Right);
            now += 1;
            viewer.advanceAnimations();
            ASSERT_EQ(viewer.currentIndex(), row.openAt + 1);
        }
        ASSERT_EVENTUALLY(viewer.shown() == Shown::loadFailure);
        EXPECT_FALSE(viewer.isSpinnerTurning());
        // The text is drawn under the warning sign, in the middle of the picture's place.
        const QImage shot = viewer.grab().toImage();
        int ink = 0;
        for (int y = 300; y < 330; ++y)
            for (int x = 250; x < 550; ++x)
                ink += std::abs(x - 400) > 30 && shot.pixelColor(x, y).lightness() > 100 ? 1 : 0;
        EXPECT_GT(ink, 50);
    }
}
