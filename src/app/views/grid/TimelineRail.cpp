#include "app/views/grid/TimelineRail.h"

#include "app/views/common/ViewStyle.h"

#include <QEnterEvent>
#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>

namespace app {

namespace TimelineRailMath {

double tickWidth(TimelineMarkKind kind)
{
    switch (kind) {
    case TimelineMarkKind::year: return 28;
    case TimelineMarkKind::month: return 18;
    case TimelineMarkKind::day: return 10;
    }
    return 10;
}

double tickThickness(TimelineMarkKind kind)
{
    switch (kind) {
    case TimelineMarkKind::year: return 3.2;
    case TimelineMarkKind::month: return 2.0;
    case TimelineMarkKind::day: return 1.2;
    }
    return 1.2;
}

double tickOpacity(TimelineMarkKind kind)
{
    switch (kind) {
    case TimelineMarkKind::year: return 0.82;
    case TimelineMarkKind::month: return 0.6;
    case TimelineMarkKind::day: return 0.4;
    }
    return 0.4;
}

QSizeF rowFrame(TimelineMarkKind kind)
{
    switch (kind) {
    case TimelineMarkKind::year: return {80, 20};
    case TimelineMarkKind::month: return {18, 14};
    case TimelineMarkKind::day: return {10, 14};
    }
    return {10, 14};
}

double magnification(double position, double height, std::optional<double> hoverY, const Parameters& p)
{
    if (!hoverY || p.magnifyRadius <= 0)
        return 1;
    const double d = std::abs(position * height - *hoverY);
    if (!(d < p.magnifyRadius))
        return 1;
    const double t = 1 - d / p.magnifyRadius;
    return 1 + (p.maxMagnification - 1) * t * t * (3 - 2 * t);
}

double rowOpacity(double m, bool hovering, const Parameters& p)
{
    if (!hovering)
        return 1;
    return 0.45 + 0.55 * std::min(m / p.maxMagnification, 1.0);
}

double clampedY(double y, double height)
{
    const double h = std::max(height, 1.0);
    if (!(y > 0))
        return 0;
    return std::min(y, h);
}

std::optional<int> nearestMark(const QList<TimelineMark>& marks, double y, double height)
{
    if (marks.isEmpty())
        return std::nullopt;
    if (marks.size() == 1)
        return 0;
    const double h = std::max(height, 1.0);
    const double cy = clampedY(y, h);
    int best = 0;
    double bestDistance = std::abs(h * marks[0].position - cy);
    for (int i = 1; i < marks.size(); ++i) {
        const double d = std::abs(h * marks[i].position - cy);
        if (d < bestDistance) {
            best = i;
            bestDistance = d;
        }
    }
    return best;
}

double rowCentreX(TimelineMarkKind kind, const Parameters& p)
{
    return p.railWidth - tickWidth(kind) / 2 - p.trailingInset;
}

double tooltipCentreX(TimelineMarkKind kind, const Parameters& p)
{
    return p.railWidth - tickWidth(kind) - p.trailingInset - 70;
}

QList<bool> shownYearLabels(const QList<TimelineMark>& marks, double height, double labelHeight)
{
    QList<int> labelled;
    for (int i = 0; i < marks.size(); ++i) {
        if (marks[i].kind == TimelineMarkKind::year && marks[i].yearLabel)
            labelled.append(i);
    }
    std::stable_sort(labelled.begin(), labelled.end(),
                     [&](int a, int b) { return marks[a].position < marks[b].position; });
    QList<bool> shown(marks.size(), false);
    std::optional<double> lastY;
    for (int i : labelled) {
        const double y = marks[i].position * height;
        if (!lastY || y - *lastY >= labelHeight) {
            shown[i] = true;
            lastY = y;
        }
    }
    return shown;
}

} // namespace TimelineRailMath

void RailSpring::step(double dt)
{
    // Semi-implicit Euler in small sub-steps stays stable at this stiffness.
    const int n = std::max(1, int(std::ceil(dt / 0.004)));
    const double h = dt / n;
    for (int i = 0; i < n; ++i) {
        const double force = -stiffness * (value - target) - damping * velocity;
        velocity += force * h;
        value += velocity * h;
    }
    if (settled())
        snap();
}

bool RailSpring::settled() const
{
    return std::abs(value - target) < 1e-3 && std::abs(velocity) < 1e-2;
}

TimelineRail::TimelineRail(QWidget* parent) : QWidget(parent)
{
    setMouseTracking(true);
    setAttribute(Qt::WA_NoSystemBackground);
    frameTimer_.setInterval(16);
    connect(&frameTimer_, &QTimer::timeout, this, &TimelineRail::tick);
    clock_ = [timer = std::make_shared<QElapsedTimer>()]() {
        if (!timer->isValid())
            timer->start();
        return timer->elapsed();
    };
}

void TimelineRail::setMarks(const QList<TimelineMark>& marks)
{
    if (marks == marks_)
        return;
    marks_ = marks;
    forgetRestingPicture();
    if (hovered_ && *hovered_ >= marks_.size())
        hovered_.reset();
    if (hoverY_)
        hovered_ = TimelineRailMath::nearestMark(marks_, *hoverY_, railHeight());
    Q_EMIT appearanceChanged();
}

double TimelineRail::railHeight() const
{
    return std::max(double(height()), 1.0);
}

void TimelineRail::publishHover(std::optional<int> mark, std::optional<double> y)
{
    const bool entering = !hoverY_ && y;
    hovered_ = mark;
    hoverY_ = y;
    if (y) {
        shownY_.target = *y;
        if (entering)
            shownY_.snap();
        presence_.target = 1;
    } else {
        presence_.target = 0;
    }
    lastTick_ = clock_();
    if (!frameTimer_.isActive())
        frameTimer_.start();
    Q_EMIT appearanceChanged();
}

void TimelineRail::tick()
{
    const qint64 now = clock_();
    const double dt = std::clamp((now - lastTick_) / 1000.0, 0.0, 1.0 / 30);
    lastTick_ = now;
    shownY_.step(dt);
    presence_.step(dt);
    if (shownY_.settled() && presence_.settled())
        frameTimer_.stop();
    Q_EMIT appearanceChanged();
}

void TimelineRail::settleAnimations()
{
    shownY_.snap();
    presence_.snap();
    frameTimer_.stop();
    Q_EMIT appearanceChanged();
}

void TimelineRail::mouseMoveEvent(QMouseEvent* event)
{
    const double y = TimelineRailMath::clampedY(event->position().y(), railHeight());
    publishHover(TimelineRailMath::nearestMark(marks_, y, railHeight()), y);
}

void TimelineRail::enterEvent(QEnterEvent* event)
{
    const double y = TimelineRailMath::clampedY(event->position().y(), railHeight());
    publishHover(TimelineRailMath::nearestMark(marks_, y, railHeight()), y);
}

void TimelineRail::leaveEvent(QEvent*)
{
    publishHover(std::nullopt, std::nullopt);
}

void TimelineRail::mousePressEvent(QMouseEvent* event)
{
    // The press position is not clamped: nearestMark clamps for the choice.
    const double y = event->position().y();
    const auto mark = TimelineRailMath::nearestMark(marks_, y, railHeight());
    publishHover(mark, y);
    if (mark)
        Q_EMIT markSelected(marks_[*mark]);
    event->accept();
}

void TimelineRail::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    forgetRestingPicture();
    Q_EMIT appearanceChanged();
}

