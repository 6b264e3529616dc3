#pragma once

#include "app/models/CoordinateRegion.h"
#include "app/models/MediaItem.h"
#include "app/views/map/SlippyMapWidget.h"

#include <QDialog>
#include <QImage>

class QButtonGroup;
class QLabel;
class QStackedWidget;
class QToolButton;

namespace app {

class ContentUnavailableView;
class PlaceNameResolver;
class ThumbnailProvider;

// The three looks of the map, in picker order, with the picker's labels.
struct MapStyleChoice {
    MapStyle style;
    const char* rawValue;
    const char* label;
};
inline constexpr MapStyleChoice mapStyleChoices[] = {
    {MapStyle::standard, "standard", "地图"}, {MapStyle::imagery, "imagery", "卫星"}, {MapStyle::hybrid, "hybrid", "混合"}};

// A segmented picker of the map styles: exclusive checkable buttons side by side.
class MapStylePicker : public QWidget {
    Q_OBJECT
public:
    explicit MapStylePicker(QWidget* parent = nullptr);
    MapStyle style() const;
    QToolButton* button(MapStyle style) const;

Q_SIGNALS:
    void styleChanged(app::MapStyle style);

private:
    QButtonGroup* group_;
};

// The sheet that shows where one item was taken: the coordinate, its place name, the item's
// thumbnail as the pin on a map in one of three styles, and zoom buttons. Window-modal over the
// viewer; Escape or the close button closes it (finished() tells the viewer).
class MediaLocationMapView : public QDialog {
    Q_OBJECT
public:
    struct Services {
        ThumbnailProvider* thumbnails = nullptr;
        PlaceNameResolver* placeNames = nullptr;
        SlippyMapWidget::Environment map;
    };

    // With the application's shared thumbnails, place names and map settings.
    explicit MediaLocationMapView(const MediaItem& item, QWidget* parent = nullptr);
    MediaLocationMapView(const MediaItem& item, const Services& services, QWidget* parent = nullptr);
    ~MediaLocationMapView() override;

    // "放大" passes 1/1.8, "缩小" 1.8: the spans scale around the item.
    void zoom(double factor);

    const MediaItem& item() const { return item_; }
    CoordinateRegion currentRegion() const { return currentRegion_; }
    QLabel* placeLabel() const { return placeLabel_; }
    QString placeTitle() const;
    // The pin's title under it: the item's file name.
    QString pinTitle() const;
    QString coordinateText() const;
    bool isCoordinateShown() const;
    SlippyMapWidget* map() const { return map_; }
    MapStylePicker* stylePicker() const { return picker_; }
    QToolButton* zoomInButton() const { return zoomIn_; }
    QToolButton* zoomOutButton() const { return zoomOut_; }
    QToolButton* closeButton() const { return closeButton_; }
    ContentUnavailableView* unavailableView() const { return unavailable_; }
    QWidget* currentBody() const;
    const QImage& thumbnail() const { return thumbnail_; }

private:
    class PinOverlay;

    void prepare(const Services& services);

    MediaItem item_;
    CoordinateRegion currentRegion_{{35, 105}, 0.08, 0.08};
    QImage thumbnail_;
    QLabel* coordinateLabel_ = nullptr;
    QLabel* placeLabel_ = nullptr;
    QString placeTitle_;
    MapStylePicker* picker_ = nullptr;
    QToolButton* closeButton_ = nullptr;
    QStackedWidget* body_ = nullptr;
    SlippyMapWidget* map_ = nullptr;
    QToolButton* zoomIn_ = nullptr;
    QToolButton* zoomOut_ = nullptr;
    ContentUnavailableView* unavailable_ = nullptr;
    std::unique_ptr<PinOverlay> pin_;
};

} // namespace app
