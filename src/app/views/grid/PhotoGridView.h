#pragma once

#include "app/models/MediaItem.h"
#include "app/models/PhotoTimeline.h"
#include "app/services/thumbnails/ThumbnailProvider.h"
#include "app/services/thumbnails/VisibleThumbnails.h"
#include "app/views/grid/GridLayoutEngine.h"
#include "app/views/grid/GridZoomLevel.h"

#include <QAbstractScrollArea>
#include <QHash>
#include <QImage>
#include <QPixmap>
#include <QTimeZone>

#include <optional>

class QFrame;
class QPropertyAnimation;
class QVariantAnimation;

namespace app {

class TimelineRail;
class TimelineRailOverlay;
class TrackpadMagnifyMonitor;
enum class GesturePhase : int;

// Square thumbnails in a vertically scrolling grid with four zoom levels, optionally grouped by
// day with the timeline rail at its right edge. One scroll area paints every cell; only the rows
// on screen and one row beyond ask for thumbnails, and rows that scroll away cancel theirs.
class PhotoGridView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit PhotoGridView(ThumbnailProvider* thumbnails, QWidget* parent = nullptr);
    ~PhotoGridView() override;

    void setItems(const MediaItems& items);
    const MediaItems& items() const { return items_; }

    GridZoomLevel zoomLevel() const { return zoom_; }
    void setZoomLevel(GridZoomLevel level);
    bool timelineEnabled() const { return timelineEnabled_; }
    void setTimelineEnabled(bool enabled);
    // Applied when it changes: selects the item with that path and scrolls it to the centre. The
    // same path again leaves selection and scroll as they are.
    void setFocusedItemID(const std::optional<QString>& path);
    // Inactive while the viewer covers the grid: no pinch zoom.
    void setActive(bool active);
    bool isActive() const { return active_; }
    void setSpacing(double spacing);
    void setTimeZone(const QTimeZone& zone);

    const std::optional<QString>& selection() const { return selection_; }

    // Pinch handling as the magnify monitor reports it; public for tests.
    void handleMagnifyEvent(GesturePhase phase, double magnification);
    void scrollToSection(const QString& sectionID);

    // For tests and benchmarks.
    const GridLayoutEngine& layoutEngine() const { return engine_; }
    TimelineRail* timelineRail() const { return rail_; }
    QList<QString> loadingPaths() const { return thumbs_->loadingPaths(); }
    qsizetype cellStateCount() const { return thumbs_->cellCount(); }
    // Bytes of the pictures the visible cells hold.
    qint64 visibleThumbnailBytes() const { return thumbs_->heldBytes(); }
    quint64 requestsMade() const { return thumbs_->requestsMade(); }
    quint64 requestsCancelled() const { return thumbs_->requestsCancelled(); }
    bool isMagnifyMonitorRunning() const;
    QRect viewportRectOfItem(int index) const;
    // A zoom change moves the cells from their old places to the new ones for a moment.
    bool isAnimatingZoom() const { return zoomTransition_.has_value(); }
    // A scroll to an item, a day or a key's target is under way or scheduled.
    bool isScrollPending() const;

Q_SIGNALS:
    void zoomLevelChanged(GridZoomLevel level);
    void timelineEnabledChanged(bool enabled);
    void selectionChanged(const std::optional<QString>& path);
    // A double click, or Return: the page opens the item.
    void openItem(const MediaItem& item);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    // Arrows, Home and End move the selection once a click gave the grid the focus; Return and
    // Enter open the selected item.
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void relayout(bool keepAnchor);
    // Selects and centres the item, once the grid has its final size.
    void requestFocus(const QString& path);
    // The rail shows with the timeline switch on and at least one day to mark.
    bool railShown() const;
    int railStripWidth() const;
    void layoutChrome();
    void placeScrollBar();
    void updateRequests();
    void setSelection(const std::optional<QString>& path);
    void stepZoom(bool in);
    void applyZoom(GridZoomLevel level);
    void updateMagnifyMonitor();
    void animateScrollTo(int value);
    void scrollToItemCentre(const QString& path);
    std::optional<int> itemAtViewportPos(QPointF pos) const;
    // Where a cell or a day title is drawn now, in viewport coordinates (between the old and the
    // new layout while a zoom change animates).
    QRectF shownCellRect(int index) const;
    QRectF shownHeaderRect(int section) const;
    void stopZoomTransition();
    double headerHeight() const;
    double scrollY() const;
    void paintCell(QPainter& painter, const QRectF& rect, const MediaItem& item);
    void paintBadge(QPainter& painter, const QRectF& cell, const MediaItem& item);
    const QPixmap& badgeIcon(const QString& symbol, const QColor& color, double side);

    MediaItems items_;
    QList<DaySection> sections_;
    QList<int> sectionSizes_;
    bool sectionsDirty_ = true;
    GridLayoutEngine engine_;
    GridZoomLevel zoom_ = GridZoomLevel::columns11;
    bool timelineEnabled_ = false;
    bool active_ = true;
    double spacing_ = 2;
    QTimeZone zone_ = QTimeZone::systemTimeZone();
    std::optional<QString> selection_;
    std::optional<QString> focusedItemID_;
    // Also the grid's index of paths: one hash for the whole list, not one per owner.
    VisibleThumbnails* thumbs_ = nullptr;
    // Each visible cell's picture cropped and scaled to the cell, rebuilt when either changes.
    struct ScaledCell {
        qint64 imageKey = 0;
        QPixmap pixmap;
    };
    QHash<QString, ScaledCell> scaledCells_;
    QHash<QString, QPixmap> badgeIcons_;
    PinchZoomAccumulator pinch_;
    double ctrlWheelAccumulated_ = 0;
    TrackpadMagnifyMonitor* magnify_ = nullptr;
    TimelineRail* rail_ = nullptr;
    TimelineRailOverlay* overlay_ = nullptr;
    QWidget* railStrip_ = nullptr;
    QFrame* divider_ = nullptr;
    QPropertyAnimation* scrollAnimation_ = nullptr;
    bool focusScrollScheduled_ = false;
    struct ZoomTransition {
        GridLayoutEngine from;
        double fromScroll = 0;
        double progress = 0;
    };
    std::optional<ZoomTransition> zoomTransition_;
    QVariantAnimation* zoomAnimation_ = nullptr;
};

// "m:ss" of a duration rounded to whole seconds; minutes are not limited (3725 s read 62:05).
QString formatDuration(double seconds);

} // namespace app
