#include "app/platform/decoding/DecodeWorkers.h"
#include "app/platform/decoding/ImageDecoder.h"
#include "app/platform/decoding/PixelBudget.h"
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

#include "support/app/CraftedHeif.h"
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

namespace {

MediaItems photos(int count)
{
    MediaItems items;
    const QDateTime base(QDate(2024, 5, 7), QTime(10, 0), QTimeZone::utc());
    for (int i = 0; i < count; ++i) {
        MediaItem item;
        item.url = QString("/lib/img%1.jpg").arg(i);
        item.captureDate = base.addSecs(-i * 60);
        items.append(item);
    }
    return items;
}

// Decodes a plain picture per path, each only once the test opens its gate.
class GatedDecoder final : public ImageDecoder {
public:
    QImage decode(const MediaItem& item, int maxPixelSize) override
    {
        QMutexLocker lock(&mutex_);
        // Grid-sized thumbnails are never held back.
        while (maxPixelSize > 600 && !open_.contains(item.url) && !shutdown_)
            changed_.wait(&mutex_);
        if (maxPixelSize > 600 && broken_.contains(item.url))
            return {};
        QImage image(std::min(maxPixelSize, 64), std::min(maxPixelSize, 48), QImage::Format_RGB32);
        image.fill(Qt::darkGreen);
        return image;
    }
    void open(const QString& path)
    {
        QMutexLocker lock(&mutex_);
        open_.insert(path);
        changed_.wakeAll();
    }
    // The full-size picture of this path cannot be made.
    void breakFile(const QString& path)
    {
        QMutexLocker lock(&mutex_);
        broken_.insert(path);
    }
    void shutdown()
    {
        QMutexLocker lock(&mutex_);
        shutdown_ = true;
        changed_.wakeAll();
    }

private:
    QMutex mutex_;
    QWaitCondition changed_;
    QSet<QString> open_, broken_;
    bool shutdown_ = false;
};

struct ViewerFixture {
    ViewerFixture(int count = 5) : items(photos(count))
    {
        auto gated = std::make_unique<GatedDecoder>();
        decoder = gated.get();
        thumbnails = std::make_unique<ThumbnailProvider>(std::move(gated));
    }
    ~ViewerFixture()
    {
        decoder->shutdown();
        thumbnails->waitForIdle();
    }
    std::unique_ptr<PhotoDetailView> makeViewer(int index)
    {
        auto viewer = std::make_unique<PhotoDetailView>(items, index, *thumbnails);
        viewer->setMetadataSource(noMetadata);
        viewer->setClock([this] { return now; });
        viewer->resize(800, 600);
        return viewer;
    }
    MediaItems items;
    GatedDecoder* decoder = nullptr;
    std::unique_ptr<ThumbnailProvider> thumbnails;
    double now = 100;
};

} // namespace

