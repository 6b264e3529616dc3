#include "app/views/map/page/LibraryMapView.h"

#include "app/platform/desktop/ExitWait.h"
#include "app/services/AppContext.h"
#include "app/services/library/LibraryStore.h"
#include "app/services/thumbnails/ThumbnailProvider.h"
#include "app/views/library/LibraryContentModel.h"
#include "app/views/library/LibraryDetailView.h"
#include "app/views/map/MapPin.h"
#include "app/views/map/MediaLocationMapView.h"
#include "app/views/viewer/PhotoDetailView.h"
#include "app/views/common/SymbolIcon.h"
#include "app/views/common/ViewStyle.h"
#include "app/views/common/ViewerToolbarHost.h"
#include "app/views/viewer/ViewerToolbarItems.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QStackedWidget>
#include <QThreadPool>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace app {

// The pins of the clusters, newest item's thumbnail on each; a click on a pin taps its cluster.
class LibraryMapView::ClusterLayer final : public MapOverlay {
public:
    explicit ClusterLayer(LibraryMapView& view) : view_(view) {}

    void paint(QPainter& painter, const MapCamera& camera) override
    {
        const QRectF visible = QRectF(QPointF(0, 0), camera.viewportSize()).adjusted(-pinSize, -pinSize, pinSize, pinSize);
        const qreal scale = painter.device()->devicePixelRatioF();
        const double half = pinSize / 2 + MapPin::pictureMargin;
        QSet<QString> used, usedTitles;
        QList<QRectF> titleRects, pinRects;
        QList<QImage> titles;
        for (const MapPhotoCluster& cluster : view_.clusters_) {
            const QPointF at = camera.viewportPoint(cluster.coordinate);
            if (!visible.contains(at))
                continue;
            // Each pin is drawn once per picture and badge, then copied: clipping and shadows are
            // too slow to redo for every pin on every frame of a drag.
            const QString& path = cluster.items.front().url;
            const QImage thumbnail = view_.thumbnails_.value(path);
            const QString badge = MapPin::badgeText(cluster.items.size());
            const QString key = path + u'|' + badge + u'|' + QString::number(thumbnail.cacheKey()) + u'|'
                + QString::number(scale);
            auto picture = pictures_.find(key);
            if (picture == pictures_.end())
                picture = pictures_.insert(key, MapPin::picture(pinSize, thumbnail, badge, view_.palette(), scale));
            used.insert(key);
            painter.drawImage(at - QPointF(half, half), *picture);
            pinRects.append(MapPin::rect(at, pinSize));

            const QString title = pinTitle(cluster);
            const QString titleKey = title + u'|' + QString::number(scale);
            auto titlePicture = titlePictures_.find(titleKey);
            if (titlePicture == titlePictures_.end())
                titlePicture = titlePictures_.insert(titleKey, MapPin::titlePicture(title, view_.font(), scale));
            usedTitles.insert(titleKey);
            titleRects.append(MapPin::titleRect(at, pinSize, *titlePicture));
            titles.append(*titlePicture);
        }
        // The pin drawn last is on top: its title comes first.
        std::reverse(titleRects.begin(), titleRects.end());
        std::reverse(titles.begin(), titles.end());
        // A title gives way to the pictures of the other pins, as to other titles.
        MapPin::paintTitles(painter, titleRects, titles, pinRects);
        // Keep the pictures of the pins on the map, and no more than twice as many.
        if (pictures_.size() > 2 * used.size() + 16)
            for (auto it = pictures_.begin(); it != pictures_.end();)
                it = used.contains(it.key()) ? std::next(it) : pictures_.erase(it);
        if (titlePictures_.size() > 2 * usedTitles.size() + 16)
            for (auto it = titlePictures_.begin(); it != titlePictures_.end();)
                it = usedTitles.contains(it.key()) ? std::next(it) : titlePictures_.erase(it);
    }

    bool click(const QPointF& point, const MapCamera& camera) override
    {
        const MapPhotoCluster* pin = pinAt(point, camera);
        if (!pin)
            return false;
        const MapPhotoCluster tapped = *pin;
        view_.handleTap(tapped);
        return true;
    }

    QString toolTip(const QPointF& point, const MapCamera& camera) override
    {
        const MapPhotoCluster* pin = pinAt(point, camera);
        return pin ? pinTitle(*pin) : QString();
    }

private:
    const MapPhotoCluster* pinAt(const QPointF& point, const MapCamera& camera) const
    {
        // The pin drawn last is on top.
        for (auto it = view_.clusters_.crbegin(); it != view_.clusters_.crend(); ++it)
            if (MapPin::rect(camera.viewportPoint(it->coordinate), pinSize).contains(point))
                return &*it;
        return nullptr;
    }

