#pragma once

#include "app/views/video/PlaybackModel.h"

#include <QWidget>

class QLabel;
class QSlider;
class QToolButton;

namespace app {

class VideoSurfaceWidget;

// One video with the program's own controls over it: play/pause, the elapsed time, a scrubbing
// slider and the duration in a dark capsule at the bottom. The caller owns and starts the player.
class VideoPlaybackView : public QWidget {
    Q_OBJECT
public:
    explicit VideoPlaybackView(VideoPlayer* player, QWidget* parent = nullptr);
    ~VideoPlaybackView() override;

    PlaybackModel* model() const { return model_; }
    VideoSurfaceWidget* surface() const { return surface_; }
    QToolButton* playButton() const { return play_; }
    QSlider* slider() const { return slider_; }
    QString elapsedText() const;
    QString durationText() const;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void refresh();

    PlaybackModel* model_;
    VideoSurfaceWidget* surface_;
    QWidget* controls_;
    QToolButton* play_;
    QLabel* elapsed_;
    QSlider* slider_;
    QLabel* duration_;
};

} // namespace app
