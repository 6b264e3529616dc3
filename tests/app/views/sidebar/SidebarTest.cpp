#include "app/views/sidebar/SidebarDelegate.h"
#include "app/views/sidebar/SidebarModel.h"
#include "app/views/sidebar/SidebarView.h"

#include "support/app/QtPrinters.h"
#include "support/app/ShellTestContext.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QStandardItemModel>
#include <QSignalSpy>
#include <QToolButton>
#include <QTest>
#include <QTreeView>

using namespace app;
using app::testing::ShellTestContext;

namespace {

QStringList libraryNames(const QAbstractItemModel& model)
{
    QStringList names;
    for (int row = 0; row < model.rowCount(); ++row)
        names.append(model.index(row, 0).data().toString());
    return names;
}

class SidebarTest : public ::testing::Test {
protected:
    ShellTestContext shell;
};

TEST_F(SidebarTest, ModelRowsRolesAndConsistency)
{
    SidebarModel model(*shell.store);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    EXPECT_EQ(model.rowCount(), 0);

    const PhotoLibrary home = shell.addLibrary("家里");
    shell.fakes.bookmarks.internal = false;
    const PhotoLibrary drive = shell.addLibrary("移动硬盘");
    shell.unplug(drive);
    ASSERT_EQ(model.rowCount(), 2);

    struct Row {
        int row;
        QString caption;
        double opacity;
        QString symbol;
    };
    for (const Row& r : {Row{0, home.displayPath, 1.0, "folder.fill"}, Row{1, "未连接", 0.55, "externaldrive.fill"}}) {
        const QModelIndex index = model.index(r.row, 0);
        EXPECT_EQ(index.data(SidebarModel::CaptionRole).toString(), r.caption);
        EXPECT_DOUBLE_EQ(index.data(SidebarModel::OpacityRole).toDouble(), r.opacity);
        EXPECT_EQ(index.data(SidebarModel::SymbolRole).toString(), r.symbol);
        EXPECT_TRUE(index.flags() & Qt::ItemIsSelectable); // an unavailable library stays selectable
    }

    const QModelIndex driveRow = model.index(1, 0);
    ASSERT_EQ(model.rowCount(driveRow), 5);
    QStringList titles;
    for (int row = 0; row < 5; ++row) {
        const QModelIndex child = model.index(row, 0, driveRow);
        titles.append(child.data().toString());
        const auto destination = model.destination(child);
        ASSERT_TRUE(destination);
        EXPECT_EQ(destination->libraryID, drive.id);
        EXPECT_EQ(model.indexFor(*destination), child);
    }
    EXPECT_EQ(titles, (QStringList{"视频", "照片", "实况照片", "非拍摄", "地图"}));
    EXPECT_EQ(model.destination(driveRow), SidebarDestination::library(drive.id));

    // Names and availability change rows in place; a new list of ids resets the model.
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    shell.store->rename(home.id, "老家");
    QDir().mkpath(drive.displayPath);
    shell.fakes.volumes.fire();
    EXPECT_EQ(model.index(0, 0).data().toString(), "老家");
    EXPECT_EQ(model.index(1, 0).data(SidebarModel::CaptionRole).toString(), drive.displayPath);
    EXPECT_EQ(resets.count(), 0);
    shell.addLibrary("第三个");
    shell.store->remove(home.id);
    EXPECT_EQ(resets.count(), 2);
    EXPECT_EQ(libraryNames(model), (QStringList{"移动硬盘", "第三个"}));
}

TEST_F(SidebarTest, MovesAndDropsReorderTheStore)
{
    for (const char* name : {"a", "b", "c", "d"})
        shell.addLibrary(name);
    SidebarModel model(*shell.store);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);

