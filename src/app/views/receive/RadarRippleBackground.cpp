#include "app/views/receive/RadarRippleBackground.h"

#include "app/views/receive/ReceiveSheetRules.h"
#include "app/views/common/ViewStyle.h"

#include <QAbstractButton>
#include <QDateTime>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QProgressBar>

#include <cmath>

namespace app {

namespace Rules = ReceiveSheetRules;

RadarRippleBackground::RadarRippleBackground(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    m_timer.setInterval(33);
    connect(&m_timer, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

QList<QRectF> RadarRippleBackground::contentRects() const
{
    QList<QRectF> rects;
    QWidget* sheet = parentWidget();
    if (!m_content || !sheet)
        return rects;
    for (QWidget* child : m_content->findChildren<QWidget*>()) {
        const bool draws = qobject_cast<QLabel*>(child) || qobject_cast<QProgressBar*>(child)
            || qobject_cast<QAbstractButton*>(child);
        if (draws && child->isVisibleTo(sheet) && sheet->isAncestorOf(child))
            rects.append(QRectF(mapFrom(sheet, child->mapTo(sheet, QPoint(0, 0))), child->size()));
    }
    return rects;
}

void RadarRippleBackground::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double w = width(), h = height();
    const QPointF centre(0.5 * w, 0.48 * h);
    const double reach = 0.42 * std::hypot(w, h);
    const QColor accent = ViewStyle::accentColor(palette());
    auto tinted = [&](double opacity) {
        QColor color = accent;
        color.setAlphaF(float(opacity));
        return color;
    };

    QLinearGradient gradient(QPointF(centre.x(), 0), QPointF(centre.x(), h));
    gradient.setColorAt(0, tinted(0.1));
    gradient.setColorAt(0.5, tinted(0.02));
    gradient.setColorAt(1, Qt::transparent);
    painter.fillRect(rect(), gradient);

    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(tinted(0.12), 1));
    for (int i = 1; i <= 4; ++i)
        painter.drawEllipse(centre, reach * i * 0.25, reach * i * 0.25);
    painter.setPen(QPen(tinted(0.1), 1));
    painter.drawLine(QPointF(centre.x() - reach, centre.y()), QPointF(centre.x() + reach, centre.y()));
    painter.drawLine(QPointF(centre.x(), centre.y() - reach), QPointF(centre.x(), centre.y() + reach));

    // Seconds since 2001-01-01, the clock every ring follows.
    const double seconds = (QDateTime::currentMSecsSinceEpoch() - 978307200000.0) / 1000.0;
    for (int i = 0; i < 3; ++i) {
        const Rules::Ripple ring = Rules::ripple(seconds, i);
        const double radius = reach * ring.radiusFraction;
        if (radius <= 1)
            continue;
        painter.setPen(QPen(tinted(ring.opacity), 2));
        painter.drawEllipse(centre, radius, radius);
    }
    // The page's text sits near the centre; the dot must never cover it.
    constexpr double dotRadius = 7;
    if (const std::optional<QPointF> dot = Rules::radarDotCentre(centre, dotRadius, contentRects(), 0.25 * reach)) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(tinted(0.85));
        painter.drawEllipse(*dot, dotRadius, dotRadius);
    }
}

} // namespace app
