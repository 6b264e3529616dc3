#include "app/views/map/SlippyMapWidget.h"

#include <QDesktopServices>
#include <QEasingCurve>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QNativeGestureEvent>
#include <QPainter>
#include <QSettings>
#include <QTextDocument>
#include <QTimer>
#include <QToolTip>
#include <QVariantAnimation>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <utility>

namespace app {

namespace {
const QColor placeholderFill(0xEB, 0xE8, 0xE2);
const QColor placeholderLine(0xDD, 0xD9, 0xD1);
constexpr double dragThreshold = 4;
// One wheel notch zooms by half a level.
constexpr double levelsPerNotch = 0.5;
} // namespace

SlippyMapWidget::SlippyMapWidget(QWidget* parent) : SlippyMapWidget(Environment{}, parent) {}

SlippyMapWidget::SlippyMapWidget(const Environment& environment, QWidget* parent)
    : QWidget(parent), settings_(environment.settings), loader_(new MapTileLoader(environment.loader, this))
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(false);
    setFocusPolicy(Qt::WheelFocus);
    setCursor(Qt::OpenHandCursor);
    camera_.setViewportSize(size());
    connect(loader_, &MapTileLoader::tilesChanged, this, qOverload<>(&QWidget::update));
    wheelEnd_ = new QTimer(this);
    wheelEnd_->setSingleShot(true);
    wheelEnd_->setInterval(200);
    connect(wheelEnd_, &QTimer::timeout, this, &SlippyMapWidget::endChange);
    setStyle(MapStyle::standard);
}

SlippyMapWidget::~SlippyMapWidget() = default;

void SlippyMapWidget::setStyle(MapStyle style)
{
    style_ = style;
    if (settings_) {
        source_ = MapStyleSource::forStyle(style, *settings_);
    } else {
        QSettings settings;
        source_ = MapStyleSource::forStyle(style, settings);
    }
    cameraChanged();
}

void SlippyMapWidget::setOverlay(MapOverlay* overlay)
{
    overlay_ = overlay;
    update();
}

void SlippyMapWidget::setRegion(const CoordinateRegion& region, int durationMs)
{
    stopAnimation();
    // The size may have changed without a resize event yet (a hidden widget gets it when shown).
    camera_.setViewportSize(size());
    if (!isVisible()) {
        // Framed again once the widget has its real size on screen.
        pendingRegion_ = region;
        camera_.setRegion(region);
        return;
    }
    MapCamera target = camera_;
    target.setRegion(region);
    if (durationMs <= 0) {
        camera_ = target;
        cameraChanged();
        endChange();
        return;
    }
    const Coordinate from = camera_.center();
    const double fromZoom = camera_.zoom();
    const Coordinate to = target.center();
    const double toZoom = target.zoom();
    // The short way round the globe.
    const double dLon = wrapLongitude(to.longitude - from.longitude);
    animation_ = new QVariantAnimation(this);
    animation_->setStartValue(0.0);
    animation_->setEndValue(1.0);
    animation_->setDuration(durationMs);
    animation_->setEasingCurve(QEasingCurve::InOutQuad);
    connect(animation_, &QVariantAnimation::valueChanged, this, [=, this](const QVariant& value) {
        const double t = value.toDouble();
        camera_.setZoom(fromZoom + (toZoom - fromZoom) * t);
        camera_.setCenter({from.latitude + (to.latitude - from.latitude) * t, from.longitude + dLon * t});
        cameraChanged();
    });
    connect(animation_, &QVariantAnimation::finished, this, [this] {
        animation_->deleteLater();
        animation_ = nullptr;
        endChange();
    });
    animation_->start();
}

void SlippyMapWidget::stopAnimation()
{
    if (!animation_)
        return;
    animation_->disconnect(this);
    animation_->stop();
    animation_->deleteLater();
    animation_ = nullptr;
}

void SlippyMapWidget::endChange()
{
    // Tiles that failed get another chance with every new view.
    loader_->cameraMoved();
    Q_EMIT regionChangeEnded(camera_.visibleRegion());
}