    LibraryMapView& view_;
    QHash<QString, QImage> pictures_;
    QHash<QString, QImage> titlePictures_;
};

LibraryMapView::LibraryMapView(AppContext& context, const PhotoLibrary& library, std::shared_ptr<FolderScanner> scanner,
                               const SlippyMapWidget::Environment& mapEnvironment, QWidget* parent)
    : LibraryPage(parent), context_(context), library_(library),
      thumbnailProvider_(context.thumbnails ? context.thumbnails : &ThumbnailProvider::shared())
{
    if (!scanner)
        scanner = std::make_shared<MediaFolderScanner>();
    model_ = new LibraryContentModel(std::move(scanner), LibraryContentModel::storeResolver(context_.store), this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* header = new QWidget(this);
    auto* bar = new QHBoxLayout(header);
    bar->setContentsMargins(10, 6, 10, 6);
    bar->setSpacing(8);
    backButton_ = new QToolButton(header);
    backButton_->setText("地图");
    backButton_->setIcon(SymbolIcon::icon("chevron.left"));
    backButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    backButton_->setAutoRaise(true);
    backButton_->hide();
    connect(backButton_, &QToolButton::clicked, this, &LibraryMapView::closeViewer);
    bar->addWidget(backButton_);
    titleLabel_ = new QLabel("地图", header);
    QFont titleFont = font();
    titleFont.setPixelSize(12);
    titleFont.setWeight(QFont::DemiBold);
    titleLabel_->setFont(titleFont);
    bar->addWidget(titleLabel_);
    subtitleLabel_ = new QLabel(header);
    QFont subtitleFont = font();
    subtitleFont.setPixelSize(12);
    subtitleLabel_->setFont(subtitleFont);
    subtitleLabel_->setTextFormat(Qt::PlainText);
    QPalette secondary = subtitleLabel_->palette();
    secondary.setColor(QPalette::WindowText, ViewStyle::secondaryColor(secondary));
    subtitleLabel_->setPalette(secondary);
    bar->addWidget(subtitleLabel_);
    viewerToolbar_ = new ViewerToolbarHost(header);
    viewerToolbar_->hide();
    bar->addWidget(viewerToolbar_, 1);
    bar->addStretch();
    picker_ = new MapStylePicker(header);
    picker_->setFixedWidth(240);
    picker_->setToolTip("地图样式");
    bar->addWidget(picker_);
    bar->addStretch();
    layout->addWidget(header);

    stack_ = new QStackedWidget(this);
    unavailable_ = new ContentUnavailableView(stack_);
    loading_ = new QWidget(stack_);
    {
        auto* column = new QVBoxLayout(loading_);
        column->setSpacing(12);
        column->addStretch();
        auto* spinner = new QProgressBar(loading_);
        spinner->setRange(0, 0);
        spinner->setFixedWidth(240);
        spinner->setTextVisible(false);
        column->addWidget(spinner, 0, Qt::AlignHCenter);
        auto* text = new QLabel("正在读取位置信息…", loading_);
        text->setPalette(secondary);
        column->addWidget(text, 0, Qt::AlignHCenter);
        column->addStretch();
    }
    mapPage_ = new QWidget(stack_);
    {
        auto* grid = new QGridLayout(mapPage_);
        grid->setContentsMargins(0, 0, 0, 0);
        map_ = new SlippyMapWidget(mapEnvironment, mapPage_);
        grid->addWidget(map_, 0, 0);
        empty_ = new ContentUnavailableView(mapPage_);
        empty_->setContent("mappin.slash", "没有位置信息", "这个图库里还没有带 GPS 的照片或视频。");
        empty_->setAttribute(Qt::WA_TransparentForMouseEvents);
        empty_->hide();
        grid->addWidget(empty_, 0, 0, Qt::AlignCenter);
    }
    stack_->addWidget(unavailable_);
    stack_->addWidget(loading_);
    stack_->addWidget(mapPage_);
    layout->addWidget(stack_, 1);

    layer_ = std::make_unique<ClusterLayer>(*this);
    map_->setOverlay(layer_.get());
    connect(picker_, &MapStylePicker::styleChanged, map_, &SlippyMapWidget::setStyle);
    connect(map_, &SlippyMapWidget::regionChangeEnded, this, [this](const CoordinateRegion& region) {
        currentRegion_ = region;
        refreshClusters();
    });
    // Clustered with an assumed size until the map has its own; from then on with the real one.
    connect(map_, &SlippyMapWidget::viewportResized, this, [this](const QSize& size) {
        mapSize_ = size;
        refreshClusters();
    });
    connect(thumbnailProvider_, &ThumbnailProvider::orientationDidChange, this, [this](const QString& path) {
        for (const MapPhotoCluster& cluster : std::as_const(clusters_))
            if (cluster.items.front().url == path) {
                requested_.remove(path);
                requestThumbnail(cluster.items.front());
            }
    });

    connect(model_, &LibraryContentModel::itemsChanged, this, &LibraryMapView::scanChanged);
    connect(model_, &LibraryContentModel::isScanningChanged, this, &LibraryMapView::scanChanged);
    connect(model_, &LibraryContentModel::errorMessageChanged, this, &LibraryMapView::scanChanged);
    followLibraryContent(context_.store, model_, [this] { return library_.id; }, [this](int revision) {
        if (revision != lastRevision_)
            loadLibrary();
    });

    loadLibrary();
}

LibraryMapView::~LibraryMapView()
{
    map_->setOverlay(nullptr);
    model_->cancel();
}

void LibraryMapView::setLibrary(const PhotoLibrary& library)
{
    const bool sameLibrary = library.id == library_.id;
    library_ = library;
    // A rename changes the texts only.
    if (sameLibrary)
        updateHeader();
    else
        loadLibrary();
}

void LibraryMapView::showEvent(QShowEvent* event)
{
    LibraryPage::showEvent(event);
    // A page shown again over a folder it could not reach looks again.
    if (errorMessage_ && !model_->isScanning())
        loadLibrary();
}

QString LibraryMapView::pinTitle(const MapPhotoCluster& cluster)
{
    return QFileInfo(cluster.items.front().url).fileName();
}

void LibraryMapView::loadLibrary()
{
    lastRevision_ = context_.store ? context_.store->contentRevision(library_.id) : 0;
    closeViewer();
    isLoading_ = true;
    errorMessage_.reset();
    clusters_.clear();
    // Clusters of the previous items that are still being made are dropped.
    shownGeneration_ = ++clusterGeneration_;
    allItems_.clear();
    locatedItems_.clear();
    locatedPoints_ = std::make_shared<const MapPhotoClusterer::Points>();
    model_->load(library_);
    scanChanged();
}

void LibraryMapView::scanChanged()
{
    errorMessage_ = model_->errorMessage();
    isLoading_ = !errorMessage_ && model_->isScanning();
    if (errorMessage_) {
        unavailable_->setContent("externaldrive.badge.questionmark", "图库不可用", *errorMessage_);
        stack_->setCurrentWidget(unavailable_);
    } else if (isLoading_) {
        stack_->setCurrentWidget(loading_);
    } else if (allItems_ != model_->items() || stack_->currentWidget() != mapPage_) {
        allItems_ = model_->items();
        locatedItems_.clear();
        for (const MediaItem& item : std::as_const(allItems_))
            if (item.hasLocation())
                locatedItems_.append(item);
        locatedPoints_ = std::make_shared<const MapPhotoClusterer::Points>(MapPhotoClusterer::points(locatedItems_));
        empty_->setVisible(locatedItems_.isEmpty());
        stack_->setCurrentWidget(mapPage_);
        if (const std::optional<CoordinateRegion> region = MapPhotoClusterer::region(locatedItems_, 1.35)) {
            currentRegion_ = *region;
            map_->setRegion(*region);
        }
        refreshClusters();
    }
    updateHeader();
}

QThreadPool& LibraryMapView::clusterThreads()
{
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool;
        p->setMaxThreadCount(1);
        drainAtExit(*p);
        return p;
    }();
    return *pool;
}

