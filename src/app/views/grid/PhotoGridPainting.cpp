// PhotoGridView's painting: day titles, cells with their cropped pictures, badges and selection.
#include "app/views/grid/PhotoGridView.h"

#include "app/views/grid/PhotoGridPainting.h"
#include "app/views/common/SymbolIcon.h"
#include "app/views/common/ViewStyle.h"

#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace app {

QFont gridHeaderFont(const QFont& base)
{
    QFont font = base;
    font.setPixelSize(20);
    font.setWeight(QFont::DemiBold);
    return font;
}

QString formatDuration(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0)
        seconds = 0;
    const long long whole = std::llround(std::min(seconds, 1e12));
    return QString::asprintf("%lld:%02lld", whole / 60, whole % 60);
}

void PhotoGridView::paintEvent(QPaintEvent* event)
{
    QPainter painter(viewport());
    const QPalette& pal = palette();
    painter.fillRect(event->rect(), pal.color(QPalette::Base));
    if (items_.isEmpty())
        return;
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const double height = viewport()->height();
    const QRectF shown(0, 0, viewport()->width(), height);
    const double top = scrollY();
    // While a zoom change animates, the cells on screen before it and after it are both drawn.
    auto range = engine_.visibleItems(top, top + height);
    auto secs = timelineEnabled_ ? engine_.visibleSections(top, top + height) : GridLayoutEngine::Range{};
    if (zoomTransition_) {
        const double from = zoomTransition_->fromScroll;
        const auto widen = [](GridLayoutEngine::Range a, GridLayoutEngine::Range b) {
            if (a.isEmpty())
                return b;
            if (b.isEmpty())
                return a;
            return GridLayoutEngine::Range{std::min(a.first, b.first), std::max(a.last, b.last)};
        };
        range = widen(range, zoomTransition_->from.visibleItems(from, from + height));
        if (timelineEnabled_)
            secs = widen(secs, zoomTransition_->from.visibleSections(from, from + height));
    }

    if (timelineEnabled_) {
        painter.setFont(gridHeaderFont(font()));
        painter.setPen(pal.color(QPalette::Text));
        for (int s = secs.first; s <= secs.last && s < sections_.size(); ++s) {
            const QRectF header = shownHeaderRect(s).adjusted(4, 0, -4, 0);
            if (header.intersects(shown))
                painter.drawText(header, Qt::AlignLeft | Qt::AlignVCenter, sections_[s].title(zone_));
        }
    }

    for (int i = range.first; i <= range.last && i < items_.size(); ++i) {
        const QRectF rect = shownCellRect(i);
        if (rect.intersects(shown))
            paintCell(painter, rect, items_[i]);
    }
}

void PhotoGridView::paintCell(QPainter& painter, const QRectF& rect, const MediaItem& item)
{
    const QPalette& pal = palette();
    QColor placeholder = pal.color(QPalette::Text);
    placeholder.setAlphaF(0.12f * 0.55f);
    painter.fillRect(rect, placeholder);

    const QImage image = thumbs_->image(item.url);
    if (!image.isNull()) {
        // Whole pixels, so the cell's picture is drawn without scaling.
        const QRect target(qRound(rect.left()), qRound(rect.top()), qRound(rect.right()) - qRound(rect.left()),
                           qRound(rect.bottom()) - qRound(rect.top()));
        const double dpr = devicePixelRatioF();
        const QSize pixels(qRound(target.width() * dpr), qRound(target.height() * dpr));
        ScaledCell& cell = scaledCells_[item.url];
        // During a zoom animation the size changes every frame: scale what exists while drawing
        // and make the picture for the final size once.
        const bool moving = zoomTransition_.has_value();
        const bool stale = cell.imageKey != image.cacheKey() || cell.pixmap.isNull();
        if (stale || (!moving && cell.pixmap.size() != pixels)) {
            const int finalSide = qRound(engine_.cellSide() * dpr);
            const QSize made = moving ? QSize(finalSide, finalSide) : pixels;
            // Fill the square and crop the rest, keeping the centre; scaled once, not every frame.
            const int side = std::min(image.width(), image.height());
            const QImage square = image.copy((image.width() - side) / 2, (image.height() - side) / 2, side, side);
            cell.pixmap = QPixmap::fromImage(square.scaled(made, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
            cell.pixmap.setDevicePixelRatio(dpr);
            cell.imageKey = image.cacheKey();
        }
        if (cell.pixmap.size() == pixels)
            painter.drawPixmap(target.topLeft(), cell.pixmap);
        else
            painter.drawPixmap(QRectF(target), cell.pixmap, QRectF(cell.pixmap.rect()));
    }
    paintBadge(painter, rect, item);
    if (selection_ && *selection_ == item.url) {
        QPen pen(ViewStyle::accentColor(pal), 4);
        pen.setJoinStyle(Qt::MiterJoin);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(rect.adjusted(2, 2, -2, -2));
    }
}

const QPixmap& PhotoGridView::badgeIcon(const QString& symbol, const QColor& color, double side)
{
    // Rendering an SVG per cell and frame costs more than the rest of the cell.
    const QString key = symbol + u'|' + color.name(QColor::HexArgb) + u'|' + QString::number(devicePixelRatioF());
    auto it = badgeIcons_.find(key);
    if (it == badgeIcons_.end())
        it = badgeIcons_.insert(key, SymbolIcon::pixmap(symbol, QSize(int(side), int(side)), color, devicePixelRatioF()));
    return *it;
}

void PhotoGridView::paintBadge(QPainter& painter, const QRectF& cell, const MediaItem& item)
{
    QString symbol;
    QString text;
    if (item.isLivePhoto) {
        symbol = "livephoto";
    } else if (item.kind == MediaKind::video) {
        symbol = "play.fill";
        if (item.duration)
            text = formatDuration(*item.duration);
    } else {
        return;
    }
    QFont font = this->font();
    font.setPixelSize(10);
    font.setWeight(QFont::DemiBold);
    const QFontMetricsF metrics(font);
    const double iconSide = 11;
    const double padding = 5;
    const double textWidth = text.isEmpty() ? 0 : metrics.horizontalAdvance(text) + 3;
    const double height = std::max(iconSide, metrics.height());
    const QRectF badge(cell.left() + padding, cell.bottom() - padding - height, iconSide + textWidth, height);

    painter.save();
    painter.setClipRect(cell);
    const QPixmap& shadow = badgeIcon(symbol, QColor(0, 0, 0, 153), iconSide);
    const QPixmap& icon = badgeIcon(symbol, Qt::white, iconSide);
    const QPointF iconPos(badge.left(), badge.center().y() - iconSide / 2);
    painter.drawPixmap(iconPos + QPointF(0, 0.5), shadow);
    painter.drawPixmap(iconPos, icon);
    if (!text.isEmpty()) {
        painter.setFont(font);
        const QRectF textRect(badge.left() + iconSide + 3, badge.top(), textWidth, height);
        painter.setPen(QColor(0, 0, 0, 153));
        painter.drawText(textRect.translated(0, 0.5), Qt::AlignLeft | Qt::AlignVCenter, text);
        painter.setPen(Qt::white);
        painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, text);
    }
    painter.restore();
}

} // namespace app