void SlippyMapWidget::cameraChanged()
{
    // The tiles wanted follow the camera, not the paints: a repaint never asks for anything, and a
    // hidden map asks for nothing.
    if (!isVisible())
        return;
    QList<QUrl> wanted;
    for (const Tile& tile : visibleTiles())
        if (!wanted.contains(tile.url))
            wanted.append(tile.url);
    loader_->setWanted(wanted);
    update();
}

QList<SlippyMapWidget::Tile> SlippyMapWidget::visibleTiles() const
{
    QList<Tile> tiles;
    const QSizeF view = camera_.viewportSize();
    const QPointF middle(view.width() / 2, view.height() / 2);
    for (int layerIndex = 0; layerIndex < source_.layers.size(); ++layerIndex) {
        const TileLayer& layer = source_.layers[layerIndex];
        if (layer.urlTemplate.isEmpty())
            continue;
        const int tileZoom = std::clamp(int(std::lround(camera_.zoom())), 0, std::max(0, layer.maximumZoom));
        // Past the layer's deepest zoom its tiles are drawn enlarged.
        const double scale = std::exp2(camera_.zoom() - tileZoom);
        const double shown = MapCamera::tileSize * scale;
        const int count = 1 << tileZoom;
        const QPointF centre = MapCamera::project(camera_.center(), tileZoom);
        const double left = centre.x() - middle.x() / scale;
        const double top = centre.y() - middle.y() / scale;
        const int x0 = int(std::floor(left / MapCamera::tileSize));
        const int x1 = int(std::ceil((left + view.width() / scale) / MapCamera::tileSize)) - 1;
        const int y0 = std::max(0, int(std::floor(top / MapCamera::tileSize)));
        const int y1 = std::min(count - 1, int(std::ceil((top + view.height() / scale) / MapCamera::tileSize)) - 1);
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) {
                const int wrappedX = ((x % count) + count) % count;
                const QPointF origin((x * MapCamera::tileSize - left) * scale, (y * MapCamera::tileSize - top) * scale);
                // Whole pixels, so neighbouring tiles meet without seams.
                const QRectF rect(QPointF(std::round(origin.x()), std::round(origin.y())),
                                  QPointF(std::round(origin.x() + shown), std::round(origin.y() + shown)));
                tiles.append({layerIndex, layer.url(tileZoom, wrappedX, y), rect});
            }
    }
    // Nearest the centre first; for one place, the base layer before the labels.
    std::stable_sort(tiles.begin(), tiles.end(), [middle](const Tile& a, const Tile& b) {
        const double da = QLineF(a.rect.center(), middle).length();
        const double db = QLineF(b.rect.center(), middle).length();
        if (std::abs(da - db) > 0.5)
            return da < db;
        return a.layer < b.layer;
    });
    return tiles;
}

void SlippyMapWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), placeholderFill);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);

    const QList<Tile> tiles = visibleTiles();
    for (int layer = 0; layer < source_.layers.size(); ++layer)
        for (const Tile& tile : tiles) {
            if (tile.layer != layer)
                continue;
            if (const QImage* image = loader_->tile(tile.url)) {
                painter.drawImage(tile.rect, *image, QRectF(image->rect()));
            } else if (layer == 0) {
                // Not loaded (yet, or ever): a quiet grid in place of the tile.
                painter.setPen(QPen(placeholderLine, 1));
                painter.setBrush(placeholderFill);
                painter.drawRect(tile.rect.adjusted(0.5, 0.5, -0.5, -0.5));
            }
        }

    if (overlay_) {
        painter.save();
        painter.setRenderHint(QPainter::Antialiasing);
        overlay_->paint(painter, camera_);
        painter.restore();
    }

    if (!source_.attribution.isEmpty()) {
        const QRectF box = attributionRect();
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(255, 255, 255, 200));
        painter.drawRoundedRect(box, 3, 3);
        QFont small = font();
        small.setPixelSize(10);
        painter.setFont(small);
        painter.setPen(QColor(0x33, 0x33, 0x33));
        painter.drawText(box.adjusted(4, 0, -4, 0), Qt::AlignVCenter | Qt::AlignRight, source_.attribution);
    }
}

