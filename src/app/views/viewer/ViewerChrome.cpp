#include "app/views/viewer/ViewerChrome.h"

#include "app/views/common/SymbolIcon.h"

#include <QPainter>

#include <algorithm>
#include <vector>

namespace app {

// Three box passes approximate a Gaussian; done once per placeholder, on a small copy.
QImage boxBlurred(const QImage& source, int radius)
{
    QImage image = source.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int w = image.width(), h = image.height();
    if (radius < 1 || w < 2 || h < 2)
        return image;
    std::vector<quint32> line(size_t(std::max(w, h)));
    const auto pass = [&](bool horizontal) {
        const int lines = horizontal ? h : w;
        const int length = horizontal ? w : h;
        for (int l = 0; l < lines; ++l) {
            auto px = [&](int i) -> quint32& {
                return horizontal ? reinterpret_cast<quint32*>(image.scanLine(l))[i]
                                  : reinterpret_cast<quint32*>(image.scanLine(i))[l];
            };
            for (int i = 0; i < length; ++i)
                line[size_t(i)] = px(i);
            int sum[4] = {0, 0, 0, 0};
            const auto add = [&](quint32 p, int sign) {
                for (int c = 0; c < 4; ++c)
                    sum[c] += sign * int((p >> (8 * c)) & 0xff);
            };
            for (int i = -radius; i <= radius; ++i)
                add(line[size_t(std::clamp(i, 0, length - 1))], 1);
            const int n = 2 * radius + 1;
            for (int i = 0; i < length; ++i) {
                quint32 out = 0;
                for (int c = 0; c < 4; ++c)
                    out |= quint32(sum[c] / n) << (8 * c);
                px(i) = out;
                add(line[size_t(std::clamp(i + radius + 1, 0, length - 1))], 1);
                add(line[size_t(std::clamp(i - radius, 0, length - 1))], -1);
            }
        }
    };
    for (int k = 0; k < 3; ++k) {
        pass(true);
        pass(false);
    }
    return image;
}

QRectF fitted(const QSizeF& size, const QRectF& into)
{
    if (size.isEmpty() || into.isEmpty())
        return {};
    const QSizeF s = size.scaled(into.size(), Qt::KeepAspectRatio);
    return QRectF(into.center().x() - s.width() / 2, into.center().y() - s.height() / 2, s.width(), s.height());
}

void paintSpinner(QPainter& painter, QPointF centre, int step)
{
    // A large activity indicator: twelve spokes, the brightest one moving round.
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(centre);
    for (int i = 0; i < 12; ++i) {
        const int age = (step - i + 12) % 12;
        QColor color(255, 255, 255, 255 - age * 18);
        painter.setPen(QPen(color, 3.5, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0, -9), QPointF(0, -17));
        painter.rotate(30);
    }
    painter.restore();
}

void paintLoadFailure(QPainter& painter, const QRectF& area)
{
    painter.save();
    const QColor colour(255, 255, 255, int(0.7 * 255));
    const QSize symbol(36, 36);
    const QPointF centre = area.center();
    painter.drawPixmap(QPointF(centre.x() - symbol.width() / 2.0, centre.y() - symbol.height() - 6),
                       SymbolIcon::pixmap("exclamationmark.triangle", symbol, colour, painter.device()->devicePixelRatioF()));
    QFont font = painter.font();
    font.setPixelSize(14);
    painter.setFont(font);
    painter.setPen(colour);
    painter.drawText(QRectF(area.left(), centre.y() + 6, area.width(), 24), Qt::AlignHCenter | Qt::AlignTop,
                     loadFailureText);
    painter.restore();
}

ViewerArrowButton::ViewerArrowButton(const QString& symbol, QWidget* parent) : QAbstractButton(parent), symbol_(symbol)
{
    setFixedSize(side, side);
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
    setToolTip(symbol.contains("left") ? "上一张" : "下一张");
}

void ViewerArrowButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF circle = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(QColor(255, 255, 255, int(0.22 * 255)), 1));
    painter.setBrush(QColor(255, 255, 255, int((isDown() ? 0.28 : 0.18) * 255)));
    painter.drawEllipse(circle);
    const QColor glyph(255, 255, 255, int(0.92 * 255));
    const QPixmap pm = SymbolIcon::pixmap(symbol_, QSize(18, 18), glyph, devicePixelRatioF());
    painter.drawPixmap(QPointF((width() - 18) / 2.0, (height() - 18) / 2.0), pm);
}

ViewerInfoIcon::ViewerInfoIcon(QWidget* parent) : QWidget(parent)
{
    setFixedSize(24, 24);
    setToolTip("显示照片信息");
    setAttribute(Qt::WA_Hover);
}

void ViewerInfoIcon::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QPixmap pm = SymbolIcon::pixmap("exclamationmark.circle", QSize(16, 16),
                                          palette().color(QPalette::WindowText).darker(100), devicePixelRatioF());
    painter.setOpacity(0.6);
    painter.drawPixmap(4, 4, pm);
}

void ViewerInfoIcon::enterEvent(QEnterEvent*)
{
    hovered_ = true;
    Q_EMIT hoverChanged(true);
}

void ViewerInfoIcon::leaveEvent(QEvent*)
{
    hovered_ = false;
    Q_EMIT hoverChanged(false);
}

} // namespace app
