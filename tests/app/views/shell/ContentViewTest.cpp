#include "app/views/shell/ContentView.h"
#include "app/views/library/LibraryDetailView.h"
#include "app/views/library/LibraryPage.h"
#include "app/views/shell/MainWindow.h"
#include "app/views/sidebar/SidebarModel.h"
#include "app/views/sidebar/SidebarView.h"
#include "app/views/grid/PhotoGridView.h"
#include "app/views/shell/WelcomeView.h"

#include "support/app/Eventually.h"
#include "support/app/Fixtures.h"
#include "support/app/QtPrinters.h"
#include "support/app/ShellTestContext.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QFile>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QSet>
#include <QSplitter>
#include <QTest>
#include <QTreeView>

using namespace app;
using app::testing::ShellTestContext;

namespace {

void clickButton(QMessageBox* box, const QString& text)
{
    ASSERT_TRUE(box);
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == text) {
            button->click();
            return;
        }
    }
    FAIL() << "no button " << text.toStdString();
}

class ContentViewTest : public ::testing::Test {
protected:
    ShellTestContext shell;
};

TEST_F(ContentViewTest, RoutingTableKeepsPagesOfTheSameIdentity)
{
    const PhotoLibrary a = shell.addLibrary("a");
    const PhotoLibrary b = shell.addLibrary("b");
    ContentView view(shell.context);
    view.resize(1000, 700);
    view.show();
    EXPECT_EQ(view.selection(), SidebarDestination::library(a.id)); // first appearance
    EXPECT_EQ(view.previousSelection(), view.selection());

    using D = SidebarDestination;
    const QString idA = uuidString(a.id);
    struct Step {
        std::optional<D> selection;
        QString identity;
        bool samePage;
    };
    const QList<Step> steps{
        {D::library(a.id), idA + "-all", true},
        {D::photos(a.id), idA + "-photos", false},
        {D::videos(a.id), idA + "-videos", false},
        {D::videos(a.id), idA + "-videos", true},
        {D::livePhotos(a.id), idA + "-livePhotos", false},
        {D::map(a.id), "map-" + idA, false},
        {D::library(b.id), uuidString(b.id) + "-all", false},
        {std::nullopt, "", false},
        {D::map(QUuid::createUuid()), "", true}, // unknown library: still the welcome page
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.identity.toStdString());
        QWidget* before = view.currentPage();
        view.setSelection(step.selection);
        EXPECT_EQ(view.currentIdentity(), step.identity);
        EXPECT_EQ(view.currentPage() == before, step.samePage);
        EXPECT_EQ(view.sidebar()->selection(), step.selection);
    }
    EXPECT_TRUE(qobject_cast<WelcomeView*>(view.currentPage()));

    // A rename reaches the page that is shown, without a new page.
    view.setSelection(D::photos(a.id));
    QPointer<QWidget> page = view.currentPage();
    ASSERT_TRUE(qobject_cast<LibraryPage*>(page.data()));
    shell.store->rename(a.id, "改过的名字");
    EXPECT_EQ(view.currentPage(), page.data());
    EXPECT_EQ(page->findChild<QLabel*>("libraryName")->text(), "改过的名字");

    // Removing the library shown on the map turns the column into the welcome page.
    view.setSelection(D::map(a.id));
    page = view.currentPage();
    shell.store->remove(a.id);
    EXPECT_TRUE(qobject_cast<WelcomeView*>(view.currentPage()));
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(page.isNull());
}

TEST_F(ContentViewTest, FirstAppearanceWithoutLibrariesShowsTheWelcomePage)
{
    ContentView view(shell.context);
    view.show();
    EXPECT_EQ(view.selection(), std::nullopt);
    EXPECT_TRUE(qobject_cast<WelcomeView*>(view.currentPage()));
    const QList<int> sizes = view.splitter()->sizes();
    EXPECT_GE(sizes.first(), 200);
    EXPECT_LE(sizes.first(), 340);
}

