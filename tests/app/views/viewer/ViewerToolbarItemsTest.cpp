#include "app/platform/desktop/FileRevealer.h"
#include "app/platform/decoding/ImageDecoder.h"
#include "app/platform/metadata/MediaProbe.h"
#include "app/services/rotation/PhotoOrientationRotator.h"
#include "app/services/thumbnails/ThumbnailProvider.h"
#include "app/views/library/LibraryDetailView.h"
#include "app/views/viewer/PhotoDetailView.h"
#include "app/views/grid/PhotoGridView.h"
#include "app/views/common/ViewerToolbarHost.h"
#include "app/views/viewer/ViewerToolbarItems.h"

#include "support/app/Eventually.h"
#include "support/app/Fixtures.h"
#include "support/app/ShellTestContext.h"
#include "support/app/ViewerTestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QMutex>
#include <QPromise>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>
#include <QToolButton>

#include <atomic>

using namespace app;
using app::testing::FixedScanner;
using app::testing::noMetadata;

namespace {

// A 64x48 picture, its top-left pixel red, so a turned preview shows where that corner went;
// turned as often as the fake files were.
class MarkedDecoder final : public ImageDecoder {
public:
    explicit MarkedDecoder(const std::atomic<int>* turns = nullptr) : turns_(turns) {}
    QImage decode(const MediaItem&, int) override
    {
        QImage image(64, 48, QImage::Format_RGB32);
        image.fill(Qt::darkGreen);
        image.setPixelColor(0, 0, Qt::red);
        for (int i = 0; turns_ && i < *turns_ % 4; ++i)
            image = PhotoOrientationRotator::rotateDisplayImageClockwise90(image);
        return image;
    }

private:
    const std::atomic<int>* turns_;
};

class RecordingRevealer final : public FileRevealer {
public:
    void reveal(const QString& path) override { revealed.append(path); }
    QStringList revealed;
};

MediaItem photo(const QString& path, bool live = false)
{
    MediaItem item;
    item.url = path;
    item.isLivePhoto = live;
    item.captureDate = QDateTime(QDate(2024, 5, 7), QTime(10, 0), QTimeZone::utc());
    return item;
}

// The file writes the viewer asked for, the first of them held until the test lets it end.
struct FakeFiles {
    QSemaphore firstMayEnd;
    QMutex mutex;
    std::vector<std::pair<QString, int>> writes;
    std::atomic_bool failing{false};
    std::atomic<int> turnsWritten{0};
    RotationWriter::Rotate rotate()
    {
        return [this](const QString& path, int turns) {
            bool first = false;
            {
                QMutexLocker lock(&mutex);
                first = writes.empty();
                writes.emplace_back(path, turns);
            }
            if (first)
                firstMayEnd.acquire();
            if (failing)
                throw PhotoOrientationRotator::RotateError(PhotoOrientationRotator::RotateError::Kind::notWritable);
            turnsWritten += turns;
        };
    }
    std::vector<std::pair<QString, int>> written()
    {
        QMutexLocker lock(&mutex);
        return writes;
    }
};

void pinch(QWidget* widget)
{
    for (auto [type, value] : {std::pair{Qt::BeginNativeGesture, 0.0}, std::pair{Qt::ZoomNativeGesture, 0.5},
                               std::pair{Qt::EndNativeGesture, 0.0}}) {
        const QPointF pos(20, 20);
        QNativeGestureEvent event(type, QPointingDevice::primaryPointingDevice(), 2, pos, pos,
                                  widget->mapToGlobal(pos), value, {});
        QApplication::sendEvent(widget->windowHandle(), &event);
    }
}

// A two-finger scroll on a trackpad: pans a zoomed picture.
void scroll(QWidget* widget, int dx, int dy)
{
    static const auto* touchpad = new QPointingDevice(
        "test touchpad", 4243, QInputDevice::DeviceType::TouchPad, QPointingDevice::PointerType::Finger,
        QInputDevice::Capability::Position | QInputDevice::Capability::Scroll, 2, 0);
    const QPointF pos(20, 20);
    for (Qt::ScrollPhase phase : {Qt::ScrollBegin, Qt::ScrollUpdate, Qt::ScrollEnd}) {
        const QPoint delta = phase == Qt::ScrollUpdate ? QPoint(dx, dy) : QPoint();
        QWheelEvent event(pos, widget->mapToGlobal(pos), delta, delta * 8, Qt::NoButton, Qt::NoModifier, phase, false,
                          Qt::MouseEventNotSynthesized, touchpad);
        QApplication::sendEvent(widget->windowHandle(), &event);
    }
}

int fileOrientation(const QString& path)
{
    return MediaProbe::system()->readPhoto(path).orientation.value_or(1);
}

struct ViewerWithItems {
    explicit ViewerWithItems(MediaItems items, std::function<QImage(const QImage&)> turnPreview = {})
        : thumbnails(std::make_unique<MarkedDecoder>(&files.turnsWritten)),
          writer(&thumbnails, files.rotate()),
          viewer(new PhotoDetailView(std::move(items), 0, thumbnails))
    {
        viewer->setMetadataSource(noMetadata);
        viewer->attachToolbar(&host);
        // A plain sheet: the real map would fetch tiles.
        toolbar = new ViewerToolbarItems(viewer, {&revealer, &thumbnails, &writer,
                                                  std::move(turnPreview),
                                                  [](const MediaItem&, QWidget* parent) { return new QDialog(parent); }});
        viewer->resize(400, 300);
    }
    ~ViewerWithItems()
    {
        delete viewer.data();
        files.firstMayEnd.release(8);
        thumbnails.waitForIdle();
    }
    FakeFiles files;
    ThumbnailProvider thumbnails;
    RotationWriter writer;
    RecordingRevealer revealer;
    ViewerToolbarHost host;
    QPointer<PhotoDetailView> viewer;
    ViewerToolbarItems* toolbar = nullptr;
};

TEST(ViewerToolbarItems, ButtonsComeBeforeTheInfoIconOnTheOpenPage)
{
    app::testing::ShellTestContext shell;
    const PhotoLibrary library = shell.addLibrary("旅行");
    MediaItem located = photo("/lib/a.jpg");
    located.latitude = 31.23;
    located.longitude = 121.47;
    MediaItems items{located, photo("/lib/b.jpg")};
    MediaItem video = photo("/lib/c.mov");
    video.kind = MediaKind::video;
    items.append(video);
    ThumbnailProvider thumbnails(std::make_unique<MarkedDecoder>());
    RotationWriter rotations(&thumbnails, [](const QString&, int) {});
    RecordingRevealer revealer;
    shell.context.revealer = &revealer;
    shell.context.thumbnails = &thumbnails;
    shell.context.rotations = &rotations;
    LibraryDetailView page(shell.context, library, LibraryMediaFilter::all, std::make_shared<FixedScanner>(items));
    connectLibraryViewer(page, thumbnails);
    connectViewerToolbarItems(page, shell.context);
    page.resize(900, 600);
    page.show();
    ASSERT_EVENTUALLY(page.state() == LibraryPageRules::ContentState::grid);
    Q_EMIT page.grid()->openItem(items[0]);
    auto* viewer = qobject_cast<PhotoDetailView*>(page.presentedViewer());
    ASSERT_NE(viewer, nullptr);
    auto* toolbar = viewer->findChild<ViewerToolbarItems*>();
    ASSERT_NE(toolbar, nullptr);

    ViewerToolbarHost* host = page.viewerToolbar();
    ASSERT_EQ(host->trailingCount(), 4);
    EXPECT_EQ(host->trailingWidget(0), toolbar->revealButton());
    EXPECT_EQ(host->trailingWidget(1), toolbar->mapButton());
    EXPECT_EQ(host->trailingWidget(2), toolbar->rotateButton());
    EXPECT_EQ(host->trailingWidget(3), viewer->infoIcon());
    EXPECT_EQ(toolbar->revealButton()->toolTip(), "在文件管理器中显示");
    EXPECT_EQ(toolbar->mapButton()->toolTip(), "在地图上显示位置");
    EXPECT_EQ(toolbar->rotateButton()->toolTip(), "顺时针旋转");
    ASSERT_EVENTUALLY(toolbar->rotateButton()->isEnabled());

    if (const QString dir = qEnvironmentVariable("TESS_SCREENSHOT_DIR"); !dir.isEmpty()) {
        EXPECT_TRUE(page.grab().save(dir + "/viewer-toolbar.png"));
    }

    toolbar->revealButton()->click();
    EXPECT_EQ(revealer.revealed, QStringList{"/lib/a.jpg"});
    // Videos have no rotate button, items without a place no map button.
    for (int index : {1, 2}) {
        QTest::keyClick(viewer, Qt::Key_Right);
        ASSERT_EVENTUALLY(viewer->currentIndex() == index && !viewer->state().isNavigating());
    }
    EXPECT_TRUE(toolbar->rotateButton()->isHidden());
    EXPECT_TRUE(toolbar->mapButton()->isHidden());
    thumbnails.waitForIdle();
}

TEST(ViewerToolbarItems, TurnsShowAtOnceAndAFailedWriteTurnsThePictureBack)
{
    struct Case {
        const char* name;
        bool live;
        bool failing;
        int presses;
        std::vector<std::pair<QString, int>> writes;
        QSize shownAfter; // the picture once the writes have ended, read again from the file
        const char* alert;
    };
    const Case cases[] = {
        {"three quick presses: a write of one turn, then one of two", false, false, 3,
         {{"/lib/a.jpg", 1}, {"/lib/a.jpg", 2}}, QSize(48, 64), nullptr},
        {"a failed write turns the picture back", false, true, 2, {{"/lib/a.jpg", 1}}, QSize(64, 48),
         "没有写入权限。请检查该照片及其文件夹的写入权限。"},
        {"a live photo is refused before anything changes", true, false, 1, {}, QSize(64, 48),
         "实况照片暂不支持旋转。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewerWithItems v({photo("/lib/a.jpg", c.live), photo("/lib/b.jpg")});
        v.files.failing = c.failing;
        ASSERT_EVENTUALLY(v.toolbar->rotateButton()->isEnabled());
        const quint64 generation = v.thumbnails.generation("/lib/a.jpg");

        for (int i = 0; i < c.presses; ++i)
            v.toolbar->rotateButton()->click();
        if (!c.live) {
            // The preview turned at once, each press; its top-left corner went round clockwise.
            const QImage shown = v.viewer->fullImage();
            EXPECT_EQ(shown.size(), c.presses % 2 ? QSize(48, 64) : QSize(64, 48));
            const QPoint corner[] = {{0, 0}, {47, 0}, {63, 47}, {0, 63}};
            EXPECT_EQ(shown.pixelColor(corner[c.presses % 4]), QColor(Qt::red));
        }
        v.files.firstMayEnd.release();
        ASSERT_EVENTUALLY(!v.writer.queue().isWriting());
        EXPECT_EQ(v.files.written(), c.writes);
        ASSERT_EVENTUALLY_EQ(v.viewer->fullImage().size(), c.shownAfter);
        if (c.alert) {
            ASSERT_NE(v.toolbar->alert(), nullptr);
            EXPECT_EQ(v.toolbar->alert()->windowTitle(), "无法旋转");
            EXPECT_EQ(v.toolbar->alert()->text(), c.alert);
            EXPECT_EQ(v.toolbar->alert()->buttons().value(0)->text(), "好");
        } else {
            EXPECT_EQ(v.toolbar->alert(), nullptr);
            // Grid cells and map pins of the file reload through the orientation signal.
            ASSERT_EVENTUALLY(v.thumbnails.generation("/lib/a.jpg") > generation);
        }
    }
}

TEST(ViewerToolbarItems, MapSheetCoversTheViewerUntilItCloses)
{
    MediaItem located = photo("/lib/a.jpg");
    located.latitude = 31.23;
    located.longitude = 121.47;
    ViewerWithItems v({located, photo("/lib/b.jpg")});
    v.viewer->show();
    ASSERT_EVENTUALLY(v.toolbar->rotateButton()->isEnabled());
    QToolButton* buttons[] = {v.toolbar->revealButton(), v.toolbar->mapButton(), v.toolbar->rotateButton()};
    EXPECT_FALSE(v.toolbar->mapButton()->isHidden());

    v.toolbar->mapButton()->click();
    QPointer<QDialog> sheet = v.toolbar->locationMap();
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_TRUE(v.viewer->isCoveredBySheet());
    EXPECT_TRUE(v.viewer->infoIcon()->isHidden());
    for (QToolButton* button : buttons)
        EXPECT_FALSE(button->isEnabled()) << button->toolTip().toStdString();
    // Pinching over the map does not zoom the viewer; once the map is closed it does.
    pinch(sheet);
    EXPECT_EQ(v.viewer->state().zoomScale(), 1.0);

    sheet->reject();
    ASSERT_EVENTUALLY(!sheet);
    EXPECT_FALSE(v.viewer->isCoveredBySheet());
    EXPECT_FALSE(v.viewer->infoIcon()->isHidden());
    for (QToolButton* button : buttons)
        EXPECT_TRUE(button->isEnabled()) << button->toolTip().toStdString();
    pinch(v.viewer);
    EXPECT_GT(v.viewer->state().zoomScale(), 1.0);

    // A sheet still open when the viewer goes (a rescan) goes with it.
    v.toolbar->mapButton()->click();
    sheet = v.toolbar->locationMap();
    ASSERT_TRUE(sheet);
    delete v.toolbar;
    ASSERT_EVENTUALLY(!sheet);
}

// The map page empties its toolbar before its viewer is deleted: a picture arriving meanwhile
// touches no button that is gone.
TEST(ViewerToolbarItems, ToolbarEmptiedBeforeTheViewerGoes)
{
    ViewerWithItems v({photo("/lib/a.jpg")});
    ASSERT_EVENTUALLY(v.toolbar->rotateButton()->isEnabled());
    v.host.clear();
    EXPECT_EQ(v.toolbar->rotateButton(), nullptr);
    v.viewer->setPreviewImages(QImage(8, 8, QImage::Format_RGB32), QImage());
}

TEST(ViewerToolbarItems, ATurnRecentresTheZoomedPictureAndKeepsWhatItCannotTurn)
{
    struct Case {
        const char* name;
        bool previewTurns;
        QSize shown;
    };
    const Case cases[] = {
        {"the turned picture starts from its centre, zoom kept", true, QSize(48, 64)},
        {"a picture that cannot be turned stays as it was", false, QSize(64, 48)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewerWithItems v({photo("/lib/a.jpg")}, c.previewTurns ? std::function<QImage(const QImage&)>()
                                                                : [](const QImage&) { return QImage(); });
        v.viewer->show();
        ASSERT_EVENTUALLY(v.toolbar->rotateButton()->isEnabled());
        QImage placeholder(16, 12, QImage::Format_RGB32);
        placeholder.fill(Qt::blue);
        v.viewer->setPreviewImages(v.viewer->fullImage(), placeholder);
        pinch(v.viewer);
        scroll(v.viewer, 30, 20);
        const double zoom = v.viewer->state().zoomScale();
        ASSERT_GT(zoom, 1.0);
        ASSERT_NE(v.viewer->state().panOffset(), QPointF());

        v.toolbar->rotateButton()->click();
        EXPECT_EQ(v.viewer->state().panOffset(), QPointF());
        EXPECT_EQ(v.viewer->state().zoomScale(), zoom);
        EXPECT_EQ(v.viewer->fullImage().size(), c.shown);
        EXPECT_EQ(v.viewer->placeholder().size(), c.previewTurns ? QSize(12, 16) : QSize(16, 12));
        v.files.firstMayEnd.release();
        ASSERT_EVENTUALLY(v.writer.queue().isSettled("/lib/a.jpg"));
    }
}

// The writer outlives the viewer: turns queued behind a running write reach the file when the
// viewer closes or pages away meanwhile, and a failure of theirs is still said.
TEST(ViewerToolbarItems, TurnsTheUserSawReachTheFileWhenTheViewerClosesOrPages)
{
    struct Case {
        const char* name;
        Qt::Key key;
        bool laterWriteFails = false;
        int orientation = 8; // 1 turned three times
    };
    const Case cases[] = {
        {"three quick turns, then Escape", Qt::Key_Escape},
        {"three quick turns, then paging", Qt::Key_Right},
        {"three quick turns, then Escape, and the later write fails", Qt::Key_Escape, true, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString a = dir.filePath("a.jpg"), b = dir.filePath("b.jpg");
        for (const QString& path : {a, b})
            ASSERT_TRUE(QFile::copy(test::fixturePath("rotation/orientation-1.jpg"), path));
        QSemaphore firstMayEnd;
        std::atomic_bool first{true};
        ThumbnailProvider thumbnails(std::make_unique<MarkedDecoder>());
        RotationWriter writer(&thumbnails, [&](const QString& path, int turns) {
            if (first.exchange(false))
                firstMayEnd.acquire();
            else if (c.laterWriteFails)
                throw PhotoOrientationRotator::RotateError(PhotoOrientationRotator::RotateError::Kind::notWritable);
            PhotoOrientationRotator::rotateClockwise90(path, turns);
        });
        QWidget window;
        connectRotationAlerts(&window, &writer);
        ViewerToolbarHost host;
        QPointer<PhotoDetailView> viewer = new PhotoDetailView({photo(a), photo(b)}, 0, thumbnails, &window);
        viewer->setMetadataSource(noMetadata);
        viewer->attachToolbar(&host);
        auto* toolbar = new ViewerToolbarItems(viewer, {nullptr, &thumbnails, &writer});
        QObject::connect(viewer, &PhotoDetailView::closeRequested, viewer, &QObject::deleteLater);
        ASSERT_EVENTUALLY(toolbar->rotateButton()->isEnabled());

        for (int i = 0; i < 3; ++i)
            toolbar->rotateButton()->click();
        QTest::keyClick(viewer, c.key);
        if (c.key == Qt::Key_Escape)
            ASSERT_EVENTUALLY(!viewer);
        else
            ASSERT_EVENTUALLY(viewer->currentIndex() == 1 && !viewer->state().isNavigating());
        firstMayEnd.release();
        ASSERT_EVENTUALLY(writer.queue().isSettled(a));
        EXPECT_EQ(fileOrientation(a), c.orientation);
        EXPECT_EQ(fileOrientation(b), 1);
        const auto alerts = window.findChildren<QMessageBox*>();
        ASSERT_EQ(alerts.size(), c.laterWriteFails ? 1 : 0);
        if (c.laterWriteFails)
            EXPECT_EQ(alerts[0]->text(), "没有写入权限。请检查该照片及其文件夹的写入权限。");
        delete viewer.data();
        thumbnails.waitForIdle();
    }
}

} // namespace