QRectF SlippyMapWidget::attributionRect() const
{
    QFont small = font();
    small.setPixelSize(10);
    const QFontMetricsF metrics(small);
    const double width = std::min(metrics.horizontalAdvance(source_.attribution) + 8, double(this->width()));
    const double height = metrics.height() + 4;
    return QRectF(this->width() - width, this->height() - height, width, height);
}

void SlippyMapWidget::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    camera_.setViewportSize(size());
    if (const std::optional<CoordinateRegion> region = std::exchange(pendingRegion_, std::nullopt)) {
        camera_.setRegion(*region);
        cameraChanged();
        endChange();
        return;
    }
    cameraChanged();
}

void SlippyMapWidget::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    loader_->setWanted({});
}

void SlippyMapWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    camera_.setViewportSize(size());
    if (pendingRegion_)
        camera_.setRegion(*pendingRegion_);
    cameraChanged();
    Q_EMIT viewportResized(size());
}

void SlippyMapWidget::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    stopAnimation();
    pressed_ = true;
    dragging_ = false;
    pressPoint_ = lastDragPoint_ = event->position();
}

void SlippyMapWidget::mouseMoveEvent(QMouseEvent* event)
{
    if (!pressed_)
        return;
    if (!dragging_ && QLineF(event->position(), pressPoint_).length() < dragThreshold)
        return;
    if (!dragging_) {
        dragging_ = true;
        setCursor(Qt::ClosedHandCursor);
    }
    camera_.panBy(event->position() - lastDragPoint_);
    lastDragPoint_ = event->position();
    cameraChanged();
}

void SlippyMapWidget::mouseReleaseEvent(QMouseEvent* event)
{
    if (!pressed_ || event->button() != Qt::LeftButton)
        return QWidget::mouseReleaseEvent(event);
    pressed_ = false;
    if (dragging_) {
        dragging_ = false;
        setCursor(Qt::OpenHandCursor);
        endChange();
        return;
    }
    if (overlay_ && overlay_->click(event->position(), camera_))
        return;
    if (source_.attributionLink.isValid() && attributionRect().contains(event->position()))
        QDesktopServices::openUrl(source_.attributionLink);
}

void SlippyMapWidget::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    stopAnimation();
    camera_.zoomAround(1, event->position());
    cameraChanged();
    endChange();
}

void SlippyMapWidget::wheelEvent(QWheelEvent* event)
{
    stopAnimation();
    if (!event->pixelDelta().isNull() && event->phase() != Qt::NoScrollPhase) {
        // A trackpad scroll moves the map; a wheel zooms it.
        camera_.panBy(QPointF(event->pixelDelta()));
    } else {
        camera_.zoomAround(event->angleDelta().y() / 120.0 * levelsPerNotch, event->position());
    }
    cameraChanged();
    wheelEnd_->start();
    event->accept();
}

bool SlippyMapWidget::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QString text = overlay_ ? overlay_->toolTip(help->pos(), camera_) : QString();
        // Names come from files and servers: always plain text, whatever Qt would guess.
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), Qt::convertFromPlainText(text, Qt::WhiteSpaceNoWrap), this);
        return true;
    }
    if (event->type() == QEvent::NativeGesture) {
        auto* gesture = static_cast<QNativeGestureEvent*>(event);
        if (gesture->gestureType() == Qt::ZoomNativeGesture) {
            stopAnimation();
            camera_.zoomAround(std::log2(std::max(0.1, 1 + gesture->value())),
                               mapFromGlobal(gesture->globalPosition()));
            cameraChanged();
            wheelEnd_->start();
            return true;
        }
    }
    return QWidget::event(event);
}

} // namespace app