TEST_F(ContentViewTest, NonCapturedPagesWaitForConfirmation)
{
    const PhotoLibrary a = shell.addLibrary("a");
    const PhotoLibrary b = shell.addLibrary("b");
    {
        ContentView view(shell.context);
        view.resize(1000, 700);
        view.show();
        view.setSelection(SidebarDestination::photos(a.id));
        QWidget* photosPage = view.currentPage();

        // Clicked in the sidebar: the row the click selected must not stay highlighted.
        QTreeView* tree = view.sidebar()->tree();
        const QModelIndex nonCapturedRow = view.sidebar()->model()->indexFor(SidebarDestination::nonCaptured(a.id));
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(nonCapturedRow).center());
        QApplication::processEvents();
        EXPECT_EQ(view.selection(), SidebarDestination::photos(a.id));
        EXPECT_EQ(view.sidebar()->selection(), SidebarDestination::photos(a.id));
        EXPECT_EQ(view.currentPage(), photosPage);
        const QModelIndex photosRow = view.sidebar()->model()->indexFor(SidebarDestination::photos(a.id));
        EXPECT_EQ(tree->selectionModel()->selectedIndexes(), QModelIndexList{photosRow});
        EXPECT_EQ(tree->currentIndex(), photosRow);
        ASSERT_TRUE(view.confirmation());
        EXPECT_EQ(view.confirmation()->text(), "整理非拍摄照片");
        clickButton(view.confirmation(), "取消");
        EXPECT_EQ(view.selection(), SidebarDestination::photos(a.id));
        EXPECT_FALSE(shell.nonCaptured->hasConfirmedOrganize());

        view.setSelection(SidebarDestination::nonCaptured(a.id));
        clickButton(view.confirmation(), "继续");
        EXPECT_EQ(view.selection(), SidebarDestination::nonCaptured(a.id));
        EXPECT_EQ(view.previousSelection(), SidebarDestination::nonCaptured(a.id));
        EXPECT_EQ(view.currentIdentity(), uuidString(a.id) + "-nonCaptured");
        EXPECT_TRUE(shell.nonCaptured->hasConfirmedOrganize());
    }
    // Later launches never ask again.
    shell.resetNonCapturedIndex();
    ContentView view(shell.context);
    view.show();
    view.setSelection(SidebarDestination::nonCaptured(b.id));
    EXPECT_EQ(view.selection(), SidebarDestination::nonCaptured(b.id));
    EXPECT_FALSE(view.confirmation());
}

