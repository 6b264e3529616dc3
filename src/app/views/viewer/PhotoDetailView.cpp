#include "app/views/viewer/PhotoDetailView.h"

#include "app/views/grid/GridZoomLevel.h"
#include "app/views/library/LibraryDetailView.h"
#include "app/views/video/LivePhotoView.h"
#include "app/views/viewer/MediaInfoCard.h"
#include "app/views/grid/PhotoGridView.h"
#include "app/views/common/SymbolIcon.h"
#include "app/views/video/VideoPlaybackView.h"
#include "app/views/video/VideoSurfaceWidget.h"
#include "app/views/common/ViewerToolbarHost.h"
#include "app/views/viewer/ZoomSliderControl.h"

#include <QFutureWatcher>
#include <QGraphicsOpacityEffect>
#include <QPropertyAnimation>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace app {

namespace {

constexpr int contentPadding = 24;
constexpr int arrowPadding = 18;
constexpr int arrowSize = ViewerArrowButton::side;

} // namespace

PhotoDetailView::PhotoDetailView(MediaItems items, int currentIndex, ThumbnailProvider& thumbnails, QWidget* parent)
    : QWidget(parent),
      items_(std::move(items)),
      thumbnails_(thumbnails),
      state_(int(items_.size()), currentIndex, {}),
      elapsed_(std::make_shared<QElapsedTimer>())
{
    Q_ASSERT(!items_.isEmpty());
    elapsed_->start();
    setClock([timer = elapsed_] { return double(timer->nsecsElapsed()) / 1e9; });
    metadataSource_ = [](const MediaItem& item) { return MediaMetadataExtractor().extractAsync(item); };

    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    setMouseTracking(true);

    frameTimer_.setInterval(16);
    connect(&frameTimer_, &QTimer::timeout, this, &PhotoDetailView::onFrame);
    spinnerTimer_.setInterval(83);
    connect(&spinnerTimer_, &QTimer::timeout, this, [this] {
        spinnerStep_ = (spinnerStep_ + 1) % 12;
        update();
    });

    card_ = new MediaInfoCard(this);
    card_->hide();
    // The card fades in and out over 0.15 s; the animation belongs to the card, so it ends with it.
    auto* cardOpacity = new QGraphicsOpacityEffect(card_);
    card_->setGraphicsEffect(cardOpacity);
    cardFade_ = new QPropertyAnimation(cardOpacity, "opacity", card_);
    cardFade_->setDuration(150);
    cardFade_->setEasingCurve(QEasingCurve::InOutQuad);
    connect(cardFade_, &QPropertyAnimation::finished, this, [this] {
        if (!showingInfo_)
            card_->hide();
    });
    connect(this, &PhotoDetailView::metadataChanged, this, [this] {
        card_->setMetadata(metadata_);
        layoutChildren();
    });

    previous_ = new ViewerArrowButton("chevron.left", this);
    next_ = new ViewerArrowButton("chevron.right", this);
    connect(previous_, &QAbstractButton::clicked, this, [this] {
        state_.navigate(state_.currentIndex() - 1, 1);
        afterStateChange();
    });
    connect(next_, &QAbstractButton::clicked, this, [this] {
        state_.navigate(state_.currentIndex() + 1, -1);
        afterStateChange();
    });

    state_.onIndexChanged = [this](int index) {
        Q_EMIT currentIndexChanged(index);
        loadCurrentItem();
    };
    state_.onPagingStarted = [this] { tearDownPlayer(); };
    state_.onClose = [this] {
        tearDownPlayer();
        frameTimer_.stop();
        spinnerTimer_.stop();
        swipeMonitor_.stop();
        magnifyMonitor_.stop();
        fullTicket_.cancel();
        ++generation_;
        Q_EMIT closeRequested();
    };
    swipeMonitor_.onEvent = [this](GesturePhase phase, double dx, double dy) {
        state_.handleSwipe(phase, dx, dy);
        afterStateChange();
    };
    magnifyMonitor_.onEvent = [this](GesturePhase phase, double m) {
        state_.handleMagnify(phase, m);
        afterStateChange();
    };

    loadCurrentItem();
}

