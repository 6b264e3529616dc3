#include "app/views/map/MediaLocationMapView.h"

#include "app/services/map/PlaceNameResolver.h"
#include "app/services/thumbnails/ThumbnailProvider.h"
#include "app/views/library/LibraryDetailView.h"
#include "app/views/map/MapPin.h"
#include "app/views/common/SymbolIcon.h"
#include "app/views/common/ViewStyle.h"

#include <QButtonGroup>
#include <QFileInfo>
#include <QFrame>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QStackedWidget>
#include <QTextDocument>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace app {

namespace {
constexpr double pinSize = 56;
constexpr double smallestLatitudeSpan = 0.0008;
constexpr double largestLatitudeSpan = 80;

QFont sizedFont(QFont font, int pixels, QFont::Weight weight)
{
    font.setPixelSize(pixels);
    font.setWeight(weight);
    return font;
}
} // namespace

MapStylePicker::MapStylePicker(QWidget* parent) : QWidget(parent), group_(new QButtonGroup(this))
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    group_->setExclusive(true);
    const int count = int(std::size(mapStyleChoices));
    for (int i = 0; i < count; ++i) {
        auto* button = new QToolButton(this);
        button->setText(mapStyleChoices[i].label);
        button->setCheckable(true);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        button->setObjectName(mapStyleChoices[i].rawValue);
        group_->addButton(button, i);
        row->addWidget(button);
    }
    group_->button(0)->setChecked(true);
    connect(group_, &QButtonGroup::idClicked, this,
            [this](int id) { Q_EMIT styleChanged(mapStyleChoices[std::clamp(id, 0, 2)].style); });
}

MapStyle MapStylePicker::style() const
{
    return mapStyleChoices[std::clamp(group_->checkedId(), 0, 2)].style;
}

QToolButton* MapStylePicker::button(MapStyle style) const
{
    for (int i = 0; i < int(std::size(mapStyleChoices)); ++i)
        if (mapStyleChoices[i].style == style)
            return static_cast<QToolButton*>(group_->button(i));
    return nullptr;
}

// The item's thumbnail pinned at its coordinate.
class MediaLocationMapView::PinOverlay final : public MapOverlay {
public:
    PinOverlay(const MediaLocationMapView& sheet, Coordinate where) : sheet_(sheet), where_(where) {}
    void paint(QPainter& painter, const MapCamera& camera) override
    {
        const QPointF at = camera.viewportPoint(where_);
        MapPin::paint(painter, at, pinSize, sheet_.thumbnail_, {}, sheet_.palette());
        const qreal scale = painter.device()->devicePixelRatioF();
        if (title_.isNull() || title_.devicePixelRatio() != scale)
            title_ = MapPin::titlePicture(sheet_.pinTitle(), sheet_.font(), scale);
        MapPin::paintTitles(painter, {MapPin::titleRect(at, pinSize, title_)}, {title_});
    }

private:
    const MediaLocationMapView& sheet_;
    Coordinate where_;
    QImage title_;
};

MediaLocationMapView::MediaLocationMapView(const MediaItem& item, QWidget* parent)
    : MediaLocationMapView(item, Services{&ThumbnailProvider::shared(), &PlaceNameResolver::shared(), {}}, parent)
{
}

