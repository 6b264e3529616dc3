#include "app/views/video/VideoPlaybackView.h"

#include "app/views/common/SymbolIcon.h"
#include "app/views/video/VideoSurfaceWidget.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProxyStyle>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>

#include <cmath>

namespace app {

namespace {

// The capsule behind the controls.
class ControlsCapsule : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0, 0, 0, int(0.45 * 255)));
        const double r = height() / 2.0;
        painter.drawRoundedRect(QRectF(rect()), r, r);
    }
};

QLabel* timeLabel(QWidget* parent, Qt::Alignment alignment)
{
    auto* label = new QLabel(parent);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(11);
    font.setWeight(QFont::Medium);
    label->setFont(font);
    label->setFixedWidth(42);
    label->setAlignment(alignment | Qt::AlignVCenter);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, QColor(255, 255, 255, int(0.9 * 255)));
    label->setPalette(pal);
    return label;
}

constexpr int sliderScale = 1000; // milliseconds

// A press on the slider's track takes the handle there, as players do, instead of a page step:
// the press, any drag and the release then seek as a drag of the handle does.
class SeekSliderStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returned) const override
    {
        if (hint == SH_Slider_AbsoluteSetButtons)
            return Qt::LeftButton;
        return QProxyStyle::styleHint(hint, option, widget, returned);
    }
};

} // namespace

VideoPlaybackView::VideoPlaybackView(VideoPlayer* player, QWidget* parent)
    : QWidget(parent), model_(new PlaybackModel(player, this)), surface_(new VideoSurfaceWidget(this))
{
    surface_->setPlayer(player);

    controls_ = new ControlsCapsule(this);
    auto* row = new QHBoxLayout(controls_);
    row->setContentsMargins(14, 10, 14, 10);
    row->setSpacing(12);
    play_ = new QToolButton(controls_);
    play_->setAutoRaise(true);
    play_->setFixedSize(20, 20);
    play_->setIconSize(QSize(14, 14));
    play_->setFocusPolicy(Qt::NoFocus);
    // The style's light hover panel would swallow the white symbol: a faint white disc instead.
    play_->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; border-radius: 10px; }"
                                        "QToolButton:hover { background: rgba(255, 255, 255, 46); }"
                                        "QToolButton:pressed { background: rgba(255, 255, 255, 71); }"));
    elapsed_ = timeLabel(controls_, Qt::AlignRight);
    slider_ = new QSlider(Qt::Horizontal, controls_);
    slider_->setFocusPolicy(Qt::NoFocus);
    auto* sliderStyle = new SeekSliderStyle;
    sliderStyle->setParent(slider_);
    slider_->setStyle(sliderStyle);
    duration_ = timeLabel(controls_, Qt::AlignLeft);
    row->addWidget(play_);
    row->addWidget(elapsed_);
    row->addWidget(slider_, 1);
    row->addWidget(duration_);

    connect(play_, &QToolButton::clicked, model_, &PlaybackModel::togglePlayPause);
    connect(slider_, &QSlider::sliderPressed, model_, &PlaybackModel::beginScrub);
    connect(slider_, &QSlider::sliderMoved, model_,
            [this](int value) { model_->setScrubTime(double(value) / sliderScale); });
    connect(slider_, &QSlider::sliderReleased, model_, [this] {
        model_->setScrubTime(double(slider_->value()) / sliderScale);
        model_->endScrub();
    });
    connect(model_, &PlaybackModel::changed, this, &VideoPlaybackView::refresh);
    connect(model_, &PlaybackModel::ended, surface_, &VideoSurfaceWidget::showFirstFrame);
    refresh();
}

VideoPlaybackView::~VideoPlaybackView()
{
    model_->stop();
}

QString VideoPlaybackView::elapsedText() const
{
    return elapsed_->text();
}

QString VideoPlaybackView::durationText() const
{
    return duration_->text();
}

void VideoPlaybackView::refresh()
{
    play_->setIcon(SymbolIcon::icon(model_->isPlaying() ? "pause.fill" : "play.fill", Qt::white));
    play_->setToolTip(model_->isPlaying() ? "暂停" : "播放");
    elapsed_->setText(PlaybackModel::format(model_->displayTime()));
    duration_->setText(PlaybackModel::format(model_->duration()));
    // An unknown duration still gives the slider a range: 0 to 0.001 seconds.
    const double upper = model_->duration() > 0.001 ? model_->duration() : 0.001;
    const QSignalBlocker block(slider_);
    slider_->setRange(0, std::max(1, int(std::lround(upper * sliderScale))));
    if (!slider_->isSliderDown())
        slider_->setValue(int(std::lround(model_->displayTime() * sliderScale)));
}

void VideoPlaybackView::showEvent(QShowEvent*)
{
    model_->start();
}

void VideoPlaybackView::hideEvent(QHideEvent*)
{
    model_->stop();
}

void VideoPlaybackView::resizeEvent(QResizeEvent*)
{
    surface_->setGeometry(rect());
    const int w = std::max(0, width() - 40);
    const int h = controls_->sizeHint().height();
    controls_->setGeometry(20, height() - 16 - h, w, h);
    controls_->raise();
}

} // namespace app
