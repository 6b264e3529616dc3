#include "app/views/video/VideoSurfaceWidget.h"

#include "app/platform/playback/VideoPlayer.h"

#include <QPainter>

namespace app {

VideoSurfaceWidget::VideoSurfaceWidget(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

VideoSurfaceWidget::~VideoSurfaceWidget() = default;

void VideoSurfaceWidget::setPlayer(VideoPlayer* player)
{
    if (player_)
        disconnect(player_, nullptr, this, nullptr);
    player_ = player;
    if (!player)
        return;
    player->setTargetSize(size() * devicePixelRatioF());
    connect(player, &VideoPlayer::frameChanged, this, &VideoSurfaceWidget::takeFrame);
    connect(player, &VideoPlayer::errorOccurred, this,
            [this](QMediaPlayer::Error, const QString& text) { showError(text); });
}

void VideoSurfaceWidget::takeFrame()
{
    if (!player_ || player_->frameNumber() <= heldBefore_)
        return;
    image_ = player_->currentFrame();
    imageNumber_ = player_->frameNumber();
    if (firstImage_.isNull())
        firstImage_ = image_;
    update();
    Q_EMIT pictureChanged();
}

void VideoSurfaceWidget::showError(const QString& text)
{
    if (text.isEmpty())
        return;
    errorText_ = text;
    update();
    Q_EMIT pictureChanged();
}

void VideoSurfaceWidget::clear()
{
    image_ = QImage();
    firstImage_ = QImage();
    errorText_.clear();
    update();
}

void VideoSurfaceWidget::showFirstFrame()
{
    if (firstImage_.isNull())
        return;
    image_ = firstImage_;
    if (player_)
        heldBefore_ = player_->frameNumber();
    update();
}

void VideoSurfaceWidget::resizeEvent(QResizeEvent*)
{
    if (player_)
        player_->setTargetSize(size() * devicePixelRatioF());
}

void VideoSurfaceWidget::paintEvent(QPaintEvent*)
{
    if (image_.isNull() && errorText_.isEmpty())
        return;
    QPainter painter(this);
    if (!image_.isNull()) {
        if (imageNumber_ != paintedNumber_) {
            paintedNumber_ = imageNumber_;
            ++framesPainted_;
        }
        const QSizeF shown = QSizeF(image_.size()).scaled(QSizeF(size()), Qt::KeepAspectRatio);
        const QRectF target((width() - shown.width()) / 2, (height() - shown.height()) / 2, shown.width(),
                            shown.height());
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, image_);
    }
    if (errorText_.isEmpty())
        return;
    // A clip that stopped part way says why over its last picture, dimmed so the words read.
    if (!image_.isNull())
        painter.fillRect(rect(), QColor(0, 0, 0, 160));
    painter.setPen(Qt::white);
    painter.drawText(rect().adjusted(16, 16, -16, -16), Qt::AlignCenter | Qt::TextWordWrap, errorText_);
}

} // namespace app
