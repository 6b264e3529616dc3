// The receive sheet offscreen: the destination picker's rules, the existing-library alert, each
// phase's page with its texts and buttons, closing, and the pure rules behind the pages.

#include "app/views/receive/PeerDiscoverySheet.h"
#include "app/views/common/TextElision.h"
#include "app/views/common/ViewStyle.h"
#include "app/views/receive/ExistingLibraryDrawer.h"
#include "app/views/receive/ReceiveSheetRules.h"

#include "support/app/Eventually.h"
#include "support/app/FakeReceiveTransports.h"
#include "support/app/QtPrinters.h"
#include "support/app/ShellTestContext.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTest>
#include <QToolButton>

using namespace app;
using namespace app::testing;
using p2p::testing::FakeFile;
using p2p::testing::FakePhone;
using Phase = PeerReceiveModel::Phase;

namespace {

const p2p::Uuid sessionID = *p2p::Uuid::parse("0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F0");

// Screenshots for review go where TESS_SCREENSHOTS points, when it is set.
void saveScreenshot(QWidget& widget, const QString& name)
{
    const QString folder = qEnvironmentVariable("TESS_SCREENSHOTS");
    if (!folder.isEmpty())
        widget.grab().save(QDir(folder).filePath(name + ".png"));
}

void touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("x");
}

class PeerDiscoverySheetTest : public ::testing::Test {
protected:
    PeerDiscoverySheetTest()
    {
        world.backupRoot = "/media/disk/Family/Kalvenstroud_测试手机";
        transports = world.transports();
        shell.context.receiveTransports = &transports;
    }

    std::unique_ptr<PeerDiscoverySheet> open(PeerDiscoverySheet::Transport transport)
    {
        auto sheet = std::make_unique<PeerDiscoverySheet>(shell.context, transport, [this](QUuid id) { finished << id; });
        sheet->setFolderPicker([this] { return pickedFolder; });
        sheet->show();
        return sheet;
    }

    QString text(QLabel* label) const { return label->isVisibleTo(label->window()) ? label->text() : "<hidden>"; }

    ShellTestContext shell;
    FakeReceiveWorld world; // outlives every sheet
    ReceiveTransports transports;
    std::optional<QString> pickedFolder;
    QList<QUuid> finished;
};

