#include "app/platform/decoding/ImageDecoder.h"
#include "app/services/noncaptured/NonCapturedIndex.h"
#include "app/services/thumbnails/ThumbnailProvider.h"
#include "app/views/library/LibraryContentModel.h"
#include "app/views/library/LibraryDetailView.h"
#include "app/views/grid/PhotoGridView.h"

#include "support/app/ShellTestContext.h"

#include "support/app/Wait.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QMutex>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QThreadPool>
#include <QToolButton>
#include <QWaitCondition>

#include <cmath>
#include <memory>

using namespace app;
using app::test::waitFor;
using LibraryPageRules::ContentState;

namespace {

MediaItems itemsNamed(const QStringList& names)
{
    MediaItems items;
    const QDateTime base(QDate(2024, 5, 7), QTime(10, 0), QTimeZone::utc());
    for (int i = 0; i < names.size(); ++i) {
        MediaItem item;
        item.url = "/lib/" + names[i];
        item.captureDate = base.addSecs(-i * 60);
        if (names[i].endsWith(".mov"))
            item.kind = MediaKind::video;
        items.append(item);
    }
    return items;
}

// Each scan waits until the test finishes it with a result of its choosing.
class ScriptedScanner final : public FolderScanner {
public:
    MediaItems scan(const QString& root, const MediaScanner::ProgressCallback& onProgress,
                    const CancellationToken& cancel) override
    {
        QMutexLocker lock(&mutex_);
        const int call = calls_++;
        roots_.append(root);
        progress_.append(onProgress);
        while (!results_.contains(call) && !(honoursCancel && cancel.isCancelled()) && !shutdown_)
            changed_.wait(&mutex_, 20);
        return results_.value(call);
    }

    std::optional<MediaItems> keptItems(const QString&) override
    {
        QMutexLocker lock(&mutex_);
        return kept;
    }

    // A scanner deep inside a run notices cancellation late; this one never does.
    bool honoursCancel = true;
    std::optional<MediaItems> kept; // what the last scan left, shown while the next runs

