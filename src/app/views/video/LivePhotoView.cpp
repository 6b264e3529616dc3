#include "app/views/video/LivePhotoView.h"

#include "app/platform/playback/VideoPlayer.h"
#include "app/views/common/SymbolIcon.h"
#include "app/views/video/VideoSurfaceWidget.h"

#include <QFileInfo>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>

#include <utility>

namespace app {

namespace {

// "实况" with its symbol on a dark capsule.
class LiveBadge : public QWidget {
public:
    explicit LiveBadge(QWidget* parent) : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        QFont f = font();
        f.setPixelSize(11);
        f.setWeight(QFont::DemiBold);
        setFont(f);
        const int text = fontMetrics().horizontalAdvance("实况");
        setFixedSize(8 + 12 + 4 + text + 8, 4 + std::max(12, fontMetrics().height()) + 4);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0, 0, 0, int(0.4 * 255)));
        const double r = height() / 2.0;
        painter.drawRoundedRect(QRectF(rect()), r, r);
        painter.drawPixmap(8, (height() - 12) / 2,
                           SymbolIcon::pixmap("livephoto", QSize(12, 12), Qt::white, devicePixelRatioF()));
        painter.setPen(Qt::white);
        painter.drawText(QRect(8 + 12 + 4, 0, width() - 24, height()), Qt::AlignVCenter | Qt::AlignLeft, "实况");
    }
};

} // namespace

LivePhotoView::LivePhotoView(const QString& imageURL, const QString& videoURL, QWidget* parent)
    : QWidget(parent), imageURL_(imageURL), videoURL_(videoURL), surface_(new VideoSurfaceWidget(this)),
      badge_(new LiveBadge(this))
{
    surface_->hide();
    badge_->hide();
    load();
}

LivePhotoView::~LivePhotoView()
{
    // The player goes first, so no frame reaches a sink being destroyed.
    delete player_;
    player_ = nullptr;
}

void LivePhotoView::load()
{
    phase_ = Phase::loading;
    if (videoURL_.isEmpty() || !QFileInfo(videoURL_).isFile()) {
        phase_ = Phase::failed;
        return;
    }
    if (!player_) {
        player_ = new VideoPlayer(this);
        surface_->setPlayer(player_);
        connect(player_, &VideoPlayer::errorOccurred, this, &LivePhotoView::fail);
        connect(player_, &VideoPlayer::mediaStatusChanged, this, [this](QMediaPlayer::MediaStatus status) {
            switch (status) {
            case QMediaPlayer::LoadedMedia:
                if (phase_ == Phase::loading)
                    settle(Phase::shown);
                break;
            case QMediaPlayer::InvalidMedia: fail(); break;
            case QMediaPlayer::EndOfMedia: finishPlayback(); break;
            default: break;
            }
        });
    }
    player_->setSource(QUrl::fromLocalFile(videoURL_));
}

bool LivePhotoView::isBadgeVisible() const
{
    return !badge_->isHidden();
}

void LivePhotoView::settle(Phase phase)
{
    if (phase_ != Phase::loading)
        return;
    phase_ = phase;
    if (phase == Phase::shown) {
        badge_->show();
        badge_->raise();
        if (stillDecoded_)
            replay();
    } else {
        surface_->hide();
    }
    Q_EMIT phaseChanged(phase_);
}

void LivePhotoView::setStillDecoded()
{
    if (std::exchange(stillDecoded_, true))
        return;
    // The first play waited for the still: the movie's pictures would have kept it from its decode.
    if (phase_ == Phase::shown && playbackCount_ == 0)
        replay();
}

void LivePhotoView::fail()
{
    if (phase_ == Phase::loading) {
        settle(Phase::failed);
        return;
    }
    // The movie failed while it played: back to the still, which is no longer live.
    const bool wasPlaying = std::exchange(playing_, false);
    surface_->hide();
    surface_->clear();
    badge_->hide();
    if (phase_ != Phase::failed) {
        phase_ = Phase::failed;
        Q_EMIT phaseChanged(phase_);
    }
    if (wasPlaying)
        Q_EMIT playbackEnded();
}

void LivePhotoView::replay()
{
    if (phase_ == Phase::failed) {
        // The drive may be back, or the file mended: the movie is tried again.
        load();
        return;
    }
    if (phase_ != Phase::shown || playing_ || !player_)
        return;
    playing_ = true;
    ++playbackCount_;
    surface_->clear();
    surface_->show();
    badge_->raise();
    player_->setPosition(0);
    player_->play();
    if (player_->playbackState() != QMediaPlayer::PlayingState)
        fail();
}

void LivePhotoView::finishPlayback()
{
    if (!playing_)
        return;
    playing_ = false;
    surface_->hide();
    // Back to the start, with no picture decoded for a surface no one sees.
    if (player_)
        player_->stop();
    Q_EMIT playbackEnded();
}

void LivePhotoView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        replay();
    QWidget::mousePressEvent(event);
}

void LivePhotoView::resizeEvent(QResizeEvent*)
{
    surface_->setGeometry(rect());
    badge_->move(12, 12);
}

} // namespace app
