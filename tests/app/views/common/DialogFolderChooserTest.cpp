#include "app/models/DisplayText.h"
#include "app/platform/desktop/QtTranslations.h"
#include "app/views/common/DialogFolderChooser.h"

#include "support/app/Wait.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>
#include <QTreeView>

using namespace app;

TEST(DialogFolderChooserTest, OpensBesideTheLastLibraryElseOnRemovableMediaElseHome)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString root = dir.path();
    ASSERT_TRUE(QDir(root).mkpath("drive/Photos") && QDir(root).mkpath("media/anna"));
    const QString home = root + "/home";
    const QString media = root + "/media/anna";

    struct Row {
        const char* name;
        std::optional<QString> lastLibrary;
        QStringList removable;
        QString expected;
    };
    const Row rows[] = {
        {"beside the last library", root + "/drive/Photos", {media}, root + "/drive"},
        // A library that no longer exists still names its drive's folder while that is there.
        {"last library gone, its folder kept", root + "/drive/Gone", {media}, root + "/drive"},
        {"last library's drive gone", root + "/unplugged/Photos", {root + "/run/media/anna", media}, media},
        {"no library yet", std::nullopt, {media}, media},
        {"no removable media folder", std::nullopt, {root + "/run/media/anna"}, home},
        {"empty path", QString(), {}, home},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(DialogFolderChooser::startFolder(row.lastLibrary, row.removable, home), row.expected);
    }
}

// The folder chooser is Qt's own dialog; with Qt's translations loaded it speaks Chinese like the
// rest of the interface.
TEST(DialogFolderChooserTest, QtDialogsSpeakChinese)
{
    QTranslator* translator = installQtTranslations(*qApp);
    if (!translator)
        GTEST_SKIP() << "qtbase_zh_CN.qm is not installed (Debian package qt6-translations-l10n)";

    QFileDialog dialog(nullptr, "选择");
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::ShowDirsOnly | QFileDialog::ReadOnly);
    auto* lookIn = dialog.findChild<QLabel*>("lookInLabel");
    auto* buttons = dialog.findChild<QDialogButtonBox*>("buttonBox");
    ASSERT_TRUE(lookIn && buttons);
    EXPECT_EQ(lookIn->text(), QFileDialog::tr("Look in:"));
    EXPECT_NE(lookIn->text(), "Look in:");
    ASSERT_TRUE(buttons->button(QDialogButtonBox::Cancel));
    EXPECT_EQ(buttons->button(QDialogButtonBox::Cancel)->text(), "取消");


    // The chooser's own dialog: every row is a folder, and no column says so in English. Another
    // program's dialog, which shares the saved columns, keeps its type column.
    QTemporaryDir root;
    ASSERT_TRUE(QDir(root.path()).mkdir("DCIM"));
    DialogFolderChooser chooser;
    chooser.setLastLibraryLookup([&] { return std::optional(root.filePath("DCIM")); });
    QStringList shown;
    QTimer::singleShot(0, [&] {
        auto* open = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_TRUE(open);
        auto* details = open->findChild<QTreeView*>("treeView");
        const QAbstractItemModel* model = details ? details->model() : nullptr;
        if (model) {
            const QModelIndex folder = details->rootIndex();
            (void)app::test::waitFor([&] { return !model->index(0, 2, folder).data().toString().isEmpty(); });
            for (int column = 0; column < model->columnCount(folder); ++column)
                if (!details->isColumnHidden(column))
                    shown << model->headerData(column, Qt::Horizontal).toString()
                          << model->index(0, column, folder).data().toString();
        }
        if (const QString shots = qEnvironmentVariable("TESS_SCREENSHOT_DIR"); !shots.isEmpty()) {
            open->resize(720, 480);
            open->grab().save(shots + "/folder-chooser.png");
        }
        open->reject();
    });
    EXPECT_EQ(chooser.chooseFolder(), std::nullopt);
    EXPECT_TRUE(shown.contains("DCIM")) << shown.join('|').toStdString();
    EXPECT_FALSE(shown.contains("Folder")) << shown.join('|').toStdString();
    QFileDialog other;
    other.setOption(QFileDialog::DontUseNativeDialog);
    ASSERT_TRUE(other.findChild<QTreeView*>("treeView"));
    EXPECT_FALSE(other.findChild<QTreeView*>("treeView")->isColumnHidden(2));
    QCoreApplication::removeTranslator(translator);
    delete translator;
}

// Under a locale with English words (C.UTF-8, as test programs run) the folder's size and date
// columns still read in Chinese, and the date column shows its whole date.
TEST(DialogFolderChooserTest, DatesReadInChineseAndFitTheirColumn)
{
    QTemporaryDir root;
    ASSERT_TRUE(QDir(root.path()).mkdir("DCIM"));
    DialogFolderChooser chooser;
    chooser.setLastLibraryLookup([&] { return std::optional(root.filePath("DCIM")); });
    QString date;
    int width = 0, needed = 0;
    QTimer::singleShot(0, [&] {
        auto* open = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_TRUE(open);
        auto* details = open->findChild<QTreeView*>("treeView");
        ASSERT_TRUE(details && details->model());
        const QAbstractItemModel* model = details->model();
        const QModelIndex folder = details->rootIndex();
        (void)app::test::waitFor([&] { return !model->index(0, 3, folder).data().toString().isEmpty(); });
        date = model->index(0, 3, folder).data().toString();
        width = details->header()->sectionSize(3);
        needed = details->fontMetrics().horizontalAdvance(date);
        open->reject();
    });
    EXPECT_EQ(chooser.chooseFolder(), std::nullopt);
    EXPECT_FALSE(date.isEmpty());
    EXPECT_FALSE(date.contains(QRegularExpression("[A-Za-z]"))) << date.toStdString();
    EXPECT_EQ(date, DisplayText::shortDateTime(QFileInfo(root.filePath("DCIM")).lastModified()));
    EXPECT_GT(width, needed);
}