TEST_F(PeerDiscoverySheetTest, ThePickerEnablesStartingOnlyForAValidNameInAParent)
{
    const QString parent = shell.folder("parent");
    touch(parent + "/Taken");
    QDir().mkpath(parent + "/Existing");
    struct Case {
        const char* name;
        bool chooseParent;
        QString typed;
        QString fieldAfter;
        QString message;
        bool startEnabled;
        QString preview;
        QString errorAfterStart; // "<none>": the receive starts
    };
    const QString parentPath = QFileInfo(parent).absoluteFilePath();
    const Case cases[] = {
        {"empty field", true, "", "", "<hidden>", false, parentPath, ""},
        {"spaces only", true, "   ", "   ", "请输入图库名称", false, parentPath, ""},
        {"forbidden characters dropped", true, "Tr/ip:", "Trip", "<hidden>", true, parentPath + "/Trip", "<none>"},
        {"cut at twenty", true, "abcdefghijklmnopqrstuvw", "abcdefghijklmnopqrst", "<hidden>", true,
            parentPath + "/abcdefghijklmnopqrst", "<none>"},
        {"reserved", true, "..", "..", "不能使用这个名称", false, parentPath + "/..", ""},
        {"no parent yet", false, "Trip", "Trip", "<hidden>", false, "", ""},
        {"a file has the name", true, " Taken ", " Taken ", "<hidden>", true, parentPath + "/Taken",
            "目标位置已有同名文件，请换一个图库名称。"},
        {"a folder has the name", true, "Existing", "Existing", "<hidden>", true, parentPath + "/Existing", "<none>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto sheet = open(PeerDiscoverySheet::Transport::wireless);
        EXPECT_EQ(sheet->titleLabel()->text(), "准备接收移动端备份");
        EXPECT_EQ(sheet->headerButton()->text(), "完成");
        pickedFolder = parent;
        if (c.chooseParent)
            sheet->chooseParentButton()->click();
        sheet->nameField()->setFocus();
        sheet->nameField()->selectAll();
        QTest::keyClicks(sheet->nameField(), c.typed);
        EXPECT_EQ(sheet->nameField()->text(), c.fieldAfter);
        EXPECT_EQ(text(sheet->nameMessageLabel()), c.message);
        EXPECT_EQ(sheet->startNewButton()->isEnabled(), c.startEnabled);
        EXPECT_EQ(sheet->previewPathLabel()->toolTip(), c.preview);
        if (!c.startEnabled)
            continue;
        sheet->startNewButton()->click();
        if (c.errorAfterStart == "<none>") {
            EXPECT_EQ(sheet->model()->phase(), Phase::waitingForPeer());
            EXPECT_EQ(text(sheet->errorLabel()), "<hidden>");
        } else {
            EXPECT_EQ(sheet->model()->phase(), Phase::choosingDestination());
            EXPECT_EQ(text(sheet->errorLabel()), c.errorAfterStart);
        }
    }
}

TEST_F(PeerDiscoverySheetTest, TheDrawerListsAvailableLibrariesAndAsksBeforeAFullOne)
{
    {
        auto sheet = open(PeerDiscoverySheet::Transport::wireless);
        EXPECT_EQ(sheet->drawerCountLabel()->text(), "暂无");
        sheet->drawerButton()->click();
        EXPECT_EQ(text(sheet->drawerEmptyLabel()), "还没有可用的图库。请先在上方新建。");
    }
    const PhotoLibrary empty = shell.addLibrary("Empty");
    const PhotoLibrary full = shell.addLibrary("Full");
    const PhotoLibrary gone = shell.addLibrary("Gone");
    touch(empty.displayPath + "/.hidden.jpg");
    touch(empty.displayPath + "/notes.txt");
    touch(empty.displayPath + "/deep/inside/IMG_1.JPG");
    touch(full.displayPath + "/Kalvenstroud_Phone/Videos/CLIP.MOV");
    shell.unplug(gone);

    auto sheet = open(PeerDiscoverySheet::Transport::wireless);
    const int closedHeight = sheet->height();
    EXPECT_EQ(sheet->drawerCountLabel()->text(), "2 个");
    EXPECT_FALSE(sheet->drawerContent()->isVisible());
    sheet->drawerButton()->click();
    EXPECT_TRUE(sheet->drawerContent()->isVisible());
    EXPECT_GT(sheet->height(), closedHeight); // the window follows the drawer
    ASSERT_EQ(sheet->libraryList()->count(), 2);
    EXPECT_FALSE(sheet->startExistingButton()->isEnabled());
    saveScreenshot(*sheet, "receive-picker");

    // A library with media asks first; "取消" starts nothing.
    sheet->libraryList()->item(1)->setSelected(true);
    EXPECT_TRUE(sheet->startExistingButton()->isEnabled());
    saveScreenshot(*sheet, "receive-picker-selected");
    sheet->startExistingButton()->click();
    ASSERT_TRUE(sheet->confirmationBox());
    EXPECT_EQ(sheet->confirmationBox()->text(), "确认在已有图库中接收备份？");
    EXPECT_EQ(sheet->confirmationBox()->informativeText(), "「Full」里已有照片或视频。新收到的内容会写入该图库；已备份过的项目会自动跳过。");
    sheet->confirmationBox()->buttons().last()->click();
    EXPECT_EQ(sheet->model()->phase(), Phase::choosingDestination());
    sheet->startExistingButton()->click();
    ASSERT_TRUE(sheet->confirmationBox());
    sheet->confirmationBox()->buttons().first()->click(); // "继续接收"
    EXPECT_EQ(sheet->model()->phase(), Phase::waitingForPeer());
    EXPECT_EQ(sheet->model()->destinationLibraryID(), full.id);
    EXPECT_EQ(sheet->model()->destinationDescription(), full.displayPath);

    // One without media starts at once.
    auto other = open(PeerDiscoverySheet::Transport::wired);
    other->drawerButton()->click();
    other->libraryList()->item(0)->setSelected(true);
    other->startExistingButton()->click();
    EXPECT_FALSE(other->confirmationBox());
    EXPECT_EQ(other->model()->phase(), Phase::waitingForPeer());
    EXPECT_EQ(other->model()->destinationLibraryID(), empty.id);
}

TEST_F(PeerDiscoverySheetTest, EachPhaseShowsItsPage)
{
    const PhotoLibrary library = shell.addLibrary("Family");
    auto sheet = open(PeerDiscoverySheet::Transport::wireless);
    sheet->drawerButton()->click();
    sheet->libraryList()->item(0)->setSelected(true);
    sheet->startExistingButton()->click();

    // Waiting: the code, no status line on the network road, the radar behind.
    EXPECT_EQ(sheet->titleLabel()->text(), "等待 iPhone 连接");
    EXPECT_EQ(sheet->headerButton()->text(), "停止");
    EXPECT_EQ(sheet->codeLabel()->text(), sheet->model()->pairingCode());
    EXPECT_EQ(sheet->codeLabel()->text().size(), 3);
    EXPECT_EQ(sheet->instructionLabel()->text(), "在 iPhone 上选择这台电脑，然后输入配对码");
    EXPECT_EQ(text(sheet->wiredStatusLabel()), "<hidden>");
    EXPECT_TRUE(sheet->radar()->isVisible());
    EXPECT_EQ(sheet->size(), QSize(520, 440));
    ASSERT_EVENTUALLY(world.announcing);
    saveScreenshot(*sheet, "receive-waiting");

    // Negotiating: the phone pairs and then thinks about its manifest until the gate opens; then
    // it sends one of two files and stops talking: transferring.
    const std::string code = sheet->model()->pairingCode().toStdString();
    auto gate = std::make_shared<asio::steady_timer>(world.runtime.executor(), asio::steady_timer::time_point::max());
    world.connectPhone([code, gate](FakePhone& phone) -> asio::awaitable<void> {
        co_await phone.greet();
        co_await phone.pair(code);
        auto [ec] = co_await gate->async_wait(p2p::useNothrowAwaitable);
        (void)ec;
        const std::vector<p2p::AssetDescriptor> assets
            = {FakePhone::photo("A", "IMG_0001.HEIC", 1500000), FakePhone::video("B", "IMG_0002.MOV", 2500000)};
        co_await phone.offer(sessionID, assets);
        FakeFile file;
        file.assetID = "A";
        file.filename = "IMG_0001.HEIC";
        file.bytes = FakePhone::patternBytes(1500000, 1);
        file.chunkByteCount = 256 * 1024;
        co_await phone.sendFile(file);
        FakeFile next = file;
        next.assetID = "B";
        next.filename = "IMG_0002.MOV";
        next.bytes = FakePhone::patternBytes(2500000, 2);
        next.cutAfterChunks = 2;
        co_await phone.sendFile(next);
        co_await phone.readUntilClosed();
    });
    ASSERT_EVENTUALLY(sheet->model()->phase().is(Phase::Kind::negotiating));
    EXPECT_EQ(sheet->titleLabel()->text(), "正在核对已备份内容");
    EXPECT_EQ(sheet->peerLabel()->text(), "已连接「测试手机」");
    EXPECT_EQ(sheet->headerButton()->text(), "停止");
    EXPECT_TRUE(sheet->radar()->isVisible());
    saveScreenshot(*sheet, "receive-negotiating");
    asio::post(world.runtime.executor(), [gate] { gate->cancel(); });

    ASSERT_EVENTUALLY(sheet->model()->progress().completedAssetCount == 1
        && sheet->model()->progress().currentFilename == std::optional<std::string>("IMG_0002.MOV"));
    const p2p::TransferProgress progress = sheet->model()->progress();
    EXPECT_EQ(sheet->titleLabel()->text(), "正在接收");
    EXPECT_EQ(sheet->transferTitleLabel()->text(), "正在从「测试手机」接收");
    EXPECT_EQ(sheet->countsLabel()->text(), "1 / 2 个项目");
    EXPECT_EQ(progress.totalByteCount, 4000000);
    EXPECT_GE(progress.completedByteCount, 1500000);
    EXPECT_EQ(sheet->bytesLabel()->text(),
        ReceiveSheetRules::byteAndETASummary(progress, sheet->model()->remainingTimeText()));
    EXPECT_EQ(sheet->progressBar()->value(), int(std::lround(progress.completedByteCount / 4000.0)));
    EXPECT_EQ(sheet->currentFileLabel()->text(), "IMG_0002.MOV");
    EXPECT_EQ(text(sheet->footnotes()[1]), "/media/disk/Family/Kalvenstroud_测试手机");
    EXPECT_FALSE(sheet->radar()->isVisible());
    saveScreenshot(*sheet, "receive-transferring");

    // "停止" ends the receive and closes the sheet; nothing is reported.
    sheet->headerButton()->click();
    ASSERT_EVENTUALLY(!sheet->isVisible());
    EXPECT_EQ(sheet->result(), QDialog::Rejected);
    EXPECT_TRUE(finished.isEmpty());
    EXPECT_EQ(shell.store->contentRevision(library.id), 0);
}

TEST_F(PeerDiscoverySheetTest, TheSummaryAndTheFailureCloseTheirOwnWays)
{
    const PhotoLibrary library = shell.addLibrary("Family");
    for (bool viaSummary : {true, false}) {
        SCOPED_TRACE(viaSummary ? "summary's 完成" : "header's 完成");
        auto sheet = open(PeerDiscoverySheet::Transport::wireless);
        sheet->drawerButton()->click();
        sheet->libraryList()->item(0)->setSelected(true);
        sheet->startExistingButton()->click();
        ASSERT_EVENTUALLY(world.announcing);
        const std::string code = sheet->model()->pairingCode().toStdString();
        world.connectPhone([code](FakePhone& phone) -> asio::awaitable<void> {
            co_await phone.greet();
            co_await phone.pair(code);
            const std::vector<p2p::AssetDescriptor> assets
                = {FakePhone::photo("A", "A.JPG", 2000), FakePhone::photo("B", "B.JPG", 10)};
            co_await phone.offer(sessionID, assets);
            FakeFile file;
            file.assetID = "A";
            file.filename = "A.JPG";
            file.bytes = FakePhone::patternBytes(2000, 1);
            co_await phone.sendFile(file);
            co_await phone.end();
            co_await phone.readUntilClosed();
        });
        ASSERT_EVENTUALLY(sheet->model()->phase().is(Phase::Kind::finished));
        EXPECT_EQ(sheet->titleLabel()->text(), "接收完成");
        EXPECT_EQ(sheet->headerButton()->text(), "完成");
        EXPECT_EQ(sheet->finishedTitleLabel()->text(), "接收完成");
        EXPECT_EQ(sheet->finishedStatsLabel()->text(), "落地 1 个文件 · 2.0 kB");
        saveScreenshot(*sheet, "receive-finished");
        (viaSummary ? sheet->finishButton() : sheet->headerButton())->click();
        ASSERT_EVENTUALLY(!sheet->isVisible());
        EXPECT_EQ(finished, viaSummary ? QList<QUuid>{library.id} : QList<QUuid>{});
        EXPECT_EQ(shell.store->contentRevision(library.id), 1);
        finished.clear();
    }

    // A failure offers "重试", which keeps the sheet open, and "关闭".
    world.startFailure = "没有 avahi";
    auto sheet = open(PeerDiscoverySheet::Transport::wireless);
    sheet->drawerButton()->click();
    sheet->libraryList()->item(0)->setSelected(true);
    sheet->startExistingButton()->click();
    ASSERT_EVENTUALLY(sheet->model()->phase().is(Phase::Kind::failed));
    EXPECT_EQ(sheet->titleLabel()->text(), "接收失败");
    EXPECT_EQ(sheet->failureMessageLabel()->text(), "广播失败：没有 avahi");
    EXPECT_EQ(sheet->size(), QSize(520, 440));
    saveScreenshot(*sheet, "receive-failed");
    const int starts = world.starts.load();
    sheet->retryButton()->click();
    ASSERT_EVENTUALLY_EQ(world.starts.load(), starts + 1);
    ASSERT_EVENTUALLY(sheet->model()->phase().is(Phase::Kind::failed));
    EXPECT_TRUE(sheet->isVisible());
    sheet->closeButton()->click();
    ASSERT_EVENTUALLY(!sheet->isVisible());

    // The library's drive goes away while the sheet waits: the receive ends with the failure.
    world.startFailure.reset();
    sheet = open(PeerDiscoverySheet::Transport::wireless);
    sheet->drawerButton()->click();
    sheet->libraryList()->item(0)->setSelected(true);
    sheet->startExistingButton()->click();
    ASSERT_EVENTUALLY(world.announcing);
    shell.store->reportUnavailable(library.id);
    ASSERT_TRUE(sheet->model()->phase().is(Phase::Kind::failed));
    EXPECT_EQ(sheet->failureMessageLabel()->text(), "找不到「Family」的文件夹，移动硬盘可能没有连接。");
    // 重试 asks the store again: a library it shows as not connected is not waited for.
    const int startsBefore = world.starts.load();
    sheet->retryButton()->click();
    world.flush();
    EXPECT_EQ(world.starts.load(), startsBefore);
    EXPECT_TRUE(sheet->model()->phase().is(Phase::Kind::failed));
    EXPECT_EQ(sheet->failureMessageLabel()->text(), "找不到「Family」的文件夹，移动硬盘可能没有连接。");
}

TEST_F(PeerDiscoverySheetTest, TheWiredWaitShowsItsStatusLine)
{
    world.listScript = [](int) { return FakeReceiveWorld::ListStep{}; };
    world.pollInterval = std::chrono::hours(1);
    transports = world.transports();
    const PhotoLibrary library = shell.addLibrary("Family");
    auto sheet = open(PeerDiscoverySheet::Transport::wired);
    EXPECT_EQ(sheet->titleLabel()->text(), "一线备份");
    sheet->drawerButton()->click();
    sheet->libraryList()->item(0)->setSelected(true);
    sheet->startExistingButton()->click();
    EXPECT_EQ(sheet->titleLabel()->text(), "等待 USB 连接");
    EXPECT_EQ(sheet->instructionLabel()->text(), "在 iPhone 一线备份中点「准备连接」，然后输入配对码");
    ASSERT_EVENTUALLY_EQ(text(sheet->wiredStatusLabel()),
        QString("未检测到 USB iPhone。请确认已插线，并在手机上点「信任此电脑」。"));
    EXPECT_EQ(text(sheet->footnotes()[0]), library.displayPath);
    saveScreenshot(*sheet, "receive-waiting-wired");
    // Escape is the header's "停止": the wait ends and the sheet closes.
    QTest::keyClick(sheet.get(), Qt::Key_Escape);
    ASSERT_EVENTUALLY(!sheet->isVisible());
}

// A library deep in its drive: the drawer's header opens from anywhere on it, its row keeps the end
// of the long path, and the waiting page's destination line takes at most two lines, cut in the
// middle.
TEST_F(PeerDiscoverySheetTest, LongPathsKeepTheirEndsAndTheWholeDrawerHeaderIsOneButton)
{
    QString deep = shell.folder("drive");
    for (int i = 0; i < 12; ++i)
        deep += QString("/第%1层的一个相当长的文件夹名字").arg(i);
    deep += "/全家福相册";
    ASSERT_TRUE(QDir().mkpath(deep));
    const std::optional<PhotoLibrary> library = shell.store->addLibrary(deep, "全家福");
    ASSERT_TRUE(library);
    auto sheet = open(PeerDiscoverySheet::Transport::wireless);

    DrawerHeaderButton* header = sheet->drawerButton();
    const QPoint count = sheet->drawerCountLabel()->geometry().center();
    const QPoint middle(header->width() / 2, header->height() / 2);
    for (const QPoint& at : {count, middle, QPoint(4, 4)}) {
        const bool before = sheet->isDrawerExpanded();
        QTest::mouseClick(header, Qt::LeftButton, {}, at);
        EXPECT_NE(sheet->isDrawerExpanded(), before) << at.x() << "," << at.y();
    }
    ASSERT_TRUE(sheet->isDrawerExpanded());

    QListWidget* list = sheet->libraryList();
    auto* rows = qobject_cast<LibraryRowDelegate*>(list->itemDelegate());
    ASSERT_TRUE(rows);
    QStyleOptionViewItem option;
    option.rect = list->visualItemRect(list->item(0));
    option.font = list->font();
    const QStringList lines = rows->shownLines(option, list->model()->index(0, 0));
    EXPECT_EQ(lines[0], "全家福");
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("…"))) << lines[1].toStdString();
    EXPECT_TRUE(deep.endsWith(lines[1].mid(1))) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].endsWith("/全家福相册"));

    list->item(0)->setSelected(true);
    sheet->startExistingButton()->click();
    ASSERT_EQ(sheet->model()->destinationDescription(), deep);
    MiddleElidedLabel* footnote = sheet->footnotes()[0];
    EXPECT_EQ(footnote->fullText(), deep);
    ASSERT_EVENTUALLY(footnote->isVisible() && footnote->text().contains(QStringLiteral("…")));
    const QStringList shown = footnote->text().split('\n');
    EXPECT_LE(shown.size(), 2);
    EXPECT_TRUE(deep.startsWith(shown.front().left(8)));
    EXPECT_TRUE(shown.back().endsWith("全家福相册"));
    EXPECT_LE(footnote->height(), 2 * footnote->fontMetrics().lineSpacing() + 2);
    saveScreenshot(*sheet, "receive-waiting-long-path");

    // A second line of Latin and Chinese is as high as what it draws: its underscore shows.
    MiddleElidedLabel label(2);
    label.setFont(footnote->font());
    label.setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    const QString firstLine = "/media/disk/Family/";
    label.resize(label.fontMetrics().horizontalAdvance(firstLine) + 2, 200);
    label.setFullText(firstLine + "Kalvenstroud_测试");
    ASSERT_EQ(label.text(), firstLine + "\nKalvenstroud_测试");
    const QImage drawn = label.grab().toImage();
    const QRgb background = drawn.pixel(drawn.width() - 1, drawn.height() - 1);
    int lowestInk = -1;
    for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x)
            lowestInk = drawn.pixel(x, y) != background ? y : lowestInk;
    EXPECT_GT(label.sizeHint().height(), int(lowestInk / drawn.devicePixelRatio()));

    // So is a row's path line: at the caption's size an underscore's ink hangs below the descent.
    // The same text drawn free of any box is the oracle.
    const auto inkOf = [](QSize size, const std::function<void(QPainter&)>& draw) {
        QImage image(size, QImage::Format_Grayscale8);
        image.fill(Qt::white);
        QPainter painter(&image);
        draw(painter);
        painter.end();
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            count += int(std::count_if(image.constScanLine(y), image.constScanLine(y) + image.width(), [](uchar v) { return v < 250; }));
        return count;
    };
    QStandardItemModel paths;
    paths.appendRow(new QStandardItem());
    paths.item(0)->setData(QStringLiteral("__________"), LibraryRowDelegate::displayPathRole);
    option.rect = QRect(QPoint(0, 0), rows->sizeHint(option, paths.index(0, 0)));
    option.palette.setColor(QPalette::Text, Qt::black);
    const int inRow = inkOf(option.rect.size(), [&](QPainter& painter) { rows->paint(&painter, option, paths.index(0, 0)); });
    const int free = inkOf({200, 40}, [&](QPainter& painter) {
        painter.setFont(ViewStyle::scaledFont(option.font, 0.85));
        painter.setPen(QColor(0, 0, 0, 140)); // the secondary colour
        painter.drawText(QPoint(4, 20), QStringLiteral("__________"));
    });
    ASSERT_GT(free, 0);
    EXPECT_GE(inRow, free * 9 / 10);
}