    void finish(int call, const MediaItems& items)
    {
        QMutexLocker lock(&mutex_);
        results_.insert(call, items);
        changed_.wakeAll();
    }
    void report(int call, qsizetype done, qsizetype total)
    {
        MediaScanner::ProgressCallback callback;
        {
            QMutexLocker lock(&mutex_);
            callback = progress_.value(call);
        }
        if (callback)
            callback(done, total);
    }
    int calls()
    {
        QMutexLocker lock(&mutex_);
        return calls_;
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
    int calls_ = 0;
    bool shutdown_ = false;
    QStringList roots_;
    QList<MediaScanner::ProgressCallback> progress_;
    QHash<int, MediaItems> results_;
};

// The sorting text the page shows (its organizing state or its banner), empty when none.
QString visibleSortingText(const QWidget& page)
{
    for (const QLabel* label : page.findChildren<QLabel*>())
        if (label->isVisible() && label->text().startsWith("正在整理非拍摄"))
            return label->text();
    return {};
}

// An index that flags the files named "shot…" without reading them.
NonCapturedIndex::Environment shotsFlaggedByName(const QTemporaryDir& dir)
{
    NonCapturedIndex::Environment environment;
    environment.settingsFile = dir.filePath("classified.ini");
    environment.cacheDirectory = dir.filePath("classified");
    environment.phaseA = [](const MediaItem& item) {
        const bool shot = item.url.contains("shot");
        return NonCapturedVerdict{shot, shot ? "A1-filename" : "A3-camera"};
    };
    environment.hasPerson = [](const QString&) { return false; };
    return environment;
}

void drainScans()
{
    LibraryContentModel::scanThreads().waitForDone();
    QApplication::processEvents();
}

} // namespace

TEST(LibraryContentModel, onlyTheLatestOfTwoQuickLoadsPublishes)
{
    auto scanner = std::make_shared<ScriptedScanner>();
    LibraryContentModel model(scanner, [](const PhotoLibrary&) { return std::optional<QString>("/lib"); });
    QSignalSpy itemsChanged(&model, &LibraryContentModel::itemsChanged);
    PhotoLibrary library;
    library.name = "备份";

    scanner->honoursCancel = false;
    model.load(library);
    ASSERT_TRUE(waitFor([&] { return scanner->calls() == 1; }));
    model.load(library);
    ASSERT_TRUE(waitFor([&] { return scanner->calls() == 2; }));
    // The superseded scan reports and finishes last; neither reaches the model.
    scanner->report(1, 3, 500);
    ASSERT_TRUE(waitFor([&] { return model.total() == 500; }));
    scanner->report(0, 9, 9);
    scanner->finish(1, itemsNamed({"new.jpg"}));
    ASSERT_TRUE(waitFor([&] { return !model.isScanning(); }));
    scanner->finish(0, itemsNamed({"old.jpg", "older.jpg"}));
    drainScans();
    EXPECT_EQ(model.items(), itemsNamed({"new.jpg"}));
    EXPECT_EQ(itemsChanged.count(), 1);
    EXPECT_EQ(model.scanned(), 3);

    // An unreachable folder empties the list and says why.
    LibraryContentModel offline(scanner, [](const PhotoLibrary&) { return std::nullopt; });
    offline.load(library);
    EXPECT_FALSE(offline.isScanning());
    EXPECT_EQ(offline.errorMessage(), LibraryPageRules::unavailableMessage("备份"));
}

// A page shown again shows the last scan at once, while its scan checks the folder; a scan that
// finds the same items publishes nothing, one that finds a change replaces them.
TEST(LibraryContentModel, keptItemsShowAtOnceUntilTheScanFindsAChange)
{
    auto scanner = std::make_shared<ScriptedScanner>();
    scanner->kept = itemsNamed({"a.jpg", "b.jpg"});
    LibraryContentModel model(scanner, [](const PhotoLibrary&) { return std::optional<QString>("/lib"); });
    QSignalSpy itemsChanged(&model, &LibraryContentModel::itemsChanged);
    PhotoLibrary library;

    model.load(library);
    ASSERT_TRUE(waitFor([&] { return model.items() == *scanner->kept; }));
    EXPECT_TRUE(model.isScanning());
    scanner->finish(0, *scanner->kept);
    ASSERT_TRUE(waitFor([&] { return !model.isScanning(); }));
    EXPECT_EQ(itemsChanged.count(), 1);

    model.load(library);
    scanner->finish(1, itemsNamed({"a.jpg"}));
    ASSERT_TRUE(waitFor([&] { return !model.isScanning(); }));
    drainScans();
    EXPECT_EQ(model.items(), itemsNamed({"a.jpg"}));
    EXPECT_EQ(itemsChanged.count(), 2);
}

TEST(LibraryDetailView, sevenStatesWithAFakeScanner)
{
    app::testing::ShellTestContext shell;
    const PhotoLibrary library = shell.addLibrary("旅行");
    auto scanner = std::make_shared<ScriptedScanner>();

    {
        LibraryDetailView page(shell.context, library, LibraryMediaFilter::all, scanner);
        page.resize(900, 600);
        page.show();
        ASSERT_TRUE(waitFor([&] { return scanner->calls() == 1; }));
        EXPECT_EQ(page.state(), ContentState::scanning);
        auto* progress = qobject_cast<ScanProgressView*>(page.currentStateWidget());
        ASSERT_NE(progress, nullptr);
        EXPECT_EQ(progress->text(), "正在扫描文件夹…");
        EXPECT_EQ(page.itemCountText(), "正在扫描…");
        EXPECT_TRUE(page.timelineToggle()->isVisibleTo(&page));

        scanner->report(0, 3, 500);
        ASSERT_TRUE(waitFor([&] { return progress->text() == "正在读取 3 / 500"; }));
        EXPECT_EQ(progress->bar()->width(), 240);
        EXPECT_EQ(page.itemCountLabel()->text(), "正在读取 3/500");

        const MediaItems items = itemsNamed({"a.jpg", "b.mov", "c.jpg"});
        scanner->finish(0, items);
        ASSERT_TRUE(waitFor([&] { return page.state() == ContentState::grid; }));
        EXPECT_EQ(page.grid()->items(), items);
        EXPECT_EQ(page.itemCountLabel()->text(), "3 个项目");
        EXPECT_EQ(page.navigationTitle(), "旅行");

        // A double-click with no viewer only selects.
        Q_EMIT page.grid()->openItem(items[1]);
        EXPECT_FALSE(page.openItemPath().has_value());
        EXPECT_TRUE(page.grid()->isVisible());

        // The timeline switch drives the grid.
        page.timelineToggle()->setChecked(true);
        EXPECT_TRUE(page.grid()->timelineEnabled());

        // A finished receive bumps the revision: the page rescans and keeps showing the grid.
        shell.store->invalidateContent(library.id);
        ASSERT_TRUE(waitFor([&] { return scanner->calls() == 2; }));
        EXPECT_EQ(page.state(), ContentState::grid);
        EXPECT_EQ(page.itemCountLabel()->text(), "正在扫描…");
        scanner->finish(1, {});
        ASSERT_TRUE(waitFor([&] { return page.state() == ContentState::emptyFolder; }));
        auto* empty = qobject_cast<ContentUnavailableView*>(page.currentStateWidget());
        ASSERT_NE(empty, nullptr);
        EXPECT_EQ(empty->title(), "没有照片");
        EXPECT_EQ(empty->description(), "这个文件夹里没有找到照片或视频。");
        EXPECT_TRUE(page.itemCountLabel()->text().isEmpty());
    }

    {
        LibraryDetailView page(shell.context, library, LibraryMediaFilter::livePhotos, scanner);
        ASSERT_TRUE(waitFor([&] { return scanner->calls() == 3; }));
        scanner->finish(2, itemsNamed({"a.jpg"}));
        ASSERT_TRUE(waitFor([&] { return page.state() == ContentState::emptyFilter; }));
        auto* view = qobject_cast<ContentUnavailableView*>(page.currentStateWidget());
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(view->title(), "没有实况照片");
        EXPECT_EQ(view->description(), "这个图库里没有符合「实况照片」的项目。");
        EXPECT_EQ(view->symbol(), "livephoto");
        EXPECT_EQ(page.navigationTitle(), "旅行 · 实况照片");
    }

    {
        LibraryDetailView page(shell.context, library, LibraryMediaFilter::nonCaptured, scanner);
        ASSERT_TRUE(waitFor([&] { return scanner->calls() == 4; }));
        scanner->finish(3, itemsNamed({"shot.png"}));
        ASSERT_TRUE(waitFor([&] { return page.state() == ContentState::needsConfirmation; }));
        EXPECT_EQ(qobject_cast<ContentUnavailableView*>(page.currentStateWidget())->title(), "非拍摄");
    }

    {
        shell.unplug(library);
        LibraryDetailView page(shell.context, library, LibraryMediaFilter::all, scanner);
        EXPECT_EQ(page.state(), ContentState::unavailable);
        auto* view = qobject_cast<ContentUnavailableView*>(page.currentStateWidget());
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(view->title(), "图库不可用");
        EXPECT_EQ(view->description(), "找不到「旅行」的文件夹，移动硬盘可能没有连接。");
        EXPECT_TRUE(page.itemCountText().isEmpty());
        EXPECT_EQ(scanner->calls(), 4);
    }
    scanner->shutdown();
    drainScans();
}

TEST(LibraryDetailView, closingTheViewerFocusesTheItemLastShown)
{
    app::testing::ShellTestContext shell;
    const PhotoLibrary library = shell.addLibrary("旅行");
    auto scanner = std::make_shared<ScriptedScanner>();
    LibraryDetailView page(shell.context, library, LibraryMediaFilter::all, scanner);
    page.resize(900, 600);
    page.show();
    ASSERT_TRUE(waitFor([&] { return scanner->calls() == 1; }));
    QStringList names;
    for (int i = 0; i < 200; ++i)
        names << QString("img%1.jpg").arg(i);
    const MediaItems items = itemsNamed(names);
    scanner->finish(0, items);
    ASSERT_TRUE(waitFor([&] { return page.state() == ContentState::grid; }));

    int requestedIndex = -1;
    QObject::connect(&page, &LibraryDetailView::viewerRequested,
                     [&](const MediaItem&, int index) { requestedIndex = index; });
    page.openItem(items[150]);
    EXPECT_EQ(requestedIndex, 150);
    EXPECT_EQ(page.zoomedIndex(), 150);
    EXPECT_FALSE(page.grid()->isVisible());
    EXPECT_FALSE(page.grid()->isActive());
    EXPECT_TRUE(page.backButton()->isVisible());

    // Paging in the viewer writes the index; the grid gets back the item last shown.
    page.setOpenIndex(152);
    EXPECT_EQ(page.zoomedIndex(), 152);
    page.setOpenIndex(9999);
    EXPECT_EQ(page.zoomedIndex(), 152);
    page.closeDetailPreview();
    EXPECT_TRUE(page.grid()->isVisible());
    EXPECT_FALSE(page.backButton()->isVisible());
    EXPECT_EQ(page.grid()->selection(), items[152].url);
    // A late write after closing changes nothing.
    page.setOpenIndex(10);
    EXPECT_FALSE(page.zoomedIndex().has_value());

    // Another item selected, the same one opened and closed again: it comes back again.
    Q_EMIT page.grid()->openItem(items[3]);
    page.closeDetailPreview();
    EXPECT_EQ(page.grid()->selection(), items[3].url);
    page.openItem(items[152]);
    page.closeDetailPreview();
    EXPECT_EQ(page.grid()->selection(), items[152].url);

    // Open, page and close, twice with the same steps: though the page hands the grid the same
    // item both times, each close selects the item last shown and centres it again.
    PhotoGridView* grid = page.grid();
    ASSERT_TRUE(waitFor([&] { return !grid->isScrollPending(); }));
    const int centred = grid->verticalScrollBar()->value();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        grid->verticalScrollBar()->setValue(centred + 30);
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, grid->viewportRectOfItem(150).center());
        ASSERT_EQ(page.zoomedIndex(), 150);
        EXPECT_EQ(grid->selection(), items[150].url);
        page.setOpenIndex(152);
        page.closeDetailPreview();
        EXPECT_EQ(grid->selection(), items[152].url);
        ASSERT_TRUE(waitFor([&] { return !grid->isScrollPending(); }));
        EXPECT_EQ(grid->verticalScrollBar()->value(), centred);
    }

    // A rescan that drops the open item closes the viewer.
    page.openItem(items[7]);
    shell.store->invalidateContent(library.id);
    ASSERT_TRUE(waitFor([&] { return scanner->calls() == 2; }));
    EXPECT_FALSE(page.openItemPath().has_value());
    EXPECT_TRUE(page.grid()->isVisible());
    scanner->finish(1, items.mid(0, 5));
    ASSERT_TRUE(waitFor([&] { return page.grid()->items().size() == 5; }));
}