TEST(PhotoDetailView, opensOverThePageAndEscapeHandsTheItemBack)
{
    app::testing::ShellTestContext shell;
    const PhotoLibrary library = shell.addLibrary("旅行");
    ViewerFixture f(4);
    LibraryDetailView page(shell.context, library, LibraryMediaFilter::all, std::make_shared<FixedScanner>(f.items));
    connectLibraryViewer(page, *f.thumbnails);
    page.resize(900, 600);
    page.show();
    ASSERT_EVENTUALLY(page.state() == LibraryPageRules::ContentState::grid);

    Q_EMIT page.grid()->openItem(f.items[2]);
    auto* viewer = qobject_cast<PhotoDetailView*>(page.presentedViewer());
    ASSERT_NE(viewer, nullptr);
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_EQ(viewer->currentIndex(), 2);
    EXPECT_EQ(viewer->parentWidget(), page.grid()->parentWidget());
    // The toolbar's last item is the info icon.
    ViewerToolbarHost* host = page.viewerToolbar();
    EXPECT_TRUE(host->isVisible());
    ASSERT_EQ(host->trailingCount(), 1);
    EXPECT_EQ(host->trailingWidget(0), viewer->infoIcon());
    EXPECT_EQ(viewer->infoIcon()->toolTip(), "显示照片信息");

    // A helper's button goes before the icon and leaves with the viewer.
    QPointer<QWidget> extra = new QWidget;
    host->insertTrailingWidget(host->trailingIndexOf(viewer->infoIcon()), extra);
    EXPECT_EQ(host->trailingIndexOf(extra), 0);
    EXPECT_EQ(host->trailingIndexOf(viewer->infoIcon()), 1);

    // The zoom keys are the viewer's while it is open, not the grid's.
    QTest::keyClick(viewer, Qt::Key_Equal, Qt::ControlModifier);
    EXPECT_DOUBLE_EQ(viewer->state().zoomScale(), 1.25);
    EXPECT_EQ(page.grid()->zoomLevel(), GridZoomLevel::columns11);
    QTest::keyClick(viewer, Qt::Key_0);

    QSignalSpy closed(viewer, &PhotoDetailView::closeRequested);
    QPointer<PhotoDetailView> alive(viewer);
    QTest::keyClick(viewer, Qt::Key_Escape);
    QTest::keyClick(viewer, Qt::Key_Escape);
    EXPECT_EQ(closed.count(), 1);
    EXPECT_FALSE(page.openItemPath().has_value());
    EXPECT_TRUE(page.grid()->isVisible());
    EXPECT_EQ(page.grid()->selection(), f.items[2].url);
    ASSERT_EVENTUALLY(!alive);
    EXPECT_TRUE(!extra);
    EXPECT_EQ(host->trailingCount(), 0);

    // Closed and opened again before the old viewer's deferred deletion: the new one keeps its bar.
    Q_EMIT page.grid()->openItem(f.items[0]);
    QPointer<PhotoDetailView> first = qobject_cast<PhotoDetailView*>(page.presentedViewer());
    QTest::keyClick(first.data(), Qt::Key_Escape);
    Q_EMIT page.grid()->openItem(f.items[3]);
    auto* second = qobject_cast<PhotoDetailView*>(page.presentedViewer());
    ASSERT_EVENTUALLY(!first);
    ASSERT_NE(second->infoIcon(), nullptr);
    EXPECT_EQ(host->trailingWidget(0), second->infoIcon());
    EXPECT_EQ(host->centreWidget(), second->zoomSlider());
    page.closeDetailPreview();

    // A rescan takes the viewer away without a close from it.
    Q_EMIT page.grid()->openItem(f.items[1]);
    alive = qobject_cast<PhotoDetailView*>(page.presentedViewer());
    ASSERT_TRUE(alive);
    QSignalSpy closedByRescan(alive.data(), &PhotoDetailView::closeRequested);
    shell.store->invalidateContent(library.id);
    ASSERT_EVENTUALLY(!alive);
    EXPECT_EQ(closedByRescan.count(), 0);
    LibraryContentModel::scanThreads().waitForDone();
}

TEST(PhotoDetailView, keysPageAfterTheSlideAndCloseOnceMidAnimation)
{
    ViewerFixture f(3);
    auto viewer = f.makeViewer(0);
    viewer->show();
    QSignalSpy index(viewer.get(), &PhotoDetailView::currentIndexChanged);
    QSignalSpy closed(viewer.get(), &PhotoDetailView::closeRequested);

    // Left on the first item does nothing; right slides out, then writes the index.
    QTest::keyClick(viewer.get(), Qt::Key_Left);
    EXPECT_FALSE(viewer->state().isNavigating());
    QTest::keyClick(viewer.get(), Qt::Key_Right);
    EXPECT_TRUE(viewer->state().isNavigating());
    EXPECT_FALSE(viewer->nextButton()->isVisible());
    f.now += 0.1;
    viewer->advanceAnimations();
    EXPECT_EQ(index.count(), 0);
    // Keys during the paging are ignored.
    QTest::keyClick(viewer.get(), Qt::Key_Right);
    f.now += 0.06;
    viewer->advanceAnimations();
    ASSERT_EQ(index.count(), 1);
    EXPECT_EQ(index.at(0).at(0).toInt(), 1);
    f.now += 0.25;
    viewer->advanceAnimations();
    EXPECT_FALSE(viewer->state().isNavigating());
    EXPECT_EQ(viewer->state().horizontalOffset(), 0);
    EXPECT_TRUE(viewer->previousButton()->isVisible());
    EXPECT_TRUE(viewer->nextButton()->isVisible());

    // Escape during the 0.15-second step: one close, and the step never writes the index.
    QTest::keyClick(viewer.get(), Qt::Key_Right);
    f.now += 0.05;
    viewer->advanceAnimations();
    QTest::keyClick(viewer.get(), Qt::Key_Escape);
    f.now += 1;
    viewer->advanceAnimations();
    QTest::keyClick(viewer.get(), Qt::Key_Escape);
    EXPECT_EQ(closed.count(), 1);
    EXPECT_EQ(index.count(), 1);
}

