#pragma once

#include "app/models/CoordinateRegion.h"
#include "app/platform/map/MapCamera.h"
#include "app/platform/map/MapTileLoader.h"
#include "app/platform/map/MapTileSources.h"

#include <QPointer>
#include <QWidget>

#include <optional>

class QSettings;
class QTimer;
class QVariantAnimation;

namespace app {

// Something drawn over the map at coordinates (pins), which may take clicks.
class MapOverlay {
public:
    virtual ~MapOverlay() = default;
    virtual void paint(QPainter& painter, const MapCamera& camera) = 0;
    // A click that did not drag the map; true when the overlay took it.
    virtual bool click(const QPointF& point, const MapCamera& camera)
    {
        (void)point;
        (void)camera;
        return false;
    }
    // The title of what lies under the point, shown as plain text on hover; empty for none.
    virtual QString toolTip(const QPointF& point, const MapCamera& camera)
    {
        (void)point;
        (void)camera;
        return {};
    }
};

// A raster tile map: drag to pan, wheel or pinch to zoom, one of three styles, the providers'
// credit bottom-right. Shared by the item map and the library map.
class SlippyMapWidget : public QWidget {
    Q_OBJECT
public:
    struct Environment {
        // Where the tile URL templates are read; nullptr: the application's settings.
        QSettings* settings = nullptr;
        MapTileLoader::Options loader;
    };

    explicit SlippyMapWidget(QWidget* parent = nullptr);
    SlippyMapWidget(const Environment& environment, QWidget* parent = nullptr);
    ~SlippyMapWidget() override;

    MapStyle style() const { return style_; }
    void setStyle(MapStyle style);

    const MapCamera& camera() const { return camera_; }
    CoordinateRegion visibleRegion() const { return camera_.visibleRegion(); }
    // Frames the region; animated over `durationMs` with an ease-in-out curve when it is above 0.
    // regionChangeEnded follows once, when the camera has arrived. A hidden map frames it again
    // at its real size when shown, and reports it then.
    void setRegion(const CoordinateRegion& region, int durationMs = 0);

    void setOverlay(MapOverlay* overlay);
    QString attribution() const { return source_.attribution; }
    MapTileLoader* loader() const { return loader_; }

    QSize sizeHint() const override { return {640, 480}; }

Q_SIGNALS:
    // Once per finished change of the camera: a drag released, 200 ms after the last wheel step,
    // an animation ended, a region set without animation.
    void regionChangeEnded(const app::CoordinateRegion& region);
    void viewportResized(const QSize& size);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool event(QEvent* event) override;

private:
    struct Tile {
        int layer;
        QUrl url;
        QRectF rect; // where it goes in the viewport
    };

    QList<Tile> visibleTiles() const;
    void cameraChanged();
    void endChange();
    void stopAnimation();
    QRectF attributionRect() const;

    MapCamera camera_;
    std::optional<CoordinateRegion> pendingRegion_;
    MapStyle style_ = MapStyle::standard;
    MapStyleSource source_;
    QSettings* settings_ = nullptr;
    MapTileLoader* loader_ = nullptr;
    MapOverlay* overlay_ = nullptr;
    QVariantAnimation* animation_ = nullptr;
    QTimer* wheelEnd_ = nullptr;
    QPointF pressPoint_;
    QPointF lastDragPoint_;
    bool pressed_ = false;
    bool dragging_ = false;
};

} // namespace app