TEST(ReceiveSheetRulesTest, TextsAndNumbersOfThePages)
{
    namespace Rules = ReceiveSheetRules;
    struct ByteCase {
        std::int64_t bytes;
        QString text;
    };
    for (const ByteCase& c : {ByteCase{0, "0 字节"}, ByteCase{123456, "123.5 kB"}, ByteCase{1234567890, "1.2 GB"}})
        EXPECT_EQ(Rules::byteText(c.bytes), c.text);

    struct ProgressCase {
        std::int64_t doneAssets, totalAssets, doneBytes, totalBytes;
        std::optional<QString> eta;
        double fraction;
        QString counts, bytes;
    };
    const ProgressCase progressCases[] = {
        {1, 4, 500, 0, std::nullopt, 0.25, "1 / 4 个项目", "500 字节"},
        {1, 4, 500, 1000, QString("约 2 分钟"), 0.5, "1 / 4 个项目", "500 字节 / 1.0 kB · 约 2 分钟"},
        {0, 0, 0, 0, std::nullopt, 0, "0 / 0 个项目", "0 字节"},
        {5, 4, 3000, 1000, std::nullopt, 1, "5 / 4 个项目", "3.0 kB / 1.0 kB"},
    };
    for (const ProgressCase& c : progressCases) {
        p2p::TransferProgress progress;
        progress.completedAssetCount = c.doneAssets;
        progress.totalAssetCount = c.totalAssets;
        progress.completedByteCount = c.doneBytes;
        progress.totalByteCount = c.totalBytes;
        EXPECT_DOUBLE_EQ(Rules::progressFraction(progress), c.fraction);
        EXPECT_EQ(Rules::countsText(progress), c.counts);
        EXPECT_EQ(Rules::byteAndETASummary(progress, c.eta), c.bytes);
    }

    EXPECT_EQ(Rules::finishedLines({3, 0, 2000, false}), QStringList{"落地 3 个文件 · 2.0 kB"});
    EXPECT_EQ(Rules::finishedLines({3, 3, 2000, true}), (QStringList{"落地 3 个文件 · 2.0 kB", "跳过 3 项（图库中已有）"}));

    // Window heights and the fitting tolerance.
    EXPECT_EQ(Rules::windowHeight(Phase::choosingDestination(), 0, false), 300);
    EXPECT_EQ(Rules::windowHeight(Phase::choosingDestination(), 1, true), 500);
    EXPECT_EQ(Rules::windowHeight(Phase::choosingDestination(), 372, true), 372);
    EXPECT_EQ(Rules::windowHeight(Phase::failed("x"), 372, true), 440);
    EXPECT_FALSE(Rules::needsResize(520, 441.4, 520, 440));
    EXPECT_TRUE(Rules::needsResize(520, 441.6, 520, 440));
    EXPECT_FALSE(Rules::needsResize(520, 1, 300, 0)); // at least 520 wide and 1 high
    EXPECT_TRUE(Rules::needsResize(300, 1, 300, 1));

    // At a whole period the first ring starts over; the others are a third and two thirds out.
    const double t = 2.4 * 1000;
    EXPECT_NEAR(Rules::ripple(t, 0).radiusFraction, 0, 1e-9);
    EXPECT_NEAR(Rules::ripple(t, 1).radiusFraction, 1.0 / 3, 1e-9);
    EXPECT_NEAR(Rules::ripple(t, 1).opacity, 0.3, 1e-9);
    EXPECT_NEAR(Rules::ripple(t, 2).opacity, 0.15, 1e-9);
}

// The radar's centre dot never covers the page: it keeps the centre when that is clear, else moves
// straight up or down to the nearest clear height, and is left out when none is near.
TEST(ReceiveSheetRulesTest, RadarDotKeepsClearOfThePage)
{
    namespace Rules = ReceiveSheetRules;
    const QPointF centre(260, 211);
    const QRectF icon(0, 150, 520, 42), line(0, 212, 520, 20), code(0, 240, 520, 50);
    struct Case {
        const char* name;
        QList<QRectF> content;
        std::optional<QPointF> expected;
    };
    const Case cases[] = {
        {"nothing near", {QRectF(0, 300, 520, 20)}, centre},
        {"text line under the centre", {icon, line, code}, QPointF(260, 203)},
        {"bar across the centre", {QRectF(160, 204, 200, 22), QRectF(0, 240, 520, 20)}, QPointF(260, 195)},
        {"gap too small, above is nearer", {QRectF(0, 190, 520, 20), QRectF(0, 215, 520, 100)}, QPointF(260, 181)},
        {"covered everywhere near", {QRectF(0, 0, 520, 440)}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Rules::radarDotCentre(centre, 7, c.content, 100), c.expected);
    }
}

} // namespace