// After a click on a cell the keys move the grid's selection, bring it on screen with its day's
// title and open it, and leave the sidebar alone; the sidebar takes them again once it has the focus.
TEST_F(ContentViewTest, KeysMoveTheGridAfterAClickAndTheSidebarOnlyWithItsFocus)
{
    const PhotoLibrary a = shell.addLibrary("a");
    shell.addLibrary("b");
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(QFile::copy(app::test::fixturePath("media/jpeg-no-metadata.jpg"),
                                a.displayPath + QString("/IMG_%1.jpg").arg(i, 2, 10, QChar('0'))));
    ContentView view(shell.context);
    view.resize(1000, 700);
    view.show();
    view.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    auto* page = qobject_cast<LibraryDetailView*>(view.currentPage());
    ASSERT_TRUE(page);
    ASSERT_EVENTUALLY(page->state() == LibraryDetailView::State::grid);
    PhotoGridView* grid = page->grid();
    const MediaItems items = page->displayedItems();
    ASSERT_EQ(items.size(), 30);
    // Large cells under a day's title: the grid scrolls.
    grid->setTimelineEnabled(true);
    grid->setZoomLevel(GridZoomLevel::columns3);
    int columns = 1;
    while (grid->viewportRectOfItem(columns).top() == grid->viewportRectOfItem(0).top())
        ++columns;
    ASSERT_GT(columns, 2);

    view.sidebar()->tree()->setFocus();
    const auto start = view.selection();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->viewportRectOfItem(5).center());
    ASSERT_EQ(grid->selection(), items[5].url);
    const struct {
        Qt::Key key;
        int selected;
        bool titleShown = true;
        bool opens = false;
    } steps[] = {{Qt::Key_End, 29, false},
                 {Qt::Key_Home, 0},
                 {Qt::Key_Right, 1},
                 {Qt::Key_Down, 1 + columns},
                 {Qt::Key_Up, 1},
                 {Qt::Key_Left, 0},
                 {Qt::Key_Left, 0},
                 {Qt::Key_Return, 0, true, true},
                 {Qt::Key_End, 29, false},
                 {Qt::Key_Enter, 29, false, true}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.key);
        QTest::keyClick(QApplication::focusWidget(), step.key);
        EXPECT_EQ(grid->selection(), items[step.selected].url);
        EXPECT_EQ(view.selection(), start);
        ASSERT_EVENTUALLY(!grid->isScrollPending());
        const QRect shown = grid->viewport()->rect();
        EXPECT_TRUE(shown.contains(grid->viewportRectOfItem(step.selected)));
        const QRectF title = grid->layoutEngine().headerRect(0).translated(0, -grid->verticalScrollBar()->value());
        EXPECT_EQ(shown.contains(title.toAlignedRect()), step.titleShown);
        EXPECT_EQ(page->openItemPath(), step.opens ? std::optional(items[step.selected].url) : std::nullopt);
        if (step.opens) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
            ASSERT_FALSE(page->openItemPath().has_value());
            // The grid brings the closed item back into view.
            ASSERT_EVENTUALLY(!grid->isScrollPending());
        }
    }

    // Closing the viewer gives the keys back to the grid.
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, grid->viewportRectOfItem(28).center());
    ASSERT_NE(page->presentedViewer(), nullptr);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    ASSERT_FALSE(page->openItemPath().has_value());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_End);
    EXPECT_EQ(grid->selection(), items[29].url);
    EXPECT_EQ(view.selection(), start);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Home);

    view.sidebar()->tree()->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_End);
    EXPECT_NE(view.selection(), start);
    EXPECT_EQ(grid->selection(), items[0].url);
}

TEST_F(ContentViewTest, NonCapturedAsTheVeryFirstSelection)
{
    const PhotoLibrary a = shell.addLibrary("a");
    ContentView view(shell.context); // never shown: nothing selected yet
    view.setSelection(SidebarDestination::nonCaptured(a.id));
    EXPECT_EQ(view.selection(), std::nullopt);
    EXPECT_TRUE(qobject_cast<WelcomeView*>(view.currentPage()));
    clickButton(view.confirmation(), "继续");
    EXPECT_EQ(view.selection(), SidebarDestination::nonCaptured(a.id));
}

