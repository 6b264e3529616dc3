#pragma once

#include "app/models/CoordinateRegion.h"
#include "app/models/MediaItem.h"
#include "app/models/PhotoLibrary.h"
#include "app/services/map/MapPhotoClusterer.h"
#include "app/views/library/LibraryPage.h"
#include "app/views/map/SlippyMapWidget.h"

#include <QHash>
#include <QImage>
#include <QPointer>
#include <QSet>

#include <atomic>
#include <memory>
#include <optional>

class QLabel;
class QThreadPool;
class QStackedWidget;
class QToolButton;

namespace app {

struct AppContext;
class ContentUnavailableView;
class FolderScanner;
class LibraryContentModel;
class MapStylePicker;
class PhotoDetailView;
class ThumbnailProvider;
class ViewerToolbarHost;

// The map of one library: its located items as clustered thumbnail pins. A single pin opens the
// viewer over all the library's items; a group zooms in, or opens the viewer when zooming cannot
// separate it. Scans the folder itself, again only when the library's identity changes.
class LibraryMapView : public LibraryPage {
    Q_OBJECT
public:
    static constexpr double pinSize = 56;
    static constexpr double cellPixelSize = 72;

    LibraryMapView(AppContext& context, const PhotoLibrary& library, std::shared_ptr<FolderScanner> scanner = nullptr,
                   const SlippyMapWidget::Environment& map = {}, QWidget* parent = nullptr);
    ~LibraryMapView() override;

    void setLibrary(const PhotoLibrary& library) override;

    QString subtitle() const;
    const MediaItems& allItems() const { return allItems_; }
    const MediaItems& locatedItems() const { return locatedItems_; }
    const QList<MapPhotoCluster>& clusters() const { return clusters_; }
    // True while the clusters shown are not those of the current camera and items yet.
    bool isClustering() const { return shownGeneration_ != clusterGeneration_; }
    // Where clustering runs; tests and benchmarks wait on it.
    static QThreadPool& clusterThreads();
    bool isLoading() const { return isLoading_; }
    const std::optional<QString>& errorMessage() const { return errorMessage_; }
    std::optional<int> zoomedIndex() const { return zoomedIndex_; }
    CoordinateRegion currentRegion() const { return currentRegion_; }
    QSizeF mapSize() const { return mapSize_; }

    // A pin's title, shown under it and when the pointer rests on it: its newest item's file name.
    static QString pinTitle(const MapPhotoCluster& cluster);
    void handleTap(const MapPhotoCluster& cluster);
    void openPreview(const MediaItem& item);
    void closeViewer();

    SlippyMapWidget* map() const { return map_; }
    MapStylePicker* stylePicker() const { return picker_; }
    QToolButton* backButton() const { return backButton_; }
    QLabel* subtitleLabel() const { return subtitleLabel_; }
    QWidget* currentStateWidget() const;
    ContentUnavailableView* unavailableView() const { return unavailable_; }
    ContentUnavailableView* emptyView() const { return empty_; }
    QWidget* loadingView() const { return loading_; }
    PhotoDetailView* viewer() const;
    QImage pinThumbnail(const QString& path) const { return thumbnails_.value(path); }

protected:
    void showEvent(QShowEvent* event) override;

private:
    class ClusterLayer;

    void loadLibrary();
    void scanChanged();
    void refreshClusters();
    void showClusters(const QList<MapPhotoCluster>& clusters);
    void requestThumbnail(const MediaItem& item);
    void updateHeader();

    AppContext& context_;
    PhotoLibrary library_;
    ThumbnailProvider* thumbnailProvider_;
    LibraryContentModel* model_ = nullptr;

    CoordinateRegion currentRegion_{{35, 105}, 40, 40};
    // Until the map's real size is known; then re-clustered at once with it.
    QSizeF mapSize_{800, 600};
    MediaItems allItems_;
    MediaItems locatedItems_;
    // What clustering reads of them, made once per list for every camera move.
    std::shared_ptr<const MapPhotoClusterer::Points> locatedPoints_ = std::make_shared<const MapPhotoClusterer::Points>();
    QList<MapPhotoCluster> clusters_;
    quint64 clusterGeneration_ = 0;
    quint64 shownGeneration_ = 0;
    // The generation the worker should make; tasks queued behind a newer one skip their work.
    std::shared_ptr<std::atomic<quint64>> latestGeneration_ = std::make_shared<std::atomic<quint64>>(0);
    int lastRevision_ = -1;
    bool isLoading_ = true;
    std::optional<QString> errorMessage_;
    std::optional<int> zoomedIndex_;
    QHash<QString, QImage> thumbnails_;
    QSet<QString> requested_;

    QToolButton* backButton_ = nullptr;
    QLabel* titleLabel_ = nullptr;
    QLabel* subtitleLabel_ = nullptr;
    ViewerToolbarHost* viewerToolbar_ = nullptr;
    MapStylePicker* picker_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    ContentUnavailableView* unavailable_ = nullptr;
    QWidget* loading_ = nullptr;
    QWidget* mapPage_ = nullptr;
    SlippyMapWidget* map_ = nullptr;
    ContentUnavailableView* empty_ = nullptr;
    QPointer<PhotoDetailView> viewer_;
    std::unique_ptr<ClusterLayer> layer_;
};

} // namespace app
