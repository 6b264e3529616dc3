#pragma once

#include <QString>
#include <QWidget>


namespace app {

class VideoPlayer;

class VideoSurfaceWidget;

// The moving part of a live photo, laid over its still: opens the paired movie, and once it
// loads and the still has been decoded (setStillDecoded), shows the "实况" badge and plays the
// movie once, with sound, then returns to the still.
// A press on the picture plays it again. A missing or broken movie leaves the still, without
// badge and without an error, whether it fails to load or while it plays; a press then tries it
// again. Each load is settled exactly once.
class LivePhotoView : public QWidget {
    Q_OBJECT
public:
    enum class Phase { loading, shown, failed };

    LivePhotoView(const QString& imageURL, const QString& videoURL, QWidget* parent = nullptr);
    ~LivePhotoView() override;

    const QString& imageURL() const { return imageURL_; }
    Phase phase() const { return phase_; }
    bool loadFailed() const { return phase_ == Phase::failed; }
    bool isPlayingMovie() const { return playing_; }
    bool isBadgeVisible() const;
    int playbackCount() const { return playbackCount_; }
    VideoSurfaceWidget* surface() const { return surface_; }

    void replay();
    // The still's full picture arrived, or will not: the movie may decode now.
    void setStillDecoded();

Q_SIGNALS:
    void phaseChanged(LivePhotoView::Phase phase);
    // The movie stopped playing and the still shows again.
    void playbackEnded();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void settle(Phase phase);
    void finishPlayback();
    void fail();
    void load();

    QString imageURL_;
    QString videoURL_;
    Phase phase_ = Phase::loading;
    bool playing_ = false;
    int playbackCount_ = 0;
    bool stillDecoded_ = false;
    VideoPlayer* player_ = nullptr;
    VideoSurfaceWidget* surface_;
    QWidget* badge_;
};

} // namespace app