PhotoDetailView::~PhotoDetailView()
{
    fullTicket_.cancel();
    for (const ThumbnailTicket& ticket : std::as_const(preloads_))
        ticket.cancel();
    // Nothing fires into a half-destroyed viewer.
    state_.onClose = nullptr;
    state_.onIndexChanged = nullptr;
    state_.onPagingStarted = nullptr;
    tearDownPlayer();
    delete liveView_.data();
    swipeMonitor_.stop();
    magnifyMonitor_.stop();
    // Whatever the viewer and its helpers put into the toolbar goes with it, unless the page
    // already emptied the bar and a new viewer filled it before this one's deferred deletion.
    if (toolbar_ && (infoIcon_ || zoomSlider_))
        toolbar_->clear();
}

void PhotoDetailView::setClock(PhotoDetailState::Clock clock)
{
    state_.setClock(std::move(clock));
}

void PhotoDetailView::attachToolbar(ViewerToolbarHost* host)
{
    toolbar_ = host;
    if (!host)
        return;
    zoomSlider_ = new ZoomSliderControl(1.0, PhotoDetailState::maxZoom, PhotoDetailState::zoomStep);
    zoomSlider_->onChange = [this](double value) {
        state_.applyZoomFromControl(value);
        afterStateChange();
    };
    // Hidden while closing without moving the rest of the bar.
    QSizePolicy keep = zoomSlider_->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    zoomSlider_->setSizePolicy(keep);
    host->setCentreWidget(zoomSlider_);
    infoIcon_ = new ViewerInfoIcon;
    infoIcon_->setSizePolicy(keep);
    connect(infoIcon_, &ViewerInfoIcon::hoverChanged, this, &PhotoDetailView::setShowingInfo);
    host->addTrailingWidget(infoIcon_);
}

void PhotoDetailView::requestClose()
{
    state_.close();
}

void PhotoDetailView::advanceAnimations()
{
    state_.advance();
    afterStateChange();
}

void PhotoDetailView::onFrame()
{
    advanceAnimations();
}

void PhotoDetailView::afterStateChange()
{
    if (state_.isClosed()) {
        frameTimer_.stop();
        return;
    }
    if (state_.isAnimating()) {
        if (!frameTimer_.isActive())
            frameTimer_.start();
    } else {
        frameTimer_.stop();
    }
    if (zoomSlider_)
        zoomSlider_->setZoomScale(state_.zoomScale());
    if (state_.isDismissing() != wasDismissing_) {
        wasDismissing_ = state_.isDismissing();
        if (infoIcon_)
            infoIcon_->setVisible(!wasDismissing_ && !coveredBySheet_);
        if (zoomSlider_)
            zoomSlider_->setVisible(!wasDismissing_);
        Q_EMIT dismissingChanged(wasDismissing_);
    }
    layoutChildren();
    update();
}

void PhotoDetailView::loadCurrentItem()
{
    const quint64 generation = ++generation_;
    state_.resetForLoad();
    fullTicket_.cancel();
    const MediaItem item = currentItem();
    Q_EMIT itemLoading(item);
    tearDownPlayer();
    delete liveView_.data();
    const bool hadFull = !fullImage_.isNull();
    fullImage_ = QImage();
    fullImageFailed_ = false;
    placeholder_ = QImage();
    blurredPlaceholder_ = QImage();
    metadata_.reset();
    setShowingInfo(false);
    if (hadFull)
        Q_EMIT fullImageChanged();
    Q_EMIT metadataChanged();

    requestMetadata(item, generation);

    if (item.kind == MediaKind::video) {
        startVideo(item);
    } else {
        if (item.isLivePhoto && item.liveVideoURL) {
            liveView_ = new LivePhotoView(item.url, *item.liveVideoURL, this);
            // A movie that fails leaves the placeholder sharp, since nothing better is coming.
            connect(liveView_, &LivePhotoView::phaseChanged, this, qOverload<>(&QWidget::update));
            liveView_->show();
        }
        const double scale = devicePixelRatioF();
        // The grid's own sizes, largest first: a size of our own would never be in the cache.
        if (auto cached = thumbnails_.cachedThumbnail(item, GridZoom::thumbnailPointSizesLargestFirst(), scale))
            placeholder_ = *cached;
        updateBlurredPlaceholder();
        requestFullImage(item);
    }
    updateSpinner();
    layoutChildren();
    update();
}

