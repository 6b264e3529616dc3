#include "app/views/grid/PhotoGridView.h"

#include "app/views/grid/PhotoGridPainting.h"
#include "app/views/grid/TimelineRail.h"
#include "app/views/common/TrackpadMonitors.h"

#include <QEasingCurve>
#include <QFrame>
#include <QMouseEvent>
#include <QPropertyAnimation>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QVariantAnimation>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace app {

namespace {

constexpr int kScrollAnimationMs = 250;
constexpr int kZoomAnimationMs = 180;
constexpr double kRailGridPadding = 8; // after the rail, at the grid's trailing edge
constexpr double kRailTrailing = 10;   // the rail's own trailing padding
constexpr double kRailVertical = 8;

QEasingCurve easeInOut()
{
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.42, 0), QPointF(0.58, 1), QPointF(1, 1));
    return curve;
}

QRectF lerp(const QRectF& a, const QRectF& b, double t)
{
    const auto mix = [t](double x, double y) { return x + (y - x) * t; };
    return {mix(a.left(), b.left()), mix(a.top(), b.top()), mix(a.width(), b.width()), mix(a.height(), b.height())};
}

} // namespace

PhotoGridView::PhotoGridView(ThumbnailProvider* thumbnails, QWidget* parent)
    : QAbstractScrollArea(parent), thumbs_(new VisibleThumbnails(thumbnails, this))
{
    setFrameShape(QFrame::NoFrame);
    // A click takes the keyboard focus, so the keys move this selection, not the sidebar's.
    setFocusPolicy(Qt::ClickFocus);
    viewport()->setAutoFillBackground(false);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // A scroll bar that came and went would change the width, the cell size and so the height,
    // which can make it come and go again.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    magnify_ = new TrackpadMagnifyMonitor(this);
    magnify_->onEvent = [this](GesturePhase phase, double m) { handleMagnifyEvent(phase, m); };

    // The strip beside the viewport where the rail sits shares the grid's background.
    railStrip_ = new QWidget(this);
    railStrip_->setBackgroundRole(QPalette::Base);
    railStrip_->setAutoFillBackground(true);
    railStrip_->hide();
    divider_ = new QFrame(this);
    divider_->setFrameShape(QFrame::VLine);
    divider_->setFrameShadow(QFrame::Plain);
    divider_->setFixedWidth(1);
    {
        QPalette pal = divider_->palette();
        QColor line = pal.color(QPalette::WindowText);
        line.setAlphaF(0.15f);
        pal.setColor(QPalette::WindowText, line);
        divider_->setPalette(pal);
    }
    divider_->hide();
    rail_ = new TimelineRail(this);
    rail_->hide();
    overlay_ = new TimelineRailOverlay(rail_, this);
    overlay_->hide();
    connect(rail_, &TimelineRail::markSelected, this,
            [this](const TimelineMark& mark) { scrollToSection(mark.scrollID); });

    if (QWidget* bar = verticalScrollBar()->parentWidget(); bar && bar != this)
        bar->installEventFilter(this);

    scrollAnimation_ = new QPropertyAnimation(verticalScrollBar(), "value", this);
    scrollAnimation_->setDuration(kScrollAnimationMs);
    scrollAnimation_->setEasingCurve(easeInOut());

    zoomAnimation_ = new QVariantAnimation(this);
    zoomAnimation_->setDuration(kZoomAnimationMs);
    zoomAnimation_->setEasingCurve(easeInOut());
    zoomAnimation_->setStartValue(0.0);
    zoomAnimation_->setEndValue(1.0);
    connect(zoomAnimation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        if (!zoomTransition_)
            return;
        zoomTransition_->progress = value.toDouble();
        viewport()->update();
    });
    connect(zoomAnimation_, &QVariantAnimation::finished, this, [this] {
        zoomTransition_.reset();
        viewport()->update();
    });

    // Mouse users zoom with the keyboard; the same steps as a pinch.
    const auto addShortcut = [this](const QKeySequence& keys, bool in) {
        auto* shortcut = new QShortcut(keys, this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, [this, in] {
            if (active_)
                stepZoom(in);
        });
    };
    addShortcut(QKeySequence(Qt::CTRL | Qt::Key_Equal), true);
    addShortcut(QKeySequence(Qt::CTRL | Qt::Key_Plus), true);
    addShortcut(QKeySequence(Qt::CTRL | Qt::Key_Minus), false);

    connect(thumbs_, &VisibleThumbnails::imageArrived, this, [this](int index) {
        if (index >= 0)
            viewport()->update(viewportRectOfItem(index));
    });
}

