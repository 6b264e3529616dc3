#include "app/views/video/VideoSurfaceWidget.h"

#include "app/views/video/VideoFrameScaler.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QPainter>
#include <QPointer>
#include <QVideoSink>

#include <utility>

namespace app {

struct VideoFrameConverter::Shared {
    mutable QMutex mutex;
    QVideoFrame pending;
    bool hasPending = false;
    bool running = false;
    bool notifyPosted = false;
    QSize target;
    QImage latest;
    quint64 submitted = 0;
    quint64 pendingNumber = 0;
    quint64 latestNumber = 0;
    quint64 converted = 0;
    quint64 dropped = 0;
    bool unreadablePosted = false;
    double conversionMs = 0;
    // Used by the worker only.
    VideoFrameScaler scaler;
};

VideoFrameConverter::VideoFrameConverter(QObject* parent) : QObject(parent), shared_(std::make_shared<Shared>())
{
    worker_.setMaxThreadCount(1);
    worker_.setObjectName(QStringLiteral("video frames"));
}

VideoFrameConverter::~VideoFrameConverter()
{
    {
        QMutexLocker lock(&shared_->mutex);
        shared_->hasPending = false;
        shared_->pending = QVideoFrame();
    }
    worker_.waitForDone();
}

void VideoFrameConverter::setTargetSize(QSize size)
{
    QMutexLocker lock(&shared_->mutex);
    shared_->target = size;
}

void VideoFrameConverter::submit(const QVideoFrame& frame)
{
    QMutexLocker lock(&shared_->mutex);
    if (shared_->hasPending)
        ++shared_->dropped;
    shared_->pending = frame;
    shared_->pendingNumber = ++shared_->submitted;
    shared_->hasPending = true;
    if (shared_->running)
        return;
    shared_->running = true;
    QPointer<VideoFrameConverter> self(this);
    worker_.start([state = shared_, self] {
        for (;;) {
            QVideoFrame frame;
            QSize target;
            quint64 number = 0;
            {
                QMutexLocker lock(&state->mutex);
                if (!state->hasPending) {
                    state->running = false;
                    return;
                }
                frame = std::move(state->pending);
                state->pending = QVideoFrame();
                state->hasPending = false;
                number = state->pendingNumber;
                target = state->target;
            }
            QElapsedTimer timer;
            timer.start();
            QImage image = state->scaler.convert(frame, target);
            frame = QVideoFrame();
            // A frame without a picture (the end of the stream) keeps the last one on screen.
            if (image.isNull()) {
                bool first = false;
                if (state->scaler.rejected() > 0) {
                    QMutexLocker lock(&state->mutex);
                    first = !std::exchange(state->unreadablePosted, true);
                }
                if (first)
                    QMetaObject::invokeMethod(
                        self.data(), [self] { if (self) Q_EMIT self->unreadableFrame(); }, Qt::QueuedConnection);
                continue;
            }
            bool post = false;
            {
                QMutexLocker lock(&state->mutex);
                state->latest = std::move(image);
                state->latestNumber = number;
                ++state->converted;
                state->conversionMs += double(timer.nsecsElapsed()) / 1e6;
                post = !state->notifyPosted;
                state->notifyPosted = true;
            }
            if (post)
                QMetaObject::invokeMethod(
                    self.data(),
                    [state, self] {
                        {
                            QMutexLocker lock(&state->mutex);
                            state->notifyPosted = false;
                        }
                        if (self)
                            Q_EMIT self->imageReady();
                    },
                    Qt::QueuedConnection);
        }
    });
}

QImage VideoFrameConverter::latest() const
{
    QMutexLocker lock(&shared_->mutex);
    return shared_->latest;
}

quint64 VideoFrameConverter::submitted() const
{
    QMutexLocker lock(&shared_->mutex);
    return shared_->submitted;
}

quint64 VideoFrameConverter::latestNumber() const
{
    QMutexLocker lock(&shared_->mutex);
    return shared_->latestNumber;
}

quint64 VideoFrameConverter::converted() const
{
    QMutexLocker lock(&shared_->mutex);
    return shared_->converted;
}

double VideoFrameConverter::conversionMs() const
{
    QMutexLocker lock(&shared_->mutex);
    return shared_->conversionMs;
}

quint64 VideoFrameConverter::dropped() const
{
    QMutexLocker lock(&shared_->mutex);
    return shared_->dropped;
}

VideoSurfaceWidget::VideoSurfaceWidget(QWidget* parent)
    : QWidget(parent), sink_(new QVideoSink(this)), converter_(new VideoFrameConverter(this))
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    // The sink may call from a decoding thread: hand the frame over directly, never queue it.
    connect(sink_, &QVideoSink::videoFrameChanged, converter_, &VideoFrameConverter::submit, Qt::DirectConnection);
    connect(converter_, &VideoFrameConverter::imageReady, this, [this] {
        if (converter_->latestNumber() <= heldBefore_)
            return;
        image_ = converter_->latest();
        imageNumber_ = converter_->latestNumber();
        if (firstImage_.isNull())
            firstImage_ = image_;
        update();
        Q_EMIT pictureChanged();
    });
    connect(converter_, &VideoFrameConverter::unreadableFrame, this, [this] {
        if (!image_.isNull())
            return;
        errorText_ = QStringLiteral("无法播放这个视频：它的画面格式不受支持。");
        update();
        Q_EMIT pictureChanged();
    });
}

VideoSurfaceWidget::~VideoSurfaceWidget()
{
    disconnect(sink_, nullptr, converter_, nullptr);
}

void VideoSurfaceWidget::clear()
{
    image_ = QImage();
    firstImage_ = QImage();
    update();
}

void VideoSurfaceWidget::showFirstFrame()
{
    if (firstImage_.isNull())
        return;
    image_ = firstImage_;
    heldBefore_ = converter_->submitted();
    update();
}

void VideoSurfaceWidget::resizeEvent(QResizeEvent*)
{
    converter_->setTargetSize(size() * devicePixelRatioF());
}

void VideoSurfaceWidget::paintEvent(QPaintEvent*)
{
    if (image_.isNull()) {
        if (!errorText_.isEmpty()) {
            QPainter painter(this);
            painter.setPen(Qt::white);
            painter.drawText(rect().adjusted(16, 16, -16, -16), Qt::AlignCenter | Qt::TextWordWrap, errorText_);
        }
        return;
    }
    if (imageNumber_ != paintedNumber_) {
        paintedNumber_ = imageNumber_;
        ++framesPainted_;
    }
    QPainter painter(this);
    const QSizeF shown = QSizeF(image_.size()).scaled(QSizeF(size()), Qt::KeepAspectRatio);
    const QRectF target((width() - shown.width()) / 2, (height() - shown.height()) / 2, shown.width(), shown.height());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, image_);
}

} // namespace app