// The sorting banner stands over the thumbnails: its text keeps its contrast over the darkest and
// the lightest picture alike.
TEST(LibraryDetailView, sortingBannerStaysReadableOverAnyPicture)
{
    app::testing::ShellTestContext shell;
    const PhotoLibrary library = shell.addLibrary("旅行");
    auto scanner = std::make_shared<ScriptedScanner>();
    LibraryDetailView page(shell.context, library, LibraryMediaFilter::all, scanner);
    page.resize(900, 600);
    page.show();
    ASSERT_TRUE(waitFor([&] { return scanner->calls() == 1; }));
    scanner->finish(0, itemsNamed({"a.jpg"}));
    ASSERT_TRUE(waitFor([&] { return page.state() == ContentState::grid; }));
    QLabel* banner = page.organizingBanner();
    banner->setText("正在整理非拍摄 8/120");
    banner->show();
    ASSERT_TRUE(waitFor([&] { return banner->height() > 10; }));
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double text = luminance(banner->palette().color(QPalette::WindowText));
    for (const QColor picture : {QColor(Qt::black), QColor(Qt::white), QColor(128, 128, 128)}) {
        SCOPED_TRACE(picture.name().toStdString());
        QImage shot(banner->size(), QImage::Format_ARGB32);
        shot.fill(picture);
        banner->render(&shot, QPoint(), QRegion(), QWidget::DrawChildren);
        // In the padding above the text, clear of the rounded corners.
        const double behind = luminance(shot.pixelColor(banner->width() / 2, 2));
        const double contrast = (std::max(text, behind) + 0.05) / (std::min(text, behind) + 0.05);
        EXPECT_GE(contrast, 4.5);
    }
    scanner->shutdown();
    drainScans();
}