void PhotoDetailView::startVideo(const MediaItem& item)
{
    player_ = new VideoPlayer(this);
    videoView_ = new VideoPlaybackView(player_, this);
    connect(videoView_->surface(), &VideoSurfaceWidget::pictureChanged, this, &PhotoDetailView::updateSpinner);
    player_->setSource(QUrl::fromLocalFile(item.url));
    videoView_->show();
    videoView_->lower();
    player_->play();
}

void PhotoDetailView::tearDownPlayer()
{
    // The player goes before the view whose sink it feeds.
    if (player_) {
        player_->pause();
        delete player_.data();
    }
    delete videoView_.data();
}

void PhotoDetailView::requestFullImage(const MediaItem& item)
{
    // Neighbours of the item left behind are no longer wanted; the one paged to already runs.
    for (auto it = preloads_.begin(); it != preloads_.end();) {
        if (it.key() == item.url) {
            ++it;
            continue;
        }
        it->cancel();
        it = preloads_.erase(it);
    }
    const QString path = item.url;
    ThumbnailTicket running = preloads_.take(path);
    // A preload still running delivers to us once it ends; one that ended left its image in the
    // cache, where the request below finds it at once.
    if (running.isValid() && !running.isCancelled()
        && !thumbnails_.cachedThumbnail(item, ThumbnailProvider::pixelSize(fullImagePointSize, devicePixelRatioF()))) {
        fullTicket_ = running;
        return;
    }
    fullTicket_ = thumbnails_.thumbnail(item, fullImagePointSize, devicePixelRatioF(), this,
                                        [this, path](const QImage& image) { acceptFullImage(path, image); });
}

void PhotoDetailView::acceptFullImage(const QString& path, const QImage& image)
{
    // Keyed by path: a result for an item paged away is dropped, and so is one that would
    // replace a picture already shown (a rotation preview).
    if (state_.isClosed() || path != currentItem().url)
        return;
    // A live photo's movie waits for its still, which its pictures' lease would hold back.
    if (liveView_)
        liveView_->setStillDecoded();
    if (!fullImage_.isNull())
        return;
    fullImage_ = image;
    fullImageFailed_ = image.isNull();
    updateSpinner();
    if (!image.isNull()) {
        Q_EMIT fullImageChanged();
        preloadNeighbours();
    }
    update();
}

void PhotoDetailView::preloadNeighbours()
{
    const double scale = devicePixelRatioF();
    const int pixels = ThumbnailProvider::pixelSize(fullImagePointSize, scale);
    const qint64 current = fullImage_.sizeInBytes();
    // A neighbour of unknown shape is taken as a 4:3 picture at the full size, or as large as this one.
    const qint64 estimate = std::max(current, qint64(pixels) * (pixels * 3 / 4) * 4);
    qint64 needed = (reservedBytes_ ? reservedBytes_() : 0) + current;
    const int index = state_.currentIndex();
    for (int neighbour : {index + 1, index - 1}) {
        if (neighbour < 0 || neighbour >= items_.size())
            continue;
        const MediaItem& item = items_[neighbour];
        if (item.kind == MediaKind::video || preloads_.contains(item.url))
            continue;
        if (thumbnails_.cachedThumbnail(item, pixels)) {
            preloads_.insert(item.url, ThumbnailTicket());
            continue;
        }
        if (needed + estimate > thumbnails_.cacheByteLimit())
            break;
        needed += estimate;
        const QString path = item.url;
        preloads_.insert(path, thumbnails_.thumbnail(item, fullImagePointSize, scale, this, [this, path](const QImage& image) {
            // Ended: a picture is in the cache now, a failure is not, so paging there asks again.
            if (auto ended = preloads_.find(path); ended != preloads_.end())
                *ended = ThumbnailTicket();
            acceptFullImage(path, image);
        }));
    }
}

QStringList PhotoDetailView::preloadedPaths() const
{
    return preloads_.keys();
}

void PhotoDetailView::reloadMetadata()
{
    if (!state_.isClosed())
        requestMetadata(currentItem(), generation_);
}