void LibraryMapView::refreshClusters()
{
    // A large library takes longer to cluster than a frame lasts: a worker does it, and only the
    // latest camera's clusters are shown.
    const quint64 generation = ++clusterGeneration_;
    latestGeneration_->store(generation);
    QPointer<LibraryMapView> self(this);
    clusterThreads().start([self, generation, latest = latestGeneration_, items = locatedItems_,
                            points = locatedPoints_, region = currentRegion_, size = mapSize_] {
        // Superseded while it waited (a window being resized): not worth making.
        if (latest->load() != generation)
            return;
        QList<MapPhotoCluster> clusters = MapPhotoClusterer::cluster(items, *points, region, size, cellPixelSize);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, generation, clusters = std::move(clusters)] {
                if (self && self->clusterGeneration_ == generation)
                    self->showClusters(clusters);
            },
            Qt::QueuedConnection);
    });
}

void LibraryMapView::showClusters(const QList<MapPhotoCluster>& clusters)
{
    clusters_ = clusters;
    shownGeneration_ = clusterGeneration_;
    QSet<QString> shown;
    for (const MapPhotoCluster& cluster : std::as_const(clusters_)) {
        shown.insert(cluster.items.front().url);
        requestThumbnail(cluster.items.front());
    }
    // Keep only the pictures of the pins on the map; the provider's cache holds the rest.
    for (auto it = thumbnails_.begin(); it != thumbnails_.end();)
        it = shown.contains(it.key()) ? std::next(it) : thumbnails_.erase(it);
    requested_.intersect(shown);
    map_->update();
}