TEST(LibraryDetailView, twoQuickRevisionBumpsShowOnlyTheLastScan)
{
    app::testing::ShellTestContext shell;
    const PhotoLibrary library = shell.addLibrary("旅行");
    auto scanner = std::make_shared<ScriptedScanner>();
    scanner->honoursCancel = false;
    LibraryDetailView page(shell.context, library, LibraryMediaFilter::all, scanner);
    ASSERT_TRUE(waitFor([&] { return scanner->calls() == 1; }));
    scanner->finish(0, itemsNamed({"first.jpg"}));
    ASSERT_TRUE(waitFor([&] { return page.state() == ContentState::grid; }));

    shell.store->invalidateContent(library.id);
    // Scans start on worker threads: wait for each so the call numbers follow the bumps.
    ASSERT_TRUE(waitFor([&] { return scanner->calls() == 2; }));
    shell.store->invalidateContent(library.id);
    ASSERT_TRUE(waitFor([&] { return scanner->calls() == 3; }));
    // The newer scan ends first; the superseded one ends later with other items.
    scanner->finish(2, itemsNamed({"last.jpg", "b.jpg"}));
    ASSERT_TRUE(waitFor([&] { return !page.model()->isScanning(); }));
    scanner->finish(1, itemsNamed({"stale.jpg"}));
    drainScans();
    EXPECT_EQ(page.grid()->items(), itemsNamed({"last.jpg", "b.jpg"}));
    EXPECT_EQ(page.itemCountLabel()->text(), "2 个项目");
}

