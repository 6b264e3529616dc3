#pragma once

#include "app/models/MediaItem.h"
#include "app/platform/playback/VideoPlayer.h"
#include "app/services/library/MediaMetadataExtractor.h"
#include "app/services/thumbnails/ThumbnailProvider.h"
#include "app/views/video/LivePhotoView.h"
#include "app/views/viewer/PhotoDetailState.h"
#include "app/views/video/VideoPlaybackView.h"
#include "app/views/viewer/ViewerChrome.h"
#include "app/views/common/ViewerToolbarHost.h"
#include "app/views/viewer/ZoomSliderControl.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QFuture>
#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>

class QPropertyAnimation;

#include <functional>

#include <memory>
#include <optional>

namespace app {

class MediaInfoCard;

class LibraryDetailView;

// The full-size viewer laid over a page: one item at a time on a dark backdrop, paged with the
// arrow keys, the arrow buttons and trackpad swipes, zoomed with pinches, Ctrl + wheel and the
// zoom keys, closed with Escape or a swipe down. It paints backdrop and picture itself; arrows and the card are child widgets, and
// its toolbar items go into the page's ViewerToolbarHost.
//
// Closing: closeRequested() is emitted at most once (Escape, the end of a swipe-down); the
// caller then deletes the viewer. Deleting it without that signal (a rescan) is fine as well.
class PhotoDetailView : public QWidget {
    Q_OBJECT
public:
    // Where metadata comes from; tests pass their own.
    using MetadataSource = std::function<QFuture<MediaMetadata>(const MediaItem&)>;

    PhotoDetailView(MediaItems items, int currentIndex, ThumbnailProvider& thumbnails, QWidget* parent = nullptr);
    ~PhotoDetailView() override;

    // Puts the viewer's items into the host; the host deletes them when it is cleared.
    void attachToolbar(ViewerToolbarHost* host);
    ViewerToolbarHost* toolbar() const { return toolbar_; }
    ViewerInfoIcon* infoIcon() const { return infoIcon_; }
    ZoomSliderControl* zoomSlider() const { return zoomSlider_; }
    MediaInfoCard* infoCard() const { return card_; }
    // The current video's player and view, or the current live photo's view; null otherwise.
    VideoPlayer* player() const { return player_; }
    VideoPlaybackView* videoView() const { return videoView_; }
    LivePhotoView* liveView() const { return liveView_; }
    // Pauses and drops the current video.
    void tearDownPlayer();
    // What the picture area shows, front to back; the spinner turns only while it is shown.
    enum class Shown { video, fullImage, sharpPlaceholder, blurredPlaceholder, spinner, loadFailure };
    Shown shown() const;
    bool isSpinnerTurning() const { return spinnerTimer_.isActive(); }

    const MediaItems& items() const { return items_; }
    int currentIndex() const { return state_.currentIndex(); }
    const MediaItem& currentItem() const { return items_[state_.currentIndex()]; }
    const PhotoDetailState& state() const { return state_; }

    // The pictures on screen. A rotation preview replaces them; the next item's load drops them.
    QImage fullImage() const { return fullImage_; }
    QImage placeholder() const { return placeholder_; }
    void setPreviewImages(const QImage& fullImage, const QImage& placeholder);
    // Back to the centre of a zoomed picture, keeping the zoom.
    void resetPan()
    {
        state_.resetPan();
        update();
    }
    const std::optional<MediaMetadata>& metadata() const { return metadata_; }
    // Reads the current item's metadata again (after its file changed).
    void reloadMetadata();
    bool isShowingInfo() const { return showingInfo_; }
    // A sheet over the viewer (the item's map): trackpad paging and zooming and the metadata card
    // are off until it closes.
    void setCoveredBySheet(bool covered);
    bool isCoveredBySheet() const { return coveredBySheet_; }
    bool isClosed() const { return state_.isClosed(); }

    void setMetadataSource(MetadataSource source) { metadataSource_ = std::move(source); }
    // Bytes of the thumbnail cache others need kept (the grid's visible cells): neighbours are
    // preloaded only while the budget holds them beside these and the current picture.
    void setReservedCacheBytes(std::function<qint64()> reserved) { reservedBytes_ = std::move(reserved); }
    // Paths of the neighbours being made or already cached ahead of paging.
    QStringList preloadedPaths() const;
    void setClock(PhotoDetailState::Clock clock);
    // Runs the animations up to the clock's now, as a frame would.
    void advanceAnimations();

    static constexpr double fullImagePointSize = 2200;

    ViewerArrowButton* previousButton() const { return previous_; }
    ViewerArrowButton* nextButton() const { return next_; }

public Q_SLOTS:
    void requestClose();

Q_SIGNALS:
    // The index binding: the viewer paged to this index of items().
    void currentIndexChanged(int index);
    // An item starts loading; item-specific state (pending rotations, alerts) resets here.
    void itemLoading(const MediaItem& item);
    // fullImage() changed (loaded, dropped or replaced).
    void fullImageChanged();
    void metadataChanged();
    void dismissingChanged(bool dismissing);
    // Emitted at most once; the receiver removes the viewer.
    void closeRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    // `+`, `-`, Ctrl + =, Ctrl + - and `0`; false for any other key.
    bool handleZoomKey(QKeyEvent* event);
    void loadCurrentItem();
    void requestMetadata(const MediaItem& item, quint64 generation);
    void requestFullImage(const MediaItem& item);
    void acceptFullImage(const QString& path, const QImage& image);
    void preloadNeighbours();
    void setShowingInfo(bool showing);
    void afterStateChange();
    void onFrame();
    void layoutChildren();
    QRectF contentRect() const;
    QRectF transformedContentRect() const;
    void startVideo(const MediaItem& item);
    void updateBlurredPlaceholder();
    void updateSpinner();

    MediaItems items_;
    ThumbnailProvider& thumbnails_;
    PhotoDetailState state_;
    MetadataSource metadataSource_;
    std::shared_ptr<QElapsedTimer> elapsed_;
    QTimer frameTimer_;
    TrackpadSwipeMonitor swipeMonitor_;
    TrackpadMagnifyMonitor magnifyMonitor_;

    quint64 generation_ = 0;
    ThumbnailTicket fullTicket_;
    QHash<QString, ThumbnailTicket> preloads_;
    std::function<qint64()> reservedBytes_;
    QImage fullImage_;
    QImage placeholder_;
    QImage blurredPlaceholder_;
    bool fullImageFailed_ = false;
    std::optional<MediaMetadata> metadata_;
    bool showingInfo_ = false;
    bool coveredBySheet_ = false;
    bool wasDismissing_ = false;
    std::optional<QPointF> dragFrom_;

    QPointer<ViewerToolbarHost> toolbar_;
    QPointer<ViewerInfoIcon> infoIcon_;
    QPointer<ZoomSliderControl> zoomSlider_;
    MediaInfoCard* card_ = nullptr;
    QPropertyAnimation* cardFade_ = nullptr;
    QPointer<VideoPlayer> player_;
    QPointer<VideoPlaybackView> videoView_;
    QPointer<LivePhotoView> liveView_;
    ViewerArrowButton* previous_ = nullptr;
    ViewerArrowButton* next_ = nullptr;
    QTimer spinnerTimer_;
    int spinnerStep_ = 0;
};

// Opens the viewer over the page whenever it asks for one, and wires the index binding and the
// close action.
void connectLibraryViewer(LibraryDetailView& page, ThumbnailProvider& thumbnails);

} // namespace app