TEST(PhotoDetailView, aLoadForAnItemPagedAwayIsDropped)
{
    ViewerFixture f(3);
    auto viewer = f.makeViewer(0);
    viewer->show();
    QSignalSpy images(viewer.get(), &PhotoDetailView::fullImageChanged);
    QTest::keyClick(viewer.get(), Qt::Key_Right);
    f.now += 0.2;
    viewer->advanceAnimations();
    ASSERT_EQ(viewer->currentIndex(), 1);

    f.decoder->open(f.items[0].url);
    f.decoder->open(f.items[1].url);
    ASSERT_EVENTUALLY(!viewer->fullImage().isNull());
    EXPECT_EQ(images.count(), 1);
    // Whatever the old item's decode delivered never showed (the neighbour preload needs its gate).
    f.decoder->open(f.items[2].url);
    f.thumbnails->waitForIdle();
    QApplication::processEvents();
    EXPECT_EQ(images.count(), 1);
}

// A cached grid thumbnail shows blurred at once, else the spinner turns; then the full image, or,
// when it cannot be made, the thumbnail stays or the failure shows instead of a frozen spinner.
TEST(PhotoDetailView, pictureShownWhileLoadingAndAfter)
{
    using Shown = PhotoDetailView::Shown;
    struct Row {
        const char* name;
        bool cachedThumbnail;
        bool broken;
        Shown whileLoading;
        Shown after;
    };
    const Row rows[] = {
        {"thumbnail, then the picture", true, false, Shown::blurredPlaceholder, Shown::fullImage},
        {"nothing, then the picture", false, false, Shown::spinner, Shown::fullImage},
        {"thumbnail, picture fails", true, true, Shown::blurredPlaceholder, Shown::blurredPlaceholder},
        {"nothing, picture fails", false, true, Shown::spinner, Shown::loadFailure},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ViewerFixture f(3);
        if (row.cachedThumbnail) {
            // The grid made a 280-point cell of the item before the viewer opened.
            bool made = false;
            f.thumbnails->thumbnail(f.items[1], 280, 1.0, f.thumbnails.get(), [&](const QImage&) { made = true; });
            ASSERT_EVENTUALLY(made);
        }
        if (row.broken)
            f.decoder->breakFile(f.items[1].url);
        auto viewer = f.makeViewer(1);
        EXPECT_EQ(viewer->placeholder().isNull(), !row.cachedThumbnail);
        EXPECT_TRUE(viewer->fullImage().isNull());
        EXPECT_EQ(viewer->shown(), row.whileLoading);
        EXPECT_EQ(viewer->isSpinnerTurning(), row.whileLoading == Shown::spinner);

        f.decoder->open(f.items[1].url);
        f.thumbnails->waitForIdle();
        QCoreApplication::sendPostedEvents();
        ASSERT_EVENTUALLY(viewer->shown() == row.after);
        EXPECT_FALSE(viewer->isSpinnerTurning());
    }
}

