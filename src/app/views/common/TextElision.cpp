#include "app/views/common/TextElision.h"

#include <QStringList>
#include <QTextLayout>
#include <QTextOption>

#include <algorithm>

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

MiddleElidedLabel::MiddleElidedLabel(int maxLines, QWidget* parent) : QLabel(parent), maxLines_(std::max(maxLines, 1))
{
    setWordWrap(false);
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void MiddleElidedLabel::setFullText(const QString& text)
{
    fullText_ = text;
    refresh();
}

void MiddleElidedLabel::refresh()
{
    const int width = contentsRect().width();
    const QString shown = elidedMiddleLines(fullText_, font(), width, maxLines_);
    if (shown != text()) {
        setText(shown);
        updateGeometry();
    }
}

QSize MiddleElidedLabel::sizeHint() const
{
    // As many lines as the text takes at this width, but at least one while there is any text.
    const int lines = fullText_.isEmpty() ? 0 : std::clamp(int(text().count(u'\n')) + 1, 1, maxLines_);
    const QMargins m = contentsMargins();
    const QSize drawn = QLabel::sizeHint();
    // A line with another script takes its fallback font's height, more than this font's spacing.
    const int needed = text().isEmpty() ? 0 : drawn.height();
    return {drawn.width(), std::max(lines * fontMetrics().lineSpacing() + m.top() + m.bottom(), needed)};
}

QSize MiddleElidedLabel::minimumSizeHint() const
{
    return {0, sizeHint().height()};
}

void MiddleElidedLabel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    refresh();
}

} // namespace app