    struct Case {
        int source;
        int count;
        int destination;
        bool accepted;
        QStringList expected;
    };
    // Each case starts from the order the previous one left.
    const QList<Case> cases{
        {0, 1, 2, true, {"b", "a", "c", "d"}},
        {3, 1, 0, true, {"d", "b", "a", "c"}},
        {1, 2, 4, true, {"d", "c", "b", "a"}},
        {2, 1, 2, true, {"d", "c", "b", "a"}},
        {3, 2, 0, false, {"d", "c", "b", "a"}},
        {0, 1, 5, false, {"d", "c", "b", "a"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected.join(",").toStdString());
        EXPECT_EQ(model.moveRows({}, c.source, c.count, {}, c.destination), c.accepted);
        EXPECT_EQ(libraryNames(model), c.expected);
    }
    // Kinds never move.
    EXPECT_FALSE(model.moveRows(model.index(0, 0), 0, 1, model.index(0, 0), 3));

    // A drop between rows moves through the store; the view must not remove anything itself.
    std::unique_ptr<QMimeData> data(model.mimeData({model.index(3, 0)}));
    ASSERT_TRUE(data);
    EXPECT_FALSE(model.dropMimeData(data.get(), Qt::MoveAction, 1, 0, {}));
    EXPECT_EQ(libraryNames(model), (QStringList{"d", "a", "c", "b"}));
    EXPECT_FALSE(model.canDropMimeData(data.get(), Qt::MoveAction, -1, -1, model.index(0, 0)));
    EXPECT_FALSE(model.canDropMimeData(data.get(), Qt::CopyAction, 0, 0, {}));
    std::unique_ptr<QMimeData> last(model.mimeData({model.index(0, 0)}));
    model.dropMimeData(last.get(), Qt::MoveAction, -1, -1, {});
    EXPECT_EQ(libraryNames(model), (QStringList{"a", "c", "b", "d"}));
}

TEST_F(SidebarTest, RemovalKeepsOrMovesTheSelection)
{
    using D = SidebarDestination;
    struct Case {
        const char* name;
        std::optional<int> selectedLibrary; // index into a, b, c
        D::Kind kind;
        int removed;
        std::optional<int> expectedLibrary;
        D::Kind expectedKind;
    };
    const QList<Case> cases{
        {"selected library removed", 0, D::Kind::library, 0, 1, D::Kind::library},
        {"a kind of the removed library", 1, D::Kind::videos, 1, 0, D::Kind::library},
        {"selection elsewhere is kept", 2, D::Kind::map, 0, 2, D::Kind::map},
        {"nothing selected gets the first", std::nullopt, D::Kind::library, 1, 0, D::Kind::library},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ShellTestContext local;
        const QList<PhotoLibrary> libraries{local.addLibrary("a"), local.addLibrary("b"), local.addLibrary("c")};
        SidebarView sidebar(local.context);
        if (c.selectedLibrary)
            sidebar.setSelection(D{c.kind, libraries[*c.selectedLibrary].id});
        QSignalSpy reported(&sidebar, &SidebarView::selectionChanged);
        sidebar.remove(libraries[c.removed]);
        const std::optional<D> expected =
            c.expectedLibrary ? std::optional<D>(D{c.expectedKind, libraries[*c.expectedLibrary].id}) : std::nullopt;
        EXPECT_EQ(sidebar.selection(), expected);
        EXPECT_FALSE(local.store->library(libraries[c.removed].id));
    }

    // The last library goes: nothing is left to select.
    const PhotoLibrary only = shell.addLibrary("only");
    SidebarView sidebar(shell.context);
    sidebar.setSelection(SidebarDestination::photos(only.id));
    QSignalSpy reported(&sidebar, &SidebarView::selectionChanged);
    sidebar.remove(only);
    EXPECT_EQ(sidebar.selection(), std::nullopt);
    ASSERT_EQ(reported.count(), 1);
}

TEST_F(SidebarTest, ClickingARowReportsItsDestination)
{
    const PhotoLibrary library = shell.addLibrary("a");
    SidebarView sidebar(shell.context);
    sidebar.show();
    QSignalSpy reported(&sidebar, &SidebarView::selectionChanged);
    const QModelIndex photos = sidebar.model()->index(1, 0, sidebar.model()->index(0, 0));
    sidebar.tree()->setCurrentIndex(photos);
    ASSERT_EQ(reported.count(), 1);
    EXPECT_EQ(reported.first().first().value<std::optional<SidebarDestination>>(), SidebarDestination::photos(library.id));
    // Mirroring the root view's selection reports nothing back.
    sidebar.setSelection(SidebarDestination::map(library.id));
    EXPECT_EQ(reported.count(), 1);
    const QModelIndex map = sidebar.model()->indexFor(SidebarDestination::map(library.id));
    EXPECT_EQ(sidebar.tree()->currentIndex(), map);

    // Ctrl+click on the selected row leaves it selected, as the page beside it still shows it.
    QApplication::processEvents();
    QTest::mouseClick(sidebar.tree()->viewport(), Qt::LeftButton, Qt::ControlModifier,
                      sidebar.tree()->visualRect(map).center());
    QApplication::processEvents();
    EXPECT_EQ(sidebar.tree()->selectionModel()->selectedIndexes(), QModelIndexList{map});
    EXPECT_EQ(sidebar.selection(), SidebarDestination::map(library.id));
    EXPECT_EQ(reported.count(), 1);
}

TEST_F(SidebarTest, ListChangesExpandEveryLibraryAgain)
{
    const PhotoLibrary a = shell.addLibrary("a");
    const PhotoLibrary b = shell.addLibrary("b");
    SidebarView sidebar(shell.context);
    sidebar.show();
    QTreeView* tree = sidebar.tree();
    EXPECT_TRUE(tree->isExpanded(sidebar.model()->index(0, 0)));
    EXPECT_TRUE(tree->isExpanded(sidebar.model()->index(1, 0)));

    tree->collapse(sidebar.model()->index(0, 0));
    EXPECT_FALSE(sidebar.expandedLibraryIDs().contains(a.id));
    shell.store->rename(a.id, "renamed"); // same ids: stays collapsed
    EXPECT_FALSE(tree->isExpanded(sidebar.model()->index(0, 0)));

    shell.store->moveLibraries({1}, 0);
    EXPECT_EQ(sidebar.expandedLibraryIDs(), (QSet<QUuid>{a.id, b.id}));
    for (int row = 0; row < 2; ++row)
        EXPECT_TRUE(tree->isExpanded(sidebar.model()->index(row, 0)));
}

TEST_F(SidebarTest, ContextMenuRenameAndReveal)
{
    PhotoLibrary library = shell.addLibrary("a");
    shell.store->rename(library.id, " 旅行 ");
    library = *shell.store->library(library.id);
    SidebarView sidebar(shell.context);
    sidebar.show();

    std::unique_ptr<QMenu> menu(sidebar.createContextMenu(library, nullptr));
    QStringList texts;
    for (QAction* action : menu->actions())
        texts.append(action->isSeparator() ? "-" : action->text());
    EXPECT_EQ(texts, (QStringList{"重命名…", "在文件管理器中显示", "-", "从边栏移除"}));
    menu->actions()[1]->trigger();
    EXPECT_EQ(shell.fakes.revealer.revealed, QStringList{library.displayPath});

    struct Case {
        QString typed;
        QString stored;
    };
    for (const Case& c : {Case{"  \n ", " 旅行 "}, Case{"\t家庭 照片\n", "家庭 照片"}}) {
        menu->actions()[0]->trigger();
        RenameLibraryDialog* dialog = sidebar.renameDialog();
        ASSERT_TRUE(dialog);
        EXPECT_EQ(sidebar.renamingID(), library.id);
        EXPECT_EQ(dialog->nameField()->text(), shell.store->library(library.id)->name); // untrimmed draft
        EXPECT_EQ(dialog->nameField()->placeholderText(), "图库名称");
        dialog->nameField()->setText(c.typed);
        dialog->okButton()->click();
        EXPECT_EQ(shell.store->library(library.id)->name, c.stored);
        EXPECT_EQ(sidebar.renamingID(), std::nullopt);
    }
    sidebar.beginRename(library);
    sidebar.renameDialog()->cancelButton()->click();
    EXPECT_EQ(sidebar.renamingID(), std::nullopt);

    menu->actions()[3]->trigger();
    EXPECT_TRUE(shell.store->libraries().isEmpty());
}

TEST_F(SidebarTest, ReceiveEntriesAreOffUntilEnabledAndFinishingSelects)
{
    const PhotoLibrary library = shell.addLibrary("a");
    SidebarView sidebar(shell.context);
    sidebar.show();
    EXPECT_TRUE(sidebar.addButton()->isEnabled());
    EXPECT_FALSE(sidebar.wirelessButton()->isEnabled());
    EXPECT_FALSE(sidebar.wiredButton()->isEnabled());

    sidebar.setReceiveEnabled(true);
    sidebar.wiredButton()->click();
    PeerDiscoverySheet* sheet = sidebar.receiveSheet();
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->transport(), PeerDiscoverySheet::Transport::wired);
    EXPECT_EQ(sheet->objectName(), "wired-receive");
    QSignalSpy reported(&sidebar, &SidebarView::selectionChanged);
    sheet->finishReceive(library.id);
    EXPECT_EQ(sidebar.selection(), SidebarDestination::library(library.id));
    EXPECT_EQ(shell.store->contentRevision(library.id), 1);
    EXPECT_EQ(reported.count(), 1);

