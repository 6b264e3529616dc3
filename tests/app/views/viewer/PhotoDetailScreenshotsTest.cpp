#include "app/platform/decoding/ImageDecoder.h"
#include "app/services/thumbnails/ThumbnailProvider.h"
#include "app/views/library/LibraryContentModel.h"
#include "app/views/library/LibraryDetailView.h"
#include "app/views/video/LivePhotoView.h"
#include "app/views/viewer/MediaInfoCard.h"
#include "app/views/viewer/PhotoDetailView.h"
#include "app/views/grid/PhotoGridView.h"
#include "app/views/video/VideoPlaybackView.h"
#include "app/views/video/VideoSurfaceWidget.h"
#include "app/views/common/ViewerToolbarHost.h"
#include "app/views/viewer/ZoomSliderControl.h"

#include "support/app/Fixtures.h"
#include "support/app/ImageCompare.h"
#include "support/app/MediaClips.h"
#include "support/app/ShellTestContext.h"
#include "support/app/Wait.h"
#include "support/app/ViewerTestSupport.h"

#include "support/app/Eventually.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGraphicsOpacityEffect>
#include "app/platform/playback/VideoPlayer.h"
#include <QMutex>
#include <QPromise>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <QWaitCondition>
#include <QWheelEvent>

using namespace app;
using app::testing::FixedScanner;
using app::testing::noMetadata;