// Classification changes the flags every 16 photos; the open page must not re-filter and re-lay out
// its whole list each time, only catch up a few times per second.
TEST(LibraryDetailView, flagChangesDuringClassificationAreCoalesced)
{
    app::testing::ShellTestContext shell;
    const PhotoLibrary library = shell.addLibrary("旅行");
    NonCapturedIndex index(shotsFlaggedByName(shell.dir));
    index.setHasConfirmedOrganize(true);
    shell.context.nonCaptured = &index;
    QSignalSpy flagChanges(&index, &NonCapturedIndex::flagsChanged);
    QSignalSpy settled(&index, &NonCapturedIndex::classificationSettled);

    auto scanner = std::make_shared<ScriptedScanner>();
    LibraryDetailView page(shell.context, library, LibraryMediaFilter::photos, scanner);
    ASSERT_TRUE(waitFor([&] { return scanner->calls() == 1; }));
    QStringList names;
    for (int i = 0; i < 3200; ++i)
        names.append(QString(i % 8 ? "img%1.jpg" : "shot%1.png").arg(i));
    scanner->finish(0, itemsNamed(names));
    ASSERT_TRUE(waitFor([&] { return settled.count() == 1; }, 20000));
    const int refreshesBefore = page.refreshCount();
    ASSERT_TRUE(waitFor([&] { return page.displayedItems().size() == 2800; }));
    EXPECT_EQ(page.grid()->items().size(), 2800);
    EXPECT_GE(flagChanges.count(), 100);
    EXPECT_LE(page.refreshCount(), 20);
    EXPECT_LE(page.refreshCount() - refreshesBefore, 1);
    shell.context.nonCaptured = shell.nonCaptured.get();
}