void PhotoDetailView::requestMetadata(const MediaItem& item, quint64 generation)
{
    if (!metadataSource_)
        return;
    // The watcher dies with the viewer, so a late result for a closed viewer goes nowhere; a
    // result for an item paged away fails the generation check.
    auto* watcher = new QFutureWatcher<MediaMetadata>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, generation] {
        watcher->deleteLater();
        if (generation != generation_ || watcher->future().resultCount() < 1)
            return;
        metadata_ = watcher->future().result();
        Q_EMIT metadataChanged();
    });
    watcher->setFuture(metadataSource_(item));
}

void PhotoDetailView::setPreviewImages(const QImage& fullImage, const QImage& placeholder)
{
    fullImage_ = fullImage;
    placeholder_ = placeholder;
    updateBlurredPlaceholder();
    Q_EMIT fullImageChanged();
    updateSpinner();
    update();
}

PhotoDetailView::Shown PhotoDetailView::shown() const
{
    if (videoView_)
        return videoView_->surface()->hasPicture() ? Shown::video : Shown::spinner;
    if (!fullImage_.isNull())
        return Shown::fullImage;
    if (liveView_ && liveView_->loadFailed() && !placeholder_.isNull())
        return Shown::sharpPlaceholder;
    if (!blurredPlaceholder_.isNull())
        return Shown::blurredPlaceholder;
    // A picture that failed with nothing to stand in says so instead of spinning for ever.
    return fullImageFailed_ ? Shown::loadFailure : Shown::spinner;
}

void PhotoDetailView::updateSpinner()
{
    if (shown() == Shown::spinner && !state_.isClosed())
        spinnerTimer_.start();
    else
        spinnerTimer_.stop();
    update();
}

void PhotoDetailView::updateBlurredPlaceholder()
{
    if (placeholder_.isNull()) {
        blurredPlaceholder_ = QImage();
        return;
    }
    // Blur radius 8 points on screen, worked out at the size the placeholder is shown.
    const QRectF shown = fitted(placeholder_.size(), contentRect());
    const double shownWidth = std::max(shown.width(), 1.0);
    // Shrink first so the radius is a few pixels; smooth scaling up on paint does the rest.
    const double pixelsPerPoint = placeholder_.width() / shownWidth;
    const double radius = 8 * pixelsPerPoint;
    const double shrink = std::clamp(2.0 / std::max(radius, 0.01), 0.05, 1.0);
    QImage small = placeholder_.scaled(std::max(1, int(placeholder_.width() * shrink)),
                                       std::max(1, int(placeholder_.height() * shrink)), Qt::IgnoreAspectRatio,
                                       Qt::SmoothTransformation);
    blurredPlaceholder_ = boxBlurred(small, std::max(1, int(std::lround(radius * shrink))));
}

void PhotoDetailView::setShowingInfo(bool showing)
{
    if (showingInfo_ == showing)
        return;
    showingInfo_ = showing;
    cardFade_->stop();
    cardFade_->setStartValue(static_cast<QGraphicsOpacityEffect*>(card_->graphicsEffect())->opacity());
    cardFade_->setEndValue(showing ? 1.0 : 0.0);
    if (showing) {
        card_->show();
        layoutChildren();
    }
    cardFade_->start();
}

QRectF PhotoDetailView::contentRect() const
{
    return QRectF(rect()).adjusted(contentPadding, contentPadding, -contentPadding, -contentPadding);
}

QRectF PhotoDetailView::transformedContentRect() const
{
    const QRectF area = contentRect();
    const QPointF pan = state_.panOffset();
    const double s = state_.contentScale();
    const QPointF centre = area.center() + QPointF(state_.horizontalOffset() + pan.x(), state_.dragOffset() + pan.y());
    return QRectF(centre.x() - area.width() * s / 2, centre.y() - area.height() * s / 2, area.width() * s,
                  area.height() * s);
}