TEST_F(ContentViewTest, NamingAChosenFolderAddsAndSelectsIt)
{
    MainWindow window(shell.context);
    window.show();
    ContentView* view = window.contentView();
    EXPECT_EQ(window.newLibraryAction()->text(), "新建图库…");
    EXPECT_EQ(window.newLibraryAction()->shortcut(), QKeySequence(QKeySequence::New));
    EXPECT_EQ(window.size(), QSize(1280, 820));
    EXPECT_EQ(window.minimumSize(), QSize(880, 560));

    // Ctrl+N from the window; a cancelled chooser changes nothing.
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_N, Qt::ControlModifier);
    EXPECT_EQ(shell.fakes.chooser.calls, 1);
    EXPECT_FALSE(view->newLibrarySheet());

    shell.fakes.chooser.answer = shell.folder("iPhone 备份");
    window.newLibraryAction()->trigger();
    NewLibrarySheet* sheet = view->newLibrarySheet();
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->nameField()->text(), "iPhone 备份");
    QTest::keyClick(sheet->nameField(), Qt::Key_Return);
    ASSERT_EQ(shell.store->libraries().size(), 1);
    const PhotoLibrary added = shell.store->libraries().first();
    EXPECT_EQ(added.name, "iPhone 备份");
    EXPECT_EQ(view->selection(), SidebarDestination::library(added.id));
    EXPECT_EQ(shell.store->pendingFolder(), std::nullopt);

    // Escape: nothing registered, the pending folder is cleared.
    shell.fakes.chooser.answer = shell.folder("other");
    window.newLibraryAction()->trigger();
    ASSERT_TRUE(view->newLibrarySheet());
    QTest::keyClick(view->newLibrarySheet()->nameField(), Qt::Key_Escape);
    EXPECT_EQ(shell.store->libraries().size(), 1);
    EXPECT_EQ(shell.store->pendingFolder(), std::nullopt);

    // A folder the store cannot register: selection kept, the user is told.
    const QString broken = shell.folder("broken");
    shell.fakes.bookmarks.unbookmarkable.insert(broken);
    shell.fakes.chooser.answer = broken;
    window.newLibraryAction()->trigger();
    QTest::keyClick(view->newLibrarySheet()->nameField(), Qt::Key_Return);
    EXPECT_EQ(shell.store->libraries().size(), 1);
    EXPECT_EQ(view->selection(), SidebarDestination::library(added.id));
    bool told = false;
    for (QMessageBox* box : window.findChildren<QMessageBox*>())
        told = told || (box->isVisible() && box->text() == "无法添加图库");
    EXPECT_TRUE(told);
    for (QMessageBox* box : window.findChildren<QMessageBox*>())
        box->close();

    // 文件 › 退出 with Ctrl+Q closes the window, which ends the application.
    EXPECT_EQ(window.quitAction()->text(), "退出");
    EXPECT_EQ(window.quitAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    EXPECT_TRUE(window.menuBar()->actions().first()->menu()->actions().contains(window.quitAction()));
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_FALSE(window.isVisible());
}

} // namespace

namespace {

// Every first screen paints its whole area and more than one colour (a page that failed to lay out
// or paint is one flat colour); saved as PNG when TESS_SCREENSHOT_DIR names a folder.
TEST_F(ContentViewTest, Screenshots)
{
    const QString folder = qEnvironmentVariable("TESS_SCREENSHOT_DIR");
    const auto save = [&](QWidget& widget, const QString& name) {
        SCOPED_TRACE(name.toStdString());
        const QImage grab = widget.grab().toImage();
        EXPECT_EQ(grab.size(), widget.size() * widget.devicePixelRatioF());
        QSet<QRgb> colours;
        for (int y = 0; y < grab.height() && colours.size() < 3; y += 4)
            for (int x = 0; x < grab.width() && colours.size() < 3; x += 4)
                colours.insert(grab.pixel(x, y));
        EXPECT_GE(colours.size(), 3);
        if (!folder.isEmpty()) {
            EXPECT_TRUE(grab.save(folder + "/" + name + ".png"));
        }
    };

    MainWindow window(shell.context);
    window.show();
    save(window, "welcome");

    shell.fakes.bookmarks.internal = true;
    const PhotoLibrary home = shell.addLibrary("家庭照片");
    shell.fakes.bookmarks.internal = false;
    const PhotoLibrary drive = shell.addLibrary("移动硬盘备份");
    shell.unplug(drive);
    shell.fakes.bookmarks.internal = true;
    shell.addLibrary("my_trip"); // an underscore in the path caption
    shell.fakes.bookmarks.internal = false;
    window.contentView()->setSelection(SidebarDestination::photos(home.id));
    save(window, "sidebar");

    shell.fakes.chooser.answer = shell.folder("移动硬盘/" + QString("很长的备份文件夹名字").repeated(8) + "/iPhone 15");
    window.newLibraryAction()->trigger();
    ASSERT_TRUE(window.contentView()->newLibrarySheet());
    save(*window.contentView()->newLibrarySheet(), "new-library-sheet");
    window.contentView()->newLibrarySheet()->reject();

    window.contentView()->setSelection(SidebarDestination::nonCaptured(home.id));
    ASSERT_TRUE(window.contentView()->confirmation());
    save(*window.contentView()->confirmation(), "non-captured-confirmation");
}

} // namespace