void LibraryMapView::requestThumbnail(const MediaItem& item)
{
    if (requested_.contains(item.url))
        return;
    requested_.insert(item.url);
    const QString path = item.url;
    thumbnailProvider_->thumbnail(item, pinSize, devicePixelRatioF(), this, [this, path](const QImage& image) {
        if (!requested_.contains(path))
            return;
        thumbnails_.insert(path, image);
        map_->update();
    });
}

void LibraryMapView::handleTap(const MapPhotoCluster& cluster)
{
    if (cluster.items.size() == 1) {
        openPreview(cluster.items.front());
        return;
    }
    const std::optional<CoordinateRegion> region = MapPhotoClusterer::region(cluster.items, 1.8);
    if (!region)
        return;
    // Zooming cannot pull apart items at one spot, nor a group whose frame is no closer than the
    // view: show them instead of zooming for ever.
    const Coordinate first = *cluster.items.front().coordinate();
    const bool oneSpot = std::all_of(cluster.items.cbegin(), cluster.items.cend(),
                                     [&first](const MediaItem& item) { return item.coordinate() == first; });
    MapCamera probe = map_->camera();
    probe.setRegion(*region);
    if (oneSpot || probe.zoom() <= map_->camera().zoom() + 0.01) {
        openPreview(cluster.items.front());
        return;
    }
    currentRegion_ = *region;
    map_->setRegion(*region, 350);
}

void LibraryMapView::openPreview(const MediaItem& item)
{
    const qsizetype index = allItems_.indexOf(item);
    if (index < 0)
        return;
    closeViewer();
    zoomedIndex_ = int(index);
    auto* viewer = new PhotoDetailView(allItems_, int(index), *thumbnailProvider_, stack_);
    viewer_ = viewer;
    connect(viewer, &PhotoDetailView::currentIndexChanged, this, [this](int current) {
        if (zoomedIndex_ && current >= 0 && current < allItems_.size())
            zoomedIndex_ = current;
    });
    connect(viewer, &PhotoDetailView::closeRequested, this, &LibraryMapView::closeViewer);
    stack_->addWidget(viewer);
    stack_->setCurrentWidget(viewer);
    viewer->attachToolbar(viewerToolbar_);
    // The same buttons as over the grid: reveal, the item's map, rotation.
    attachViewerToolbarItems(viewer, context_);
    viewer->setFocus(Qt::OtherFocusReason);
    updateHeader();
}

void LibraryMapView::closeViewer()
{
    if (!zoomedIndex_ && !viewer_)
        return;
    zoomedIndex_.reset();
    if (viewer_) {
        // The viewer may be closing from inside one of its own handlers: hide it now, delete it later.
        viewer_->hide();
        stack_->removeWidget(viewer_);
        viewer_->deleteLater();
        viewer_ = nullptr;
    }
    viewerToolbar_->clear();
    // Back to the map as it was, camera included.
    stack_->setCurrentWidget(mapPage_);
    updateHeader();
}

QString LibraryMapView::subtitle() const
{
    if (zoomedIndex_)
        return {};
    if (isLoading_)
        return "正在读取…";
    if (!allItems_.isEmpty())
        return QString("%1 / %2 个有位置 · %3").arg(locatedItems_.size()).arg(allItems_.size()).arg(library_.name);
    return library_.name;
}

PhotoDetailView* LibraryMapView::viewer() const
{
    return viewer_;
}

QWidget* LibraryMapView::currentStateWidget() const
{
    return stack_->currentWidget();
}

void LibraryMapView::updateHeader()
{
    const bool viewerOpen = zoomedIndex_.has_value();
    backButton_->setVisible(viewerOpen);
    viewerToolbar_->setVisible(viewerOpen);
    titleLabel_->setVisible(!viewerOpen);
    picker_->setVisible(!viewerOpen);
    subtitleLabel_->setText(subtitle());
    subtitleLabel_->setVisible(!viewerOpen);
}

} // namespace app
