#include "app/views/viewer/ZoomSliderControl.h"

#include "app/views/common/SymbolIcon.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>

#include <cmath>

namespace app {

namespace {

QToolButton* capsuleButton(const QString& symbol, const QString& help, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setIcon(SymbolIcon::icon(symbol));
    button->setIconSize(QSize(11, 11));
    button->setFixedSize(22, 22);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setToolTip(help);
    return button;
}

} // namespace

ZoomSliderControl::ZoomSliderControl(double minZoom, double maxZoom, double step, QWidget* parent)
    : QWidget(parent), min_(minZoom), max_(std::max(minZoom, maxZoom)), step_(step), zoom_(minZoom)
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(10, 4, 10, 4);
    row->setSpacing(8);
    minus_ = capsuleButton("minus", "缩小", this);
    plus_ = capsuleButton("plus", "放大", this);
    slider_ = new QSlider(Qt::Horizontal, this);
    slider_->setRange(int(std::lround(min_ * sliderUnits)), int(std::lround(max_ * sliderUnits)));
    slider_->setSingleStep(int(std::lround(step_ * sliderUnits)));
    slider_->setPageStep(int(std::lround(step_ * sliderUnits)));
    slider_->setFixedWidth(132);
    slider_->setFocusPolicy(Qt::NoFocus);
    slider_->setAttribute(Qt::WA_MacSmallSize);
    row->addWidget(minus_);
    row->addWidget(slider_);
    row->addWidget(plus_);
    setAccessibleName("缩放");
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    connect(minus_, &QToolButton::clicked, this, [this] { setZoom(zoom_ - step_); });
    connect(plus_, &QToolButton::clicked, this, [this] { setZoom(zoom_ + step_); });
    connect(slider_, &QSlider::valueChanged, this, [this](int value) { setZoom(double(value) / sliderUnits); });
    refresh();
}

void ZoomSliderControl::setZoom(double value)
{
    double v = std::min(std::max(value, min_), max_);
    if (v <= min_ + 0.001)
        v = min_;
    if (std::abs(v - zoom_) <= 0.0001)
        return;
    zoom_ = v;
    refresh();
    if (onChange)
        onChange(v);
}

void ZoomSliderControl::setZoomScale(double zoom)
{
    if (zoom == zoom_)
        return;
    zoom_ = zoom;
    refresh();
}

QString ZoomSliderControl::percentLabel() const
{
    return QString::number(std::lround(zoom_ * 100)) + "%";
}

void ZoomSliderControl::refresh()
{
    {
        // Showing the value must not come back as a change.
        const QSignalBlocker block(slider_);
        slider_->setValue(int(std::lround(zoom_ * sliderUnits)));
    }
    minus_->setEnabled(zoom_ > min_ + 0.001);
    plus_->setEnabled(zoom_ < max_ - 0.001);
    slider_->setToolTip("缩放 " + percentLabel());
    setAccessibleDescription(percentLabel());
}

void ZoomSliderControl::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF capsule = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const double radius = capsule.height() / 2;
    QColor fill = palette().color(QPalette::Button);
    fill.setAlphaF(0.92f);
    QColor stroke = palette().color(QPalette::WindowText);
    stroke.setAlphaF(0.08f);
    painter.setPen(QPen(stroke, 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(capsule, radius, radius);
}

} // namespace app