// After a restart the page shows the kept scan while the rescan runs; a rescan that ends with the same
// items must still classify them, and the non-captured page says it is sorting until then. A rescan
// of an open page that ends with the same count classifies what changed.
TEST(LibraryDetailView, keptScanOfTheSameCountIsClassifiedWhenTheRescanEnds)
{
    app::testing::ShellTestContext shell;
    const PhotoLibrary library = shell.addLibrary("旅行");
    NonCapturedIndex index(shotsFlaggedByName(shell.dir));
    index.setHasConfirmedOrganize(true);
    shell.context.nonCaptured = &index;
    const MediaItems items = itemsNamed({"a.jpg", "shot.png", "b.jpg"});
    struct Step {
        LibraryMediaFilter filter;
        ContentState whileScanning;
        QString sortingText; // while the rescan runs
        qsizetype shown;     // after it ended
    };
    // The first page has no flags yet; the last one must not show the count of the run before.
    const Step steps[] = {{LibraryMediaFilter::nonCaptured, ContentState::organizing, "正在整理非拍摄…", 1},
                          {LibraryMediaFilter::photos, ContentState::grid, "", 2},
                          {LibraryMediaFilter::nonCaptured, ContentState::grid, "正在整理非拍摄…", 1}};
    for (const Step& step : steps) {
        auto scanner = std::make_shared<ScriptedScanner>();
        scanner->kept = items;
        QSignalSpy settled(&index, &NonCapturedIndex::classificationSettled);
        LibraryDetailView page(shell.context, library, step.filter, scanner);
        page.show();
        ASSERT_TRUE(waitFor([&] { return scanner->calls() == 1 && page.model()->items() == items; }));
        EXPECT_EQ(page.state(), step.whileScanning);
        EXPECT_EQ(visibleSortingText(page), step.sortingText);
        scanner->finish(0, items);
        ASSERT_TRUE(waitFor([&] { return !settled.isEmpty() && !index.classifyingLibraryIDs().contains(library.id); }));
        QApplication::processEvents();
        EXPECT_EQ(page.displayedItems().size(), step.shown);
        EXPECT_EQ(visibleSortingText(page), "");
    }
    {
        // The open page rescans (a receive ended): as many items as before, but a photo was replaced
        // by a screenshot, which is sorted too.
        auto scanner = std::make_shared<ScriptedScanner>();
        QSignalSpy settled(&index, &NonCapturedIndex::classificationSettled);
        LibraryDetailView page(shell.context, library, LibraryMediaFilter::nonCaptured, scanner);
        ASSERT_TRUE(waitFor([&] { return scanner->calls() == 1; }));
        scanner->finish(0, items);
        ASSERT_TRUE(waitFor([&] { return !settled.isEmpty() && !index.classifyingLibraryIDs().contains(library.id); }));
        scanner->kept = items; // shown while the rescan runs: the count never changes
        shell.store->invalidateContent(library.id);
        ASSERT_TRUE(waitFor([&] { return scanner->calls() == 2; }));
        scanner->finish(1, itemsNamed({"a.jpg", "shot.png", "shot2.png"}));
        EXPECT_TRUE(waitFor([&] { return page.displayedItems().size() == 2; }));
    }
    drainScans();
    shell.context.nonCaptured = shell.nonCaptured.get();
}