    // No destination known: it only closes.
    sidebar.wirelessButton()->click();
    ASSERT_TRUE(sidebar.receiveSheet());
    sidebar.receiveSheet()->finishReceive(std::nullopt);
    EXPECT_EQ(shell.store->contentRevision(library.id), 1);
}

} // namespace

namespace {

// Dark pixels in a white picture: how much of a text was actually drawn.
int inkedPixels(const QImage& image)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += qGray(image.pixel(x, y)) < 160 ? 1 : 0;
    return count;
}

} // namespace

// An underscore hangs below the baseline; at the caption's small size a clipped rectangle cut it
// off, so "Photos/my_trip" read "Photos/my trip".
TEST(SidebarDelegateTest, CaptionUnderscoresAreDrawn)
{
    QStandardItemModel model;
    auto* row = new QStandardItem("Trip");
    row->setData(true, SidebarModel::IsLibraryRole);
    row->setData(true, SidebarModel::AvailableRole);
    row->setData(1.0, SidebarModel::OpacityRole);
    row->setData(QStringLiteral("folder"), SidebarModel::SymbolRole);
    model.appendRow(row);

    SidebarDelegate delegate;
    QStyleOptionViewItem option;
    option.font = QApplication::font();
    option.palette.setColor(QPalette::Text, Qt::black);
    const QSize size = delegate.sizeHint(option, model.index(0, 0));
    option.rect = QRect(QPoint(0, 0), QSize(320, size.height()));
    const auto paintCaption = [&](const QString& caption) {
        row->setData(caption, SidebarModel::CaptionRole);
        row->setData(QString(), Qt::DisplayRole); // only the caption's ink counts
        QImage image(option.rect.size(), QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        delegate.paint(&painter, option, model.index(0, 0));
        painter.end();
        // The icon's column is left out.
        return image.copy(40, 0, image.width() - 40, image.height());
    };

    const int underscores = inkedPixels(paintCaption(QStringLiteral("__________")));
    // The same text drawn without any rectangle is the oracle.
    QImage free(320, 60, QImage::Format_RGB32);
    free.fill(Qt::white);
    QPainter painter(&free);
    painter.setFont(SidebarDelegate::captionFont(option.font));
    painter.setPen(QColor(0, 0, 0, 153));
    painter.drawText(QPoint(4, 30), QStringLiteral("__________"));
    painter.end();
    const int expected = inkedPixels(free);
    ASSERT_GT(expected, 0);
    EXPECT_GE(underscores, expected * 8 / 10);
}