PhotoGridView::~PhotoGridView() = default;

void PhotoGridView::setItems(const MediaItems& items)
{
    if (items == items_)
        return;
    // The rows on screen stay where they are when items come or go above them (a rescan, sorting
    // bringing photos back); a grid at its top stays there, so new photos show.
    QString anchorPath;
    double anchorOffset = 0;
    if (scrollY() > 0 && !isScrollPending()) {
        const auto range = engine_.visibleItems(scrollY(), scrollY() + viewport()->height());
        if (!range.isEmpty() && range.first < items_.size()) {
            anchorPath = items_[range.first].url;
            anchorOffset = engine_.cellRect(range.first).top() - scrollY();
        }
    }
    items_ = items;
    sectionsDirty_ = true;
    thumbs_->setItems(items_);
    relayout(false);
    if (anchorPath.isEmpty())
        return;
    const auto found = std::find_if(items_.cbegin(), items_.cend(),
                                    [&](const MediaItem& item) { return item.url == anchorPath; });
    if (found != items_.cend())
        verticalScrollBar()->setValue(
            std::clamp(int(std::lround(engine_.cellRect(int(found - items_.cbegin())).top() - anchorOffset)), 0,
                       verticalScrollBar()->maximum()));
}

void PhotoGridView::setZoomLevel(GridZoomLevel level)
{
    if (level == zoom_)
        return;
    applyZoom(level);
}

void PhotoGridView::applyZoom(GridZoomLevel level)
{
    GridLayoutEngine from = engine_;
    const double fromScroll = scrollY();
    zoom_ = level;
    relayout(true);
    // Ease the cells from their old places to the new ones, as a pinch does.
    if (isVisible() && from.itemCount() == engine_.itemCount() && engine_.itemCount() > 0) {
        zoomTransition_ = ZoomTransition{std::move(from), fromScroll, 0};
        zoomAnimation_->start();
    }
    Q_EMIT zoomLevelChanged(level);
}

void PhotoGridView::stopZoomTransition()
{
    if (!zoomTransition_)
        return;
    zoomTransition_.reset();
    zoomAnimation_->stop();
}

QRectF PhotoGridView::shownCellRect(int index) const
{
    const QRectF now = engine_.cellRect(index).translated(0, -scrollY());
    if (!zoomTransition_ || zoomTransition_->progress >= 1)
        return now;
    const QRectF before = zoomTransition_->from.cellRect(index).translated(0, -zoomTransition_->fromScroll);
    return lerp(before, now, zoomTransition_->progress);
}

QRectF PhotoGridView::shownHeaderRect(int section) const
{
    const QRectF now = engine_.headerRect(section).translated(0, -scrollY());
    if (!zoomTransition_ || zoomTransition_->progress >= 1)
        return now;
    const QRectF before = zoomTransition_->from.headerRect(section).translated(0, -zoomTransition_->fromScroll);
    return lerp(before, now, zoomTransition_->progress);
}

void PhotoGridView::setTimelineEnabled(bool enabled)
{
    if (enabled == timelineEnabled_)
        return;
    timelineEnabled_ = enabled;
    sectionsDirty_ = true;
    relayout(true);
    Q_EMIT timelineEnabledChanged(enabled);
}

void PhotoGridView::setSpacing(double spacing)
{
    spacing_ = std::max(spacing, 0.0);
    relayout(true);
}