void PhotoDetailView::layoutChildren()
{
    const int y = (height() - arrowSize) / 2;
    previous_->move(arrowPadding, y);
    next_->move(width() - arrowPadding - arrowSize, y);
    // A hidden arrow keeps its place: the other one never moves.
    const bool active = state_.arrowsActive();
    // Video and live-photo frames follow the picture's offset, scale and fade.
    for (QWidget* media : {static_cast<QWidget*>(videoView_.data()), static_cast<QWidget*>(liveView_.data())}) {
        if (!media)
            continue;
        media->setGeometry(transformedContentRect().toAlignedRect());
        const double opacity = state_.contentOpacity();
        auto* fade = qobject_cast<QGraphicsOpacityEffect*>(media->graphicsEffect());
        if (opacity < 1 && !fade) {
            fade = new QGraphicsOpacityEffect(media);
            media->setGraphicsEffect(fade);
        }
        if (fade)
            fade->setOpacity(opacity);
        media->setVisible(opacity > 0);
        media->lower();
    }
    previous_->setVisible(active && state_.hasPrevious());
    next_->setVisible(active && state_.hasNext());
    if (card_->isVisible()) {
        const QSize hint = card_->sizeHint();
        const int w = std::min({hint.width(), MediaInfoCard::maximumCardWidth, std::max(width() - 48, 1)});
        const int h = std::min(card_->heightForWidth(w) > 0 ? card_->heightForWidth(w) : hint.height(), height());
        card_->setGeometry((width() - w) / 2, (height() - h) / 2, w, h);
        card_->raise();
    }
}

void PhotoDetailView::resizeEvent(QResizeEvent*)
{
    updateBlurredPlaceholder();
    layoutChildren();
}

void PhotoDetailView::showEvent(QShowEvent*)
{
    if (state_.isClosed())
        return;
    if (!coveredBySheet_) {
        swipeMonitor_.start();
        magnifyMonitor_.start();
    }
    layoutChildren();
}

void PhotoDetailView::setCoveredBySheet(bool covered)
{
    if (coveredBySheet_ == covered)
        return;
    coveredBySheet_ = covered;
    if (covered) {
        setShowingInfo(false);
        // Paused where it is; closing the sheet does not resume it.
        if (player_)
            player_->pause();
        swipeMonitor_.stop();
        magnifyMonitor_.stop();
    } else if (isVisible() && !state_.isClosed()) {
        swipeMonitor_.start();
        magnifyMonitor_.start();
    }
    if (infoIcon_)
        infoIcon_->setVisible(!covered && !state_.isDismissing());
}

void PhotoDetailView::hideEvent(QHideEvent*)
{
    swipeMonitor_.stop();
    magnifyMonitor_.stop();
}

void PhotoDetailView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0, 0, 0, int(std::lround(state_.backdropOpacity() * 255))));
    const QRectF area = contentRect();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setOpacity(state_.contentOpacity());
    const QPointF pan = state_.panOffset();
    painter.translate(area.center());
    painter.translate(state_.horizontalOffset() + pan.x(), state_.dragOffset() + pan.y());
    painter.scale(state_.contentScale(), state_.contentScale());
    painter.translate(-area.center());
    switch (shown()) {
    case Shown::video: break;
    case Shown::fullImage: painter.drawImage(fitted(fullImage_.size(), area), fullImage_); break;
    case Shown::sharpPlaceholder: painter.drawImage(fitted(placeholder_.size(), area), placeholder_); break;
    case Shown::blurredPlaceholder: painter.drawImage(fitted(placeholder_.size(), area), blurredPlaceholder_); break;
    case Shown::spinner: paintSpinner(painter, area.center(), spinnerStep_); break;
    case Shown::loadFailure: paintLoadFailure(painter, area); break;
    }
}

void connectLibraryViewer(LibraryDetailView& page, ThumbnailProvider& thumbnails)
{
    QObject::connect(&page, &LibraryDetailView::viewerRequested, &page,
                     [page = &page, thumbnails = &thumbnails](const MediaItem&, int index) {
                         auto* viewer = new PhotoDetailView(page->displayedItems(), index, *thumbnails);
                         QObject::connect(viewer, &PhotoDetailView::currentIndexChanged, page,
                                          &LibraryDetailView::setOpenIndex);
                         QObject::connect(viewer, &PhotoDetailView::closeRequested, page,
                                          &LibraryDetailView::closeDetailPreview);
                         QPointer<PhotoGridView> grid(page->grid());
                         viewer->setReservedCacheBytes(
                             [grid] { return grid ? grid->visibleThumbnailBytes() : qint64(0); });
                         page->presentViewer(viewer);
                         viewer->attachToolbar(page->viewerToolbar());
                     });
}

} // namespace app