MediaLocationMapView::MediaLocationMapView(const MediaItem& item, const Services& services, QWidget* parent)
    : QDialog(parent), item_(item)
{
    setWindowModality(Qt::WindowModal);
    setWindowTitle(QFileInfo(item.url).fileName());
    setMinimumSize(760, 520);
    resize(900, 640);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* titleBar = new QWidget(this);
    titleBar->setAutoFillBackground(true);
    auto* bar = new QHBoxLayout(titleBar);
    bar->setContentsMargins(14, 10, 14, 10);
    bar->setSpacing(12);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    coordinateLabel_ = new QLabel(titleBar);
    coordinateLabel_->setFont(sizedFont(font(), 12, QFont::Medium));
    QPalette secondary = coordinateLabel_->palette();
    secondary.setColor(QPalette::WindowText, ViewStyle::secondaryColor(secondary));
    coordinateLabel_->setPalette(secondary);
    coordinateLabel_->hide();
    placeLabel_ = new QLabel(titleBar);
    placeLabel_->setFont(sizedFont(font(), 13, QFont::DemiBold));
    placeLabel_->setTextFormat(Qt::PlainText);
    placeLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    texts->addWidget(coordinateLabel_);
    texts->addWidget(placeLabel_);
    bar->addLayout(texts, 1);
    bar->addSpacing(8);
    picker_ = new MapStylePicker(titleBar);
    picker_->setFixedWidth(200);
    picker_->setToolTip("地图样式");
    picker_->setAccessibleName("样式");
    bar->addWidget(picker_);
    closeButton_ = new QToolButton(titleBar);
    closeButton_->setIcon(SymbolIcon::icon("xmark.circle.fill"));
    closeButton_->setIconSize(QSize(18, 18));
    closeButton_->setAutoRaise(true);
    closeButton_->setToolTip("关闭");
    connect(closeButton_, &QToolButton::clicked, this, &QDialog::reject);
    bar->addWidget(closeButton_);
    layout->addWidget(titleBar);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setForegroundRole(QPalette::Mid);
    layout->addWidget(divider);

    body_ = new QStackedWidget(this);
    map_ = new SlippyMapWidget(services.map, body_);
    unavailable_ = new ContentUnavailableView(body_);
    body_->addWidget(map_);
    body_->addWidget(unavailable_);
    layout->addWidget(body_, 1);

    // Zoom buttons over the map's top-leading corner.
    auto* controls = new QFrame(map_);
    controls->setObjectName("zoomControls");
    controls->setStyleSheet("#zoomControls { background: rgba(255,255,255,240); border: 1px solid rgba(0,0,0,26);"
                            " border-radius: 8px; }");
    auto* shadow = new QGraphicsDropShadowEffect(controls);
    shadow->setColor(QColor(0, 0, 0, 31));
    shadow->setBlurRadius(12);
    shadow->setOffset(0, 2);
    controls->setGraphicsEffect(shadow);
    auto* stack = new QVBoxLayout(controls);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    const auto zoomButton = [controls](const QString& symbol, const QString& help) {
        auto* button = new QToolButton(controls);
        button->setIcon(SymbolIcon::icon(symbol));
        button->setIconSize(QSize(13, 13));
        button->setFixedSize(32, 32);
        button->setAutoRaise(true);
        button->setToolTip(help);
        return button;
    };
    zoomIn_ = zoomButton("plus", "放大");
    zoomOut_ = zoomButton("minus", "缩小");
    auto* line = new QFrame(controls);
    line->setFrameShape(QFrame::HLine);
    line->setFixedWidth(24);
    line->setForegroundRole(QPalette::Mid);
    stack->addWidget(zoomIn_);
    stack->addWidget(line, 0, Qt::AlignHCenter);
    stack->addWidget(zoomOut_);
    controls->move(12, 12);
    controls->adjustSize();
    connect(zoomIn_, &QToolButton::clicked, this, [this] { zoom(1 / 1.8); });
    connect(zoomOut_, &QToolButton::clicked, this, [this] { zoom(1.8); });

    connect(picker_, &MapStylePicker::styleChanged, map_, &SlippyMapWidget::setStyle);
    connect(map_, &SlippyMapWidget::regionChangeEnded, this,
            [this](const CoordinateRegion& region) { currentRegion_ = region; });

    placeTitle_ = "正在解析位置…";
    placeLabel_->setText(placeTitle_);
    prepare(services);
}

MediaLocationMapView::~MediaLocationMapView()
{
    map_->setOverlay(nullptr);
}

void MediaLocationMapView::prepare(const Services& services)
{
    const std::optional<Coordinate> where = item_.coordinate();
    if (!where) {
        coordinateLabel_->hide();
        placeTitle_ = "无位置信息";
        placeLabel_->setText(placeTitle_);
        unavailable_->setContent("mappin.slash", "没有位置信息", "当前照片或视频没有 GPS 坐标，无法在地图上定位。");
        body_->setCurrentWidget(unavailable_);
        picker_->setEnabled(false);
        return;
    }
    coordinateLabel_->setText(QString::asprintf("%.6f, %.6f", where->latitude, where->longitude));
    coordinateLabel_->show();
    pin_ = std::make_unique<PinOverlay>(*this, *where);
    map_->setOverlay(pin_.get());
    currentRegion_ = {*where, 0.04, 0.04};
    map_->setRegion(currentRegion_);

    if (services.thumbnails)
        services.thumbnails->thumbnail(item_, pinSize, devicePixelRatioF(), this, [this](const QImage& image) {
            thumbnail_ = image;
            map_->update();
        });
    if (services.placeNames)
        services.placeNames->resolve(*where, this, [this](const QString& name) {
            placeTitle_ = name;
            placeLabel_->setText(name);
            // A tooltip guesses rich text; a name from a server is text, whatever it holds.
            placeLabel_->setToolTip(Qt::convertFromPlainText(name, Qt::WhiteSpaceNoWrap));
        });
}

void MediaLocationMapView::zoom(double factor)
{
    CoordinateRegion region = currentRegion_;
    // Back to the item, wherever the user has dragged the map.
    if (const std::optional<Coordinate> where = item_.coordinate())
        region.center = *where;
    const double latitude = std::clamp(currentRegion_.latitudeDelta * factor, smallestLatitudeSpan, largestLatitudeSpan);
    region.longitudeDelta = currentRegion_.longitudeDelta / std::max(currentRegion_.latitudeDelta, 1e-12) * latitude;
    region.latitudeDelta = latitude;
    currentRegion_ = region.clamped();
    map_->setRegion(currentRegion_, 200);
}

QString MediaLocationMapView::pinTitle() const
{
    return QFileInfo(item_.url).fileName();
}

QString MediaLocationMapView::placeTitle() const
{
    return placeTitle_;
}

QString MediaLocationMapView::coordinateText() const
{
    return coordinateLabel_->text();
}

bool MediaLocationMapView::isCoordinateShown() const
{
    return !coordinateLabel_->isHidden();
}

QWidget* MediaLocationMapView::currentBody() const
{
    return body_->currentWidget();
}

} // namespace app