void PhotoGridView::setTimeZone(const QTimeZone& zone)
{
    zone_ = zone;
    sectionsDirty_ = true;
    rail_->setTimeZone(zone);
    relayout(true);
}

void PhotoGridView::setFocusedItemID(const std::optional<QString>& path)
{
    if (path == focusedItemID_)
        return;
    focusedItemID_ = path;
    if (path)
        requestFocus(*path);
}

void PhotoGridView::requestFocus(const QString& path)
{
    if (thumbs_->indexOf(path) < 0)
        return;
    setSelection(path);
    // After the page has shown the grid again and it has its final size.
    focusScrollScheduled_ = true;
    QTimer::singleShot(0, this, [this, path] {
        focusScrollScheduled_ = false;
        scrollToItemCentre(path);
    });
}

bool PhotoGridView::isScrollPending() const
{
    return focusScrollScheduled_ || scrollAnimation_->state() == QAbstractAnimation::Running;
}

void PhotoGridView::setActive(bool active)
{
    if (active == active_)
        return;
    active_ = active;
    updateMagnifyMonitor();
}

void PhotoGridView::setSelection(const std::optional<QString>& path)
{
    if (path == selection_)
        return;
    const auto rectOf = [this](const std::optional<QString>& p) {
        return p ? viewportRectOfItem(thumbs_->indexOf(*p)) : QRect();
    };
    const QRect before = rectOf(selection_);
    selection_ = path;
    viewport()->update(before.adjusted(-2, -2, 2, 2));
    viewport()->update(rectOf(selection_).adjusted(-2, -2, 2, 2));
    Q_EMIT selectionChanged(selection_);
}

bool PhotoGridView::isMagnifyMonitorRunning() const
{
    return magnify_->isStarted();
}

void PhotoGridView::updateMagnifyMonitor()
{
    if (active_ && isVisible())
        magnify_->start();
    else
        magnify_->stop();
}

void PhotoGridView::handleMagnifyEvent(GesturePhase phase, double magnification)
{
    if (!active_)
        return;
    if (auto next = pinch_.handle(phase, magnification, zoom_))
        applyZoom(*next);
}

void PhotoGridView::stepZoom(bool in)
{
    const auto next = in ? GridZoom::zoomedIn(zoom_) : GridZoom::zoomedOut(zoom_);
    if (next)
        applyZoom(*next);
}

double PhotoGridView::headerHeight() const
{
    return std::ceil(QFontMetricsF(gridHeaderFont(font())).height()) + 4;
}

double PhotoGridView::scrollY() const
{
    return verticalScrollBar()->value();
}

