#pragma once

#include <QImage>
#include <QMutex>
#include <QSize>
#include <QThreadPool>
#include <QVideoFrame>
#include <QWidget>

#include <atomic>
#include <memory>

class QVideoSink;

namespace app {

// Turns video frames into images off the main thread, colours and scaling in one pass (split over
// a few threads). A frame that arrives while another is converted replaces any frame still
// waiting, so a slow conversion drops frames instead of queueing them; the result is already
// scaled to the size it will be painted at.
class VideoFrameConverter : public QObject {
    Q_OBJECT
public:
    explicit VideoFrameConverter(QObject* parent = nullptr);
    ~VideoFrameConverter() override;

    // Any thread.
    void submit(const QVideoFrame& frame);
    // The box the image must fit in, in device pixels.
    void setTargetSize(QSize size);
    QImage latest() const;
    // Frames handed over so far, and which of them latest() was made from (counted from 1).
    quint64 submitted() const;
    quint64 latestNumber() const;
    quint64 converted() const;
    quint64 dropped() const;
    // Milliseconds spent converting and scaling frames to images, in all.
    double conversionMs() const;

Q_SIGNALS:
    // On the main thread, at most one pending at a time.
    void imageReady();
    // On the main thread, once: a frame came whose planes do not match its format and was dropped.
    void unreadableFrame();

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    QThreadPool worker_;
};

// Paints the newest frame of a video sink, aspect fitted; the main thread only draws a picture
// that is ready.
class VideoSurfaceWidget : public QWidget {
    Q_OBJECT
public:
    explicit VideoSurfaceWidget(QWidget* parent = nullptr);
    ~VideoSurfaceWidget() override;

    QVideoSink* videoSink() const { return sink_; }
    VideoFrameConverter* converter() const { return converter_; }
    bool hasFrame() const { return !image_.isNull(); }
    // Shown in place of the picture when the clip's frames cannot be read; empty otherwise.
    QString errorText() const { return errorText_; }
    // A frame or the error text: something stands where the video goes.
    bool hasPicture() const { return hasFrame() || !errorText_.isEmpty(); }
    QImage currentImage() const { return image_; }
    // Forgets the frames shown, so a replay never starts on the previous run's end.
    void clear();
    // Shows the first frame again: a stopped player draws nothing when it goes back to the start.
    void showFirstFrame();
    // Distinct frames that reached the screen: counted when painted, not when decoded.
    quint64 framesPainted() const { return framesPainted_; }

Q_SIGNALS:
    // A new picture, or the error text, is there to be painted.
    void pictureChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QVideoSink* sink_;
    VideoFrameConverter* converter_;
    QImage image_;
    QImage firstImage_;
    QString errorText_;
    // Frames handed over up to this one were shown past: their pictures no longer replace the first.
    quint64 heldBefore_ = 0;
    quint64 imageNumber_ = 0;
    quint64 paintedNumber_ = 0;
    quint64 framesPainted_ = 0;
};

} // namespace app
