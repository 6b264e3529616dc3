#include "app/platform/desktop/QtTranslations.h"
#include "app/views/common/DialogFolderChooser.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTranslator>

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

    const QString shots = qEnvironmentVariable("TESS_SCREENSHOT_DIR");
    if (!shots.isEmpty()) {
        dialog.resize(720, 480);
        dialog.show();
        dialog.grab().save(shots + "/folder-chooser.png");
    }
    QCoreApplication::removeTranslator(translator);
    delete translator;
}