void PhotoGridView::relayout(bool keepAnchor)
{
    // Only a zoom step animates, and it starts its transition after laying out.
    stopZoomTransition();
    // Keep the first item on screen where it was across zoom and grouping changes.
    std::optional<int> anchor;
    double anchorOffset = 0;
    if (keepAnchor && engine_.itemCount() > 0) {
        const auto range = engine_.visibleItems(scrollY(), scrollY() + viewport()->height());
        if (!range.isEmpty() && range.first < items_.size()) {
            anchor = range.first;
            anchorOffset = engine_.cellRect(range.first).top() - scrollY();
        }
    }

    // Grouping 100,000 items by day is the slow part: only when items, switch or zone change,
    // never for a resize or a zoom step.
    if (sectionsDirty_) {
        sectionsDirty_ = false;
        sectionSizes_.clear();
        if (timelineEnabled_) {
            sections_ = PhotoTimelineBuilder::sections(items_, zone_);
            sectionSizes_.reserve(sections_.size());
            for (const DaySection& s : sections_)
                sectionSizes_.append(int(s.items.size()));
        } else {
            sections_.clear();
            sectionSizes_.append(int(items_.size()));
        }
        rail_->setMarks(railShown() ? PhotoTimelineBuilder::marks(sections_, zone_) : QList<TimelineMark>());
    }
    const QList<int>& sizes = sectionSizes_;
    setViewportMargins(0, 0, railStripWidth(), 0);

    GridLayoutEngine::Parameters p;
    p.width = viewport()->width();
    p.columns = GridZoom::columns(zoom_);
    p.spacing = spacing_;
    p.headerHeight = headerHeight();
    engine_.setLayout(p, sizes, timelineEnabled_);

    const int maxScroll = std::max(0, int(std::ceil(engine_.contentHeight())) - viewport()->height());
    verticalScrollBar()->setRange(0, maxScroll);
    verticalScrollBar()->setPageStep(viewport()->height());
    verticalScrollBar()->setSingleStep(std::max(1, int(engine_.cellSide() / 3)));
    if (anchor) {
        scrollAnimation_->stop();
        double target = engine_.cellRect(*anchor).top() - anchorOffset;
        // A day's first row shown whole never loses its heading above the top: switching the
        // timeline on at the top of the grid shows the first day's title.
        const int section = engine_.sectionOfItem(*anchor);
        if (anchorOffset >= 0 && engine_.hasHeaders() && section >= 0
            && engine_.sections()[section].firstItem == *anchor)
            target = std::min(target, engine_.sectionTop(section) - spacing_);
        verticalScrollBar()->setValue(std::clamp(int(std::lround(target)), 0, maxScroll));
    }
    layoutChrome();
    updateRequests();
    viewport()->update();
}

bool PhotoGridView::railShown() const
{
    return timelineEnabled_ && !sections_.isEmpty();
}

int PhotoGridView::railStripWidth() const
{
    return railShown() ? int(1 + rail_->parameters().railWidth + kRailTrailing + kRailGridPadding) : 0;
}

void PhotoGridView::layoutChrome()
{
    const bool showRail = railShown();
    railStrip_->setVisible(showRail);
    divider_->setVisible(showRail);
    rail_->setVisible(showRail);
    overlay_->setVisible(showRail);
    if (!showRail)
        return;
    placeScrollBar();
    const QRect vp = viewport()->geometry();
    const int stripWidth = railStripWidth();
    const QRect strip(width() - stripWidth, vp.top(), stripWidth, vp.height());
    railStrip_->setGeometry(strip);
    railStrip_->lower();
    divider_->setGeometry(strip.left(), strip.top(), 1, strip.height());
    const int railX = strip.left() + 1;
    rail_->setGeometry(railX, strip.top() + int(kRailVertical), int(rail_->parameters().railWidth),
                       std::max(1, strip.height() - int(2 * kRailVertical)));
    // Over the grid and its scroll bar: magnified rows and tooltips reach far left of the rail.
    overlay_->setGeometry(vp.left(), strip.top(), strip.right() + 1 - vp.left(), strip.height());
    overlay_->raise();
}

void PhotoGridView::placeScrollBar()
{
    // The scroll area puts its bar at the far right, beyond the rail's strip; the bar belongs to
    // the grid, left of the divider. Swap the two whenever the scroll area lays itself out.
    QWidget* bar = verticalScrollBar()->parentWidget();
    const int stripWidth = railStripWidth();
    if (!bar || bar == this || stripWidth <= 0)
        return;
    const QRect wanted(width() - stripWidth - bar->width(), bar->y(), bar->width(), bar->height());
    if (bar->geometry() != wanted)
        bar->setGeometry(wanted);
}

bool PhotoGridView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == verticalScrollBar()->parentWidget()) {
        if (event->type() == QEvent::Move || event->type() == QEvent::Resize)
            placeScrollBar();
        // The scroll area raises its bar after each layout; the rail's tooltips draw over it.
        else if (event->type() == QEvent::ZOrderChange && overlay_ && overlay_->isVisible())
            overlay_->raise();
    }
    return QAbstractScrollArea::eventFilter(watched, event);
}

void PhotoGridView::resizeEvent(QResizeEvent* event)
{
    // The viewport's own resize (see viewportEvent) lays the cells out again.
    QAbstractScrollArea::resizeEvent(event);
    layoutChrome();
}