// The open page follows its folder without the user leaving it: unplugged and plugged in again (volume
// events), renamed away without an event (found by the next scan, which publishes nothing) and back
// (found when the page is shown again).
TEST(LibraryDetailView, followsItsFolderAwayAndBack)
{
    app::testing::ShellTestContext shell;
    const PhotoLibrary library = shell.addLibrary("旅行");
    const QString parent = QFileInfo(library.displayPath).path();
    for (const char* name : {"a.jpg", "b.jpg"}) {
        QFile file(library.displayPath + "/" + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    LibraryDetailView page(shell.context, library, LibraryMediaFilter::all);
    page.resize(900, 600);
    page.show();
    ASSERT_TRUE(waitFor([&] { return page.state() == ContentState::grid; }));

    const auto rename = [&](const char* from, const char* to) { ASSERT_TRUE(QDir(parent).rename(from, to)); };
    struct Step {
        const char* name;
        std::function<void()> act;
        ContentState state;
        QString count;
    };
    const Step steps[] = {
        {"unplugged", [&] { rename("旅行", "gone"); shell.fakes.volumes.fire(); }, ContentState::unavailable, ""},
        {"plugged in again", [&] { rename("gone", "旅行"); shell.fakes.volumes.fire(); }, ContentState::grid, "2 个项目"},
        {"renamed away, then rescanned", [&] { rename("旅行", "gone"); shell.store->invalidateContent(library.id); },
         ContentState::unavailable, ""},
        {"back, and shown again", [&] { rename("gone", "旅行"); page.hide(); page.show(); }, ContentState::grid, "2 个项目"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.act();
        ASSERT_TRUE(waitFor([&] { return page.state() == step.state; }));
        ASSERT_TRUE(waitFor([&] { return !page.model()->isScanning(); }));
        EXPECT_EQ(page.state(), step.state);
        EXPECT_EQ(page.itemCountLabel()->text(), step.count);
        EXPECT_EQ(shell.store->isAvailable(library), step.state == ContentState::grid);
    }
    drainScans();
}

TEST(LibraryDetailView, destroyedMidScanTouchesNothing)
{
    app::testing::ShellTestContext shell;
    const PhotoLibrary library = shell.addLibrary("旅行");
    auto scanner = std::make_shared<ScriptedScanner>();
    auto page = std::make_unique<LibraryDetailView>(shell.context, library, LibraryMediaFilter::all, scanner);
    ASSERT_TRUE(waitFor([&] { return scanner->calls() == 1; }));
    scanner->report(0, 1, 10);
    page.reset();
    // Late progress and a late result arrive after the page is gone.
    scanner->report(0, 5, 10);
    scanner->finish(0, itemsNamed({"late.jpg"}));
    drainScans();
    QApplication::processEvents();
    // The late result starts nothing; the sanitizers see any touch of the destroyed page.
    EXPECT_EQ(scanner->calls(), 1);
}

TEST(LibraryDetailView, realScannerAndDecodersFillTheGrid)
{
    app::testing::ShellTestContext shell;
    const PhotoLibrary library = shell.addLibrary("真实");
    const QString folder = library.displayPath;
    for (int i = 0; i < 24; ++i) {
        QImage image(320, 240, QImage::Format_RGB32);
        image.fill(QColor::fromHsv(i * 15, 170, 220));
        ASSERT_TRUE(image.save(QString("%1/IMG_%2.JPG").arg(folder).arg(i, 4, 10, QChar('0')), "JPG"));
    }
    QString fixtures = qEnvironmentVariable("TESS_FIXTURES");
    if (fixtures.isEmpty())
        fixtures = QFileInfo(QString::fromUtf8(__FILE__)).absolutePath() + "/../../fixtures";
    ASSERT_TRUE(QFile::copy(fixtures + "/thumbnails/rotated-video.mp4", folder + "/CLIP.MP4"));

    ThumbnailProvider thumbnails(makeMediaImageDecoder());
    shell.context.thumbnails = &thumbnails;
    LibraryDetailView page(shell.context, library, LibraryMediaFilter::all);
    page.resize(1000, 560);
    page.show();
    ASSERT_TRUE(waitFor([&] { return page.state() == ContentState::grid; }, 20000));
    EXPECT_EQ(page.grid()->items().size(), 25);
    EXPECT_EQ(page.itemCountLabel()->text(), "25 个项目");
    ASSERT_TRUE(waitFor([&] { return page.grid()->requestsMade() > 0 && page.grid()->loadingPaths().isEmpty(); },
                        20000));
    const QString dir = qEnvironmentVariable("TESS_SCREENSHOT_DIR");
    if (!dir.isEmpty()) {
        QDir().mkpath(dir);
        page.grab().save(dir + "/library-page.png");
        page.timelineToggle()->setChecked(true);
        ASSERT_TRUE(waitFor([&] { return page.grid()->loadingPaths().isEmpty(); }));
        page.grab().save(dir + "/library-page-timeline.png");
    }
    page.close();
    drainScans();
    thumbnails.waitForIdle();
}