TEST(PhotoDetailView, neighboursPreloadWithinTheCacheBudgetAndPageAtOnce)
{
    const qint64 full = qint64(2200) * 1650 * 4;
    struct Row {
        const char* name;
        qint64 reservedBelowLimit; // the budget left beside the current picture
        QStringList preloaded;
    };
    const QList<Row> rows = {
        {"room for both", 3 * full, {"/lib/img1.jpg", "/lib/img3.jpg"}},
        {"room for the next only", full + full / 2, {"/lib/img3.jpg"}},
        {"no room", full / 2, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ViewerFixture f(5);
        for (const MediaItem& item : f.items)
            f.decoder->open(item.url);
        auto viewer = f.makeViewer(2);
        const qint64 limit = f.thumbnails->cacheByteLimit();
        viewer->setReservedCacheBytes([&] { return limit - row.reservedBelowLimit; });
        viewer->show();
        ASSERT_EVENTUALLY(!viewer->fullImage().isNull());
        f.thumbnails->waitForIdle();
        QApplication::processEvents();
        QStringList preloaded = viewer->preloadedPaths();
        preloaded.sort();
        EXPECT_EQ(preloaded, row.preloaded);

        // Paging to a preloaded neighbour shows it sharp in the frame of the swap.
        QTest::keyClick(viewer.get(), Qt::Key_Right);
        f.now += 0.16;
        viewer->advanceAnimations();
        ASSERT_EQ(viewer->currentIndex(), 3);
        EXPECT_EQ(!viewer->fullImage().isNull(), row.preloaded.contains("/lib/img3.jpg"));
        ASSERT_EVENTUALLY(!viewer->fullImage().isNull());
    }
}

TEST(PhotoDetailView, toolbarSliderAndPinchShareOneZoomAndTheCardFollowsTheIcon)
{
    ViewerFixture f(3);
    ViewerToolbarHost host;
    auto viewer = f.makeViewer(1);
    viewer->attachToolbar(&host);
    viewer->show();
    ZoomSliderControl* slider = viewer->zoomSlider();
    ASSERT_EQ(host.centreWidget(), slider);

    slider->plusButton()->click();
    EXPECT_DOUBLE_EQ(viewer->state().zoomScale(), 1.25);
    QTest::keyClick(viewer.get(), Qt::Key_Right);
    EXPECT_FALSE(viewer->state().isNavigating()) << "arrow keys are ignored while zoomed in";
    // A drag with the primary button pans the zoomed picture by what the pointer moved.
    QTest::mousePress(viewer.get(), Qt::LeftButton, {}, QPoint(400, 300));
    QMouseEvent move(QEvent::MouseMove, QPointF(340, 330), viewer->mapToGlobal(QPointF(340, 330)), Qt::NoButton,
                     Qt::LeftButton, {});
    QApplication::sendEvent(viewer.get(), &move);
    QTest::mouseRelease(viewer.get(), Qt::LeftButton, {}, QPoint(340, 330));
    EXPECT_EQ(viewer->state().panOffset(), QPointF(-60, 30));
    slider->minusButton()->click();
    EXPECT_DOUBLE_EQ(viewer->state().zoomScale(), 1.0);

    // Ctrl + wheel zooms about the pointer, the slider following; a plain wheel is left to the page.
    const auto wheelAt = [&](QPointF at, int angle, Qt::KeyboardModifiers modifiers) {
        QWheelEvent wheel(at, viewer->mapToGlobal(at), QPoint(), QPoint(0, angle), Qt::NoButton, modifiers,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(viewer.get(), &wheel);
        return wheel.isAccepted();
    };
    EXPECT_FALSE(wheelAt({500, 350}, 240, Qt::NoModifier));
    EXPECT_DOUBLE_EQ(viewer->state().zoomScale(), 1.0);
    EXPECT_TRUE(wheelAt({500, 350}, 240, Qt::ControlModifier));
    EXPECT_NEAR(viewer->state().zoomScale(), 1.44, 1e-9);
    EXPECT_NEAR(viewer->state().panOffset().x(), 100 * (1 - 1.44), 1e-9);
    EXPECT_NEAR(viewer->state().panOffset().y(), 50 * (1 - 1.44), 1e-9);
    EXPECT_NEAR(slider->zoomScale(), 1.44, 1e-9);
    // The keys step as the toolbar's buttons do; "0" shows the whole picture again.
    const struct {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        double zoom;
    } keys[] = {{Qt::Key_Plus, Qt::ShiftModifier, 1.69},  {Qt::Key_Equal, Qt::ControlModifier, 1.94},
                {Qt::Key_Minus, Qt::NoModifier, 1.69},    {Qt::Key_Minus, Qt::ControlModifier, 1.44},
                {Qt::Key_Equal, Qt::NoModifier, 1.44},    {Qt::Key_Plus, Qt::KeypadModifier, 1.69},
                {Qt::Key_0, Qt::NoModifier, 1.0}};
    for (const auto& k : keys) {
        SCOPED_TRACE(QKeySequence(k.key | k.modifiers).toString().toStdString());
        QTest::keyClick(viewer.get(), k.key, k.modifiers);
        EXPECT_NEAR(viewer->state().zoomScale(), k.zoom, 1e-9);
    }
    EXPECT_EQ(viewer->state().panOffset(), QPointF(0, 0));

    // Hovering the icon shows the card, reading until the metadata arrives.
    EXPECT_FALSE(viewer->infoCard()->isVisible());
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(viewer->infoIcon(), &enter);
    EXPECT_TRUE(viewer->infoCard()->isVisible());
    EXPECT_LE(viewer->infoCard()->width(), MediaInfoCard::maximumCardWidth);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(viewer->infoIcon(), &leave);
    EXPECT_FALSE(viewer->isShowingInfo());
    ASSERT_EVENTUALLY(!viewer->infoCard()->isVisible());

    // The viewer's toolbar items leave with it.
    QPointer<ZoomSliderControl> gone(slider);
    viewer.reset();
    EXPECT_TRUE(!gone);
    EXPECT_EQ(host.trailingCount(), 0);
}

// A sheet over a playing video pauses it where it is, picture kept; played on to its end the
// video shows its first frame, not a black picture under a spinner, and play starts it again.
TEST(PhotoDetailView, aVideoPausesUnderASheetAndEndsOnItsFirstFrame)
{
    QTemporaryDir dir;
    ViewerFixture f(1);
    f.items[0].url = app::test::makeClip(dir, "clip.mp4");
    f.items[0].kind = MediaKind::video;
    auto viewer = f.makeViewer(0);
    viewer->show();
    VideoPlaybackView* video = viewer->videoView();
    ASSERT_NE(video, nullptr);
    QImage first, last;
    QObject::connect(viewer->player(), &VideoPlayer::frameChanged, video,
                     [&] { (first.isNull() ? first : last) = viewer->player()->currentFrame(); });
    QSignalSpy statuses(viewer->player(), &VideoPlayer::mediaStatusChanged);
    ASSERT_EVENTUALLY(video->model()->currentTime() >= 0.5);

    viewer->setCoveredBySheet(true);
    ASSERT_EVENTUALLY(viewer->player()->playbackState() == QMediaPlayer::PausedState);
    const qint64 pausedAt = viewer->player()->position();
    EXPECT_GE(pausedAt, 400);
    video->model()->tick();
    EXPECT_FALSE(video->model()->isPlaying());
    EXPECT_NE(video->elapsedText(), "0:00");
    EXPECT_EQ(viewer->shown(), PhotoDetailView::Shown::video);
    viewer->setCoveredBySheet(false);
    EXPECT_EQ(viewer->player()->playbackState(), QMediaPlayer::PausedState);
    EXPECT_EQ(viewer->player()->position(), pausedAt);

    video->playButton()->click();
    ASSERT_EVENTUALLY(statuses.contains({QVariant::fromValue(QMediaPlayer::EndOfMedia)}));
    ASSERT_EVENTUALLY(app::test::meanDifference(video->surface()->currentImage(), first) < 4);
    EXPECT_GT(app::test::meanDifference(last, first), 4) << "the last frame differs from the first";
    EXPECT_EQ(viewer->shown(), PhotoDetailView::Shown::video);
    EXPECT_FALSE(viewer->isSpinnerTurning());
    EXPECT_EQ(video->elapsedText(), "0:00");
    video->playButton()->click();
    ASSERT_EVENTUALLY(viewer->player()->position() > 200);
}

// The real decoders, each decode starting only once a movie had its chance to take its pictures'
// lease (the budget held up to `held`, or two seconds gone by): a still asked for after its movie,
// as when the thumbnail workers are busy.
class AfterTheMovie final : public ImageDecoder {
public:
    explicit AfterTheMovie(std::uint64_t held) : held_(held) {}
    QImage decode(const MediaItem& item, int maxPixelSize) override
    {
        (void)app::test::waitFor([&] { return PixelBudget::held() >= held_; }, 2000);
        return real_->decode(item, maxPixelSize);
    }

private:
    const std::uint64_t held_;
    const std::unique_ptr<ImageDecoder> real_ = makeMediaImageDecoder();
};

// A live photo's still is decoded before its movie asks for its pictures' lease: the budget is
// held here so that a 1920x1440 movie's lease leaves no room beside it for a 25 MP still (12 x 8
// tiles of 512), as a 16-core machine's decoder threads leave none for a 48 MP one.
TEST(PhotoDetailView, aLivePhotosStillIsDecodedBeforeItsMovie)
{
    QTemporaryDir dir;
    ::test::craftedheif::Shape shape = ::test::craftedheif::grid(12, 8, 512, 512, 512, 512);
    shape.pictureWidth = shape.pictureHeight = 512;
    const QByteArray still = ::test::craftedheif::build(shape);
    ASSERT_FALSE(still.isEmpty());
    const QString stillPath = dir.filePath("IMG_0002.HEIC");
    {
        QFile file(stillPath);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(still);
    }
    const QString movie = app::test::makeClip(dir, "IMG_0002.MOV", "1920x1440", 1,
                                              {"-an", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"});
    // The movie's lease: a picture on each decoder thread, four queued and the one shown.
    const std::uint64_t movieLease = 1920ull * 1440 * std::uint64_t(std::min(DecodeWorkers::usableCores(16) + 3, 16) + 5);
    const std::uint64_t emulated = PixelBudget::total - movieLease - 1024 * 1024;
    const PixelBudget::Lease crowded(emulated);

    MediaItem item;
    item.url = stillPath;
    item.captureDate = QDateTime(QDate(2024, 5, 7), QTime(10, 0), QTimeZone::utc());
    item.isLivePhoto = true;
    item.liveVideoURL = movie;
    app::testing::ShellTestContext shell;
    const PhotoLibrary library = shell.addLibrary("实况");
    ThumbnailProvider thumbnails(std::make_unique<AfterTheMovie>(emulated + movieLease));
    shell.context.thumbnails = &thumbnails; // the grid's too
    LibraryDetailView page(shell.context, library, LibraryMediaFilter::all,
                           std::make_shared<FixedScanner>(MediaItems{item}));
    connectLibraryViewer(page, thumbnails);
    page.resize(900, 640);
    page.show();
    ASSERT_EVENTUALLY(page.state() == LibraryPageRules::ContentState::grid);
    Q_EMIT page.grid()->openItem(item);
    auto* viewer = qobject_cast<PhotoDetailView*>(page.presentedViewer());
    ASSERT_NE(viewer, nullptr);
    ASSERT_NE(viewer->liveView(), nullptr);
    ASSERT_TRUE(app::test::waitFor([&] { return !viewer->fullImage().isNull(); }, 30000));
    EXPECT_EQ(page.presentedViewer(), viewer);
    // Then the movie plays once.
    ASSERT_TRUE(app::test::waitFor([&] { return viewer->liveView()->playbackCount() > 0; }, 15000));
}
