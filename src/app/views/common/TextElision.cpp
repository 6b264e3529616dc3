#include "app/views/common/TextElision.h"

#include <QStringList>
#include <QTextLayout>
#include <QTextOption>

namespace app {

namespace {
QStringList wrapLines(const QString& text, const QFont& font, int width)
{
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        lines.append(text.mid(line.textStart(), line.textLength()));
    }
    layout.endLayout();
    return lines;
}

QString middleCut(const QString& text, qsizetype keep)
{
    qsizetype head = keep / 2;
    qsizetype tail = keep - head;
    // Never split a character outside the basic plane (emoji in folder names) into halves.
    if (head > 0 && text.at(head - 1).isHighSurrogate())
        --head;
    if (tail > 0 && text.at(text.size() - tail).isLowSurrogate())
        --tail;
    return text.left(head) + QStringLiteral("…") + text.right(tail);
}
} // namespace

QString elidedMiddleLines(const QString& text, const QFont& font, int width, int maxLines)
{
    if (width <= 0 || maxLines <= 0)
        return {};
    QStringList lines = wrapLines(text, font, width);
    if (lines.size() <= maxLines)
        return lines.join(u'\n');
    // Largest number of kept characters that still fits.
    qsizetype low = 0, high = text.size() - 1;
    while (low < high) {
        const qsizetype mid = (low + high + 1) / 2;
        if (wrapLines(middleCut(text, mid), font, width).size() <= maxLines)
            low = mid;
        else
            high = mid - 1;
    }
    return wrapLines(middleCut(text, low), font, width).join(u'\n');
}

} // namespace app
