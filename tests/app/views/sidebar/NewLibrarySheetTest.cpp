#include "app/views/sidebar/NewLibrarySheet.h"
#include "app/views/common/TextElision.h"
#include "app/views/shell/WelcomeView.h"

#include "support/app/QtPrinters.h"
#include "support/app/ShellTestContext.h"

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace app;

namespace {

TEST(NewLibrarySheet, OneReturnConfirmsOnceWithTheTrimmedName)
{
    struct Case {
        const char* name;
        std::optional<QString> typed; // nothing: keep the pre-filled name
        QStringList confirmed;
    };
    const QList<Case> cases{
        {"pre-filled", std::nullopt, {"DCIM"}},
        {"trimmed", QString("  旅行 照片 \n"), {"旅行 照片"}},
        {"blank", QString(" \u3000 "), {}},
        {"empty", QString(""), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList confirmed;
        NewLibrarySheet sheet("/media/anna/DRIVE/DCIM", [&](const QString& name) { confirmed.append(name); });
        sheet.show();
        EXPECT_EQ(sheet.nameField()->text(), "DCIM");
        if (c.typed)
            sheet.nameField()->setText(*c.typed);
        EXPECT_EQ(sheet.createButton()->isEnabled(), !c.confirmed.isEmpty());
        QTest::keyClick(sheet.nameField(), Qt::Key_Return);
        EXPECT_EQ(confirmed, c.confirmed);
        EXPECT_EQ(sheet.isVisible(), c.confirmed.isEmpty());
        EXPECT_EQ(sheet.result(), c.confirmed.isEmpty() ? QDialog::Rejected : QDialog::Accepted);
    }
}

TEST(NewLibrarySheet, DefaultNameIsTheLastPathComponent)
{
    struct Case {
        QString path;
        QString name;
    };
    for (const Case& c : {Case{"/", "/"}, Case{"/media/anna/DRIVE/", "DRIVE"}, Case{"/home/anna/照片", "照片"},
                          Case{"/mnt//backup/./x", "x"}}) {
        EXPECT_EQ(NewLibrarySheet::defaultName(c.path), c.name);
    }
}

TEST(TextElision, LongPathsKeepTheirEndOnTwoLines)
{
    QFont font;
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance("0123456789") * 3;
    const QString shortPath = "/media/x";
    EXPECT_EQ(elidedMiddleLines(shortPath, font, width, 2), shortPath);

    const QString longPath = "/media/anna/" + QString("很长的文件夹名字").repeated(20) + "/最后一层";
    const QString elided = elidedMiddleLines(longPath, font, width, 2);
    const QStringList lines = elided.split('\n');
    EXPECT_EQ(lines.size(), 2);
    EXPECT_TRUE(elided.contains(QStringLiteral("…")));
    EXPECT_TRUE(elided.startsWith("/media"));
    EXPECT_TRUE(elided.endsWith("/最后一层"));
    for (const QString& line : lines)
        EXPECT_LE(metrics.horizontalAdvance(line), width);

    // Emoji in folder names are cut whole, never into halves of a surrogate pair.
    const QString emojiPath = "/media/" + QString("📷🌄").repeated(60);
    for (int keepWidth = width / 2; keepWidth <= width; keepWidth += 7) {
        const QString cut = elidedMiddleLines(emojiPath, font, keepWidth, 2);
        for (qsizetype i = 0; i < cut.size(); ++i) {
            if (cut.at(i).isHighSurrogate()) {
                EXPECT_TRUE(i + 1 < cut.size() && cut.at(i + 1).isLowSurrogate()) << keepWidth;
            }
            if (cut.at(i).isLowSurrogate()) {
                EXPECT_TRUE(i > 0 && cut.at(i - 1).isHighSurrogate()) << keepWidth;
            }
        }
    }

    // A path that wraps onto exactly two lines is not cut.
    const QString twoLines = QString("a").repeated(40);
    EXPECT_FALSE(elidedMiddleLines(twoLines, font, metrics.horizontalAdvance(QString("a").repeated(25)), 2).contains(QStringLiteral("…")));
}

TEST(WelcomeView, ButtonStartsAddingALibrary)
{
    app::testing::ShellTestContext shell;
    WelcomeView welcome(*shell.store);
    welcome.addButton()->click();
    EXPECT_EQ(shell.fakes.chooser.calls, 1);
    EXPECT_EQ(shell.store->pendingFolder(), std::nullopt); // cancelled: nothing changes
    EXPECT_EQ(welcome.addButton()->text(), "新建图库…");
}

} // namespace