// Real decoders over real files: pictures come out upright, the live photo plays with its badge,
// the video shows frames under its controls, the card lists the metadata. Saved as PNG when
// TESS_SCREENSHOT_DIR names a folder.
TEST(PhotoDetailView, Screenshots)
{
    QTemporaryDir dir;
    const QString clip = app::test::makeClip(dir, "clip.mp4", "640x360");
    const QDateTime base(QDate(2024, 5, 7), QTime(10, 0), QTimeZone::utc());
    const auto itemAt = [&](const QString& path, int i) {
        MediaItem item;
        item.url = path;
        item.captureDate = base.addSecs(-i * 60);
        return item;
    };
    MediaItems items = {itemAt(app::test::fixturePath("thumbnails/orient6.jpg"), 0),
                        itemAt(app::test::fixturePath("thumbnails/irot-with-thumbnail.heic"), 1),
                        itemAt(app::test::fixturePath("media/live-photo-pair/IMG_0001.HEIC"), 2),
                        itemAt(clip, 3)};
    items[2].isLivePhoto = true;
    items[2].liveVideoURL = app::test::fixturePath("media/live-photo-pair/IMG_0001.MOV");
    items[3].kind = MediaKind::video;

    app::testing::ShellTestContext shell;
    const PhotoLibrary library = shell.addLibrary("旅行");
    ThumbnailProvider thumbnails(makeMediaImageDecoder());
    LibraryDetailView page(shell.context, library, LibraryMediaFilter::all, std::make_shared<FixedScanner>(items));
    connectLibraryViewer(page, thumbnails);
    page.resize(900, 640);
    page.show();
    ASSERT_EVENTUALLY(page.state() == LibraryPageRules::ContentState::grid);
    Q_EMIT page.grid()->openItem(items[0]);
    auto* viewer = qobject_cast<PhotoDetailView*>(page.presentedViewer());
    ASSERT_NE(viewer, nullptr);

    const QString folder = qEnvironmentVariable("TESS_SCREENSHOT_DIR");
    const auto shoot = [&](const QString& name) {
        const QImage shot = page.grab().toImage();
        if (!folder.isEmpty()) {
            EXPECT_TRUE(shot.save(folder + "/" + name + ".png"));
        }
        return shot;
    };
    const auto pageRight = [&] {
        const int before = viewer->currentIndex();
        QTest::keyClick(viewer, Qt::Key_Right);
        return app::test::waitFor([&] { return viewer->currentIndex() == before + 1 && !viewer->state().isNavigating(); });
    };
    // The red band of both test pictures ends up on the right once they stand upright.
    const auto expectUpright = [&](const QImage& shot) {
        const QImage full = viewer->fullImage();
        EXPECT_LT(full.width(), full.height());
        const QRectF area = QRectF(viewer->rect()).adjusted(24, 24, -24, -24);
        const QSizeF shown = QSizeF(full.size()).scaled(area.size(), Qt::KeepAspectRatio);
        const QPoint origin = viewer->mapTo(&page, QPoint(0, 0));
        const int y = origin.y() + int(area.center().y());
        const QColor right = shot.pixelColor(origin.x() + int(area.center().x() + shown.width() / 2 - 6), y);
        const QColor left = shot.pixelColor(origin.x() + int(area.center().x() - shown.width() / 2 + 6), y);
        EXPECT_GT(right.red(), 180);
        EXPECT_LT(right.blue(), 90);
        EXPECT_GT(left.blue(), 180);
        EXPECT_LT(left.red(), 90);
    };

    ASSERT_EVENTUALLY(!viewer->fullImage().isNull());
    const QImage fitted = shoot("viewer-jpeg-exif-6");
    expectUpright(fitted);

    // Zoomed, the picture reaches past where its left edge was shown: Ctrl + wheel about a point
    // left of the centre, then "+" twice about the centre.
    const QRectF area = QRectF(viewer->rect()).adjusted(24, 24, -24, -24);
    const QSizeF whole = QSizeF(viewer->fullImage().size()).scaled(area.size(), Qt::KeepAspectRatio);
    const QPoint pastLeft = viewer->mapTo(&page, QPoint(int(area.center().x() - whole.width() / 2 - 20),
                                                         int(area.center().y())));
    const auto lit = [](const QColor& c) { return std::max({c.red(), c.green(), c.blue()}) > 40; };
    EXPECT_FALSE(lit(fitted.pixelColor(pastLeft)));
    const QPointF pointer = area.center() - QPointF(120, 0);
    QWheelEvent wheel(pointer, viewer->mapToGlobal(pointer), QPoint(), QPoint(0, 360), Qt::NoButton,
                      Qt::ControlModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(viewer, &wheel);
    EXPECT_NEAR(viewer->state().zoomScale(), 1.728, 1e-9);
    EXPECT_TRUE(lit(shoot("viewer-zoom-ctrl-wheel").pixelColor(pastLeft)));
    QTest::keyClick(viewer, Qt::Key_0);
    QTest::keyClick(viewer, Qt::Key_Plus, Qt::ShiftModifier);
    QTest::keyClick(viewer, Qt::Key_Plus, Qt::ShiftModifier);
    EXPECT_DOUBLE_EQ(viewer->state().zoomScale(), 1.5);
    EXPECT_TRUE(lit(shoot("viewer-zoom-plus-key").pixelColor(pastLeft)));
    QTest::keyClick(viewer, Qt::Key_0);

    ASSERT_TRUE(pageRight());
    ASSERT_EVENTUALLY(!viewer->fullImage().isNull());
    expectUpright(shoot("viewer-heic-irot"));

    ASSERT_EVENTUALLY(viewer->metadata().has_value());
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(viewer->infoIcon(), &enter);
    EXPECT_FALSE(viewer->infoCard()->shownRows().isEmpty());
    auto* cardOpacity = qobject_cast<QGraphicsOpacityEffect*>(viewer->infoCard()->graphicsEffect());
    ASSERT_NE(cardOpacity, nullptr);
    ASSERT_EVENTUALLY(cardOpacity->opacity() == 1.0);
    shoot("viewer-info-card");
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(viewer->infoIcon(), &leave);

    ASSERT_TRUE(pageRight());
    ASSERT_NE(viewer->liveView(), nullptr);
    ASSERT_EVENTUALLY(viewer->liveView()->isPlayingMovie() && viewer->liveView()->surface()->hasFrame());
    EXPECT_TRUE(viewer->liveView()->isBadgeVisible());
    shoot("viewer-live-photo");

    ASSERT_TRUE(pageRight());
    ASSERT_NE(viewer->videoView(), nullptr);
    ASSERT_EVENTUALLY(viewer->videoView()->surface()->hasFrame() && viewer->videoView()->model()->duration() > 1.9);
    ASSERT_TRUE(app::test::waitFor([&] { return viewer->videoView()->model()->currentTime() >= 0.75; }, 10000));
    EXPECT_EQ(viewer->videoView()->durationText(), "0:02");
    EXPECT_TRUE(viewer->videoView()->playButton()->isVisible());
    shoot("viewer-video");
    LibraryContentModel::scanThreads().waitForDone();
}
