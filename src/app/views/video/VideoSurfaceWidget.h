#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>

namespace app {

class VideoPlayer;

// Paints the newest picture of a video player, aspect fitted, and tells the player the size to
// make its pictures for; the main thread only draws a picture that is ready.
class VideoSurfaceWidget : public QWidget {
    Q_OBJECT
public:
    explicit VideoSurfaceWidget(QWidget* parent = nullptr);
    ~VideoSurfaceWidget() override;

    void setPlayer(VideoPlayer* player);
    VideoPlayer* player() const { return player_; }
    bool hasFrame() const { return !image_.isNull(); }
    // Shown in place of the picture when the clip cannot be played; empty otherwise.
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
    void takeFrame();
    void showError(const QString& text);

    QPointer<VideoPlayer> player_;
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