void TimelineRail::forgetRestingPicture()
{
    resting_ = QPixmap();
}

void TimelineRail::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange
        || event->type() == QEvent::StyleChange) {
        forgetRestingPicture();
        Q_EMIT appearanceChanged();
    }
}

void TimelineRail::paintRail(QPainter& painter) const
{
    const bool resting = !hovered_ && presence_.value == 0 && presence_.target == 0;
    if (!resting) {
        paintMarks(painter);
        return;
    }
    // Everything a resting rail paints: year labels left of the rows, year ticks past the rail's
    // right edge, half a row above the top and below the bottom.
    const QRect area(-80, -16, int(params_.railWidth) + 100, int(std::ceil(railHeight())) + 32);
    const qreal scale = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    if (resting_.isNull() || restingScale_ != scale || restingHeight_ != railHeight()) {
        QPixmap picture(area.size() * scale);
        picture.setDevicePixelRatio(scale);
        picture.fill(Qt::transparent);
        QPainter p(&picture);
        p.translate(-area.topLeft());
        paintMarks(p);
        p.end();
        resting_ = picture;
        restingScale_ = scale;
        restingHeight_ = railHeight();
    }
    painter.drawPixmap(area.topLeft(), resting_);
}

void TimelineRail::paintMarks(QPainter& painter) const
{
    using namespace TimelineRailMath;
    const Parameters& p = params_;
    const double h = railHeight();
    const QPalette& pal = palette();
    const QColor secondary = ViewStyle::secondaryColor(pal);
    const QColor accent = ViewStyle::accentColor(pal);
    const double presence = std::clamp(presence_.value, 0.0, 1.0);
    const bool hovering = presence > 0.001;
    const std::optional<double> shownY = hovering ? std::optional<double>(shownY_.value) : std::nullopt;

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);

    // The rail line.
    QColor line = secondary;
    line.setAlphaF(float(0.28 * secondary.alphaF()));
    painter.fillRect(QRectF(p.railWidth - p.trailingInset - 2 - 1.5, 0, 1.5, h), line);

    // The glow that follows the pointer.
    if (shownY) {
        const QPointF centre(p.railWidth - p.trailingInset - 10, *shownY);
        QRadialGradient gradient(centre, p.magnifyRadius);
        const double start = 2 / p.magnifyRadius;
        QColor strong = accent, weak = accent, clear = accent;
        strong.setAlphaF(float(0.22 * presence));
        weak.setAlphaF(float(0.08 * presence));
        clear.setAlphaF(0);
        gradient.setColorAt(0, strong);
        gradient.setColorAt(start, strong);
        gradient.setColorAt((1 + start) / 2, weak);
        gradient.setColorAt(1, clear);
        const QRectF glow(centre.x() - 36, centre.y() - p.magnifyRadius, 72, 2 * p.magnifyRadius);
        painter.setPen(Qt::NoPen);
        painter.setBrush(gradient);
        painter.drawRoundedRect(glow, 14, 14);
    }

    // Rows in z-order: magnified ones over their neighbours, the focused one over all.
    struct Row {
        int index;
        double m;
        double z;
    };
    QList<Row> rows;
    rows.reserve(marks_.size());
    for (int i = 0; i < marks_.size(); ++i) {
        const double full = magnification(marks_[i].position, h, shownY, p);
        const double m = 1 + (full - 1) * presence;
        const bool focused = hovered_ && *hovered_ == i;
        rows.append({i, m, focused ? 2.0 : m});
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.z < b.z; });

    QFont yearFont = font();
    yearFont.setPixelSize(15);
    yearFont.setBold(true);
    const QFontMetricsF yearMetrics(yearFont);
    QColor labelColor = pal.color(QPalette::WindowText);
    labelColor.setAlphaF(0.72f);
    const QList<bool> labelShown = shownYearLabels(marks_, h, yearMetrics.height());

    for (const Row& row : rows) {
        const TimelineMark& mark = marks_[row.index];
        const bool focused = hovered_ && *hovered_ == row.index;
        const QSizeF frame = rowFrame(mark.kind);
        const double cx = rowCentreX(mark.kind, p);
        const double cy = mark.position * h;
        const double trailing = cx + frame.width() / 2;
        const double opacity = 1 - presence * (1 - rowOpacity(row.m, true, p));

        painter.save();
        painter.setOpacity(opacity);
        // Scale about the row's trailing edge.
        painter.translate(trailing, cy);
        painter.scale(row.m, row.m);
        const double tw = tickWidth(mark.kind);
        const double th = tickThickness(mark.kind);
        const QRectF tick(-tw, -th / 2, tw, th);
        if (focused) {
            QColor shadow = accent;
            for (int spread = 3; spread >= 1; --spread) {
                shadow.setAlphaF(float(0.45 / (spread + 1)));
                painter.setPen(Qt::NoPen);
                painter.setBrush(shadow);
                const QRectF s = tick.adjusted(-spread * 1.5, -spread * 1.5, spread * 1.5, spread * 1.5);
                painter.drawRoundedRect(s, s.height() / 2, s.height() / 2);
            }
        }
        QColor fill = focused ? accent : secondary;
        if (!focused)
            fill.setAlphaF(float(tickOpacity(mark.kind) * secondary.alphaF() / 0.55f));
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawRoundedRect(tick, th / 2, th / 2);

        if (labelShown[row.index] && !focused) {
            painter.setFont(yearFont);
            painter.setPen(labelColor);
            const double w = yearMetrics.horizontalAdvance(*mark.yearLabel);
            const QRectF label(-tw - 6 - w, -yearMetrics.height() / 2, w, yearMetrics.height());
            painter.drawText(label, Qt::AlignVCenter | Qt::AlignRight | Qt::TextDontClip, *mark.yearLabel);
        }
        painter.restore();
    }

    // The tooltip of the hovered mark.
    if (hovered_ && *hovered_ < marks_.size()) {
        const TimelineMark& mark = marks_[*hovered_];
        const double full = magnification(mark.position, h, shownY, p);
        const double m = 1 + (full - 1) * presence;
        QFont tipFont = font();
        tipFont.setPixelSize(12);
        tipFont.setWeight(QFont::DemiBold);
        const QFontMetricsF metrics(tipFont);
        const QString text = mark.tooltip(zone_);
        const QSizeF size(metrics.horizontalAdvance(text) + 18, metrics.height() + 10);
        const double cx = tooltipCentreX(mark.kind, p);
        const double cy = mark.position * h;
        const double scale = std::max(1.0, 0.92 * m);

        painter.save();
        painter.translate(cx + size.width() / 2, cy);
        painter.scale(scale, scale);
        const QRectF box(-size.width(), -size.height() / 2, size.width(), size.height());
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0, 0, 0, 20));
        painter.drawRoundedRect(box.translated(0, 2).adjusted(-2, -2, 2, 2), 8, 8);
        painter.setBrush(QColor(0, 0, 0, 204));
        painter.drawRoundedRect(box, 6, 6);
        painter.setFont(tipFont);
        painter.setPen(Qt::white);
        painter.drawText(box, Qt::AlignCenter, text);
        painter.restore();
    }
    painter.restore();
}

TimelineRailOverlay::TimelineRailOverlay(TimelineRail* rail, QWidget* parent) : QWidget(parent), rail_(rail)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
    if (rail)
        connect(rail, &TimelineRail::appearanceChanged, this, &TimelineRailOverlay::updateRailArea);
}

void TimelineRailOverlay::updateRailArea()
{
    if (!rail_ || !parentWidget()) {
        update();
        return;
    }
    // Only the band the rail paints in: a hover animates at 60 Hz, and repainting the whole
    // overlay would repaint every grid cell under it each frame. A magnified tooltip reaches
    // about 150 points left of the rail; keep a margin beyond that.
    constexpr int reachLeft = 240;
    const int railLeft = rail_->mapTo(parentWidget(), QPoint(0, 0)).x() - x();
    update(QRect(railLeft - reachLeft, 0, width() - (railLeft - reachLeft), height()));
}

void TimelineRailOverlay::paintEvent(QPaintEvent*)
{
    if (!rail_ || !rail_->isVisible())
        return;
    QPainter painter(this);
    painter.translate(rail_->mapTo(parentWidget(), QPoint(0, 0)) - pos());
    rail_->paintRail(painter);
}

} // namespace app
