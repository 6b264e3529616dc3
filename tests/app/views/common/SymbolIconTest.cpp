#include "app/views/common/SymbolIcon.h"

#include "support/app/QtPrinters.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPalette>

using namespace app;

namespace {

int paintedPixels(const QPixmap& pixmap)
{
    const QImage image = pixmap.toImage();
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += qAlpha(image.pixel(x, y)) > 0;
    return count;
}

TEST(SymbolIcon, EverySymbolThePagesNameIsBundledAndDraws)
{
    const QStringList used{
        "video", "photo", "livephoto", "square.and.arrow.down", "map", "externaldrive.fill", "folder.fill", "folder",
        "folder.badge.plus", "antenna.radiowaves.left.and.right", "cable.connector", "externaldrive.badge.plus",
        "externaldrive.badge.questionmark", "photo.on.rectangle", "photo.on.rectangle.angled", "play.fill",
        "pause.fill", "pause.circle", "checkmark.circle.fill", "xmark.circle.fill", "chevron.left", "chevron.right",
        "plus", "minus", "mappin.slash", "rotate.right", "exclamationmark.triangle", "exclamationmark.triangle.fill",
        "exclamationmark.circle", "iphone.gen3"};
    for (const QString& name : used) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_TRUE(SymbolIcon::names().contains(name));
        const QPixmap pixmap = SymbolIcon::pixmap(name, QSize(24, 24), Qt::red, 2.0);
        EXPECT_EQ(pixmap.size(), QSize(48, 48));
        const int painted = paintedPixels(pixmap);
        EXPECT_GT(painted, 20);
        EXPECT_LT(painted, 48 * 48);
        EXPECT_FALSE(SymbolIcon::icon(name).isNull());
    }
    EXPECT_TRUE(SymbolIcon::icon("no.such.symbol").isNull());
}

TEST(SymbolIcon, TintFollowsTheGivenColour)
{
    const QImage image = SymbolIcon::pixmap("folder.fill", QSize(32, 32), QColor(10, 200, 30)).toImage();
    const QRgb centre = image.pixel(16, 18);
    EXPECT_EQ(qAlpha(centre), 255);
    EXPECT_EQ(qGreen(centre), 200);
    EXPECT_EQ(qRed(centre), 10);
}

// A tinted icon on a selected row takes the highlighted text colour, or it vanishes into a
// highlight of its own hue.
TEST(SymbolIcon, ModeColours)
{
    const QPalette palette = QApplication::palette();
    const QColor accent(10, 200, 30);
    struct Case {
        const char* name;
        QIcon icon;
        QIcon::Mode mode;
        QColor expected;
    };
    const Case cases[] = {
        {"tinted", SymbolIcon::icon("folder.fill", accent), QIcon::Normal, accent},
        {"tinted, selected", SymbolIcon::icon("folder.fill", accent), QIcon::Selected,
            palette.color(QPalette::HighlightedText)},
        {"tinted, disabled", SymbolIcon::icon("folder.fill", accent), QIcon::Disabled,
            palette.color(QPalette::Disabled, QPalette::WindowText)},
        {"plain", SymbolIcon::icon("folder.fill"), QIcon::Normal, palette.color(QPalette::WindowText)},
        {"plain, selected", SymbolIcon::icon("folder.fill"), QIcon::Selected, palette.color(QPalette::HighlightedText)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QRgb centre = c.icon.pixmap(QSize(32, 32), c.mode).toImage().pixel(16, 18);
        EXPECT_EQ(QColor(centre).rgb(), c.expected.rgb());
    }
}

} // namespace