void PhotoGridView::scrollContentsBy(int, int)
{
    updateRequests();
    viewport()->update();
}

void PhotoGridView::showEvent(QShowEvent* event)
{
    QAbstractScrollArea::showEvent(event);
    updateMagnifyMonitor();
    updateRequests();
}

void PhotoGridView::hideEvent(QHideEvent* event)
{
    QAbstractScrollArea::hideEvent(event);
    magnify_->stop();
}

bool PhotoGridView::viewportEvent(QEvent* event)
{
    if (event->type() == QEvent::Resize)
        relayout(true);
    return QAbstractScrollArea::viewportEvent(event);
}

void PhotoGridView::updateRequests()
{
    if (!isVisible() && !items_.isEmpty())
        return;
    const double top = scrollY();
    // The rows on screen and one more on either side.
    const auto range = engine_.visibleItems(top, top + viewport()->height(), 1);
    thumbs_->setWindow(range.first, range.last, GridZoom::thumbnailPointSize(zoom_), devicePixelRatioF());
    for (auto it = scaledCells_.begin(); it != scaledCells_.end();) {
        if (range.contains(thumbs_->indexOf(it.key())))
            ++it;
        else
            it = scaledCells_.erase(it);
    }
}

QRect PhotoGridView::viewportRectOfItem(int index) const
{
    const QRectF r = engine_.cellRect(index);
    if (r.isNull())
        return {};
    return r.translated(0, -scrollY()).toAlignedRect();
}

std::optional<int> PhotoGridView::itemAtViewportPos(QPointF pos) const
{
    return engine_.itemAt(QPointF(pos.x(), pos.y() + scrollY()));
}

void PhotoGridView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    // Acts on the press itself; a double click's second press arrives as a double-click event.
    if (const auto index = itemAtViewportPos(event->position()))
        setSelection(items_[*index].url);
    event->accept();
}

void PhotoGridView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseDoubleClickEvent(event);
        return;
    }
    if (const auto index = itemAtViewportPos(event->position())) {
        const MediaItem item = items_[*index];
        setSelection(item.url);
        Q_EMIT openItem(item);
    }
    event->accept();
}

void PhotoGridView::wheelEvent(QWheelEvent* event)
{
    if (event->modifiers() & Qt::ControlModifier) {
        if (active_) {
            ctrlWheelAccumulated_ += event->angleDelta().y();
            // One notch of a mouse wheel is 120.
            while (ctrlWheelAccumulated_ >= 120) {
                ctrlWheelAccumulated_ -= 120;
                stepZoom(true);
            }
            while (ctrlWheelAccumulated_ <= -120) {
                ctrlWheelAccumulated_ += 120;
                stepZoom(false);
            }
        }
        event->accept();
        return;
    }
    scrollAnimation_->stop();
    QAbstractScrollArea::wheelEvent(event);
}

void PhotoGridView::animateScrollTo(int value)
{
    value = std::clamp(value, 0, verticalScrollBar()->maximum());
    scrollAnimation_->stop();
    if (!isVisible()) {
        verticalScrollBar()->setValue(value);
        return;
    }
    scrollAnimation_->setStartValue(verticalScrollBar()->value());
    scrollAnimation_->setEndValue(value);
    scrollAnimation_->start();
}

void PhotoGridView::scrollToSection(const QString& sectionID)
{
    for (int i = 0; i < sections_.size(); ++i) {
        if (sections_[i].id == sectionID) {
            // Top anchor: the day's block starts at the top edge.
            animateScrollTo(int(std::lround(engine_.sectionTop(i))));
            return;
        }
    }
}

void PhotoGridView::scrollToItemCentre(const QString& path)
{
    const int index = thumbs_->indexOf(path);
    if (index < 0)
        return;
    const QRectF r = engine_.cellRect(index);
    animateScrollTo(int(std::lround(r.center().y() - viewport()->height() / 2.0)));
}

} // namespace app
