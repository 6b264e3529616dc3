#include "app/views/video/LivePhotoView.h"
#include "app/views/video/PlaybackModel.h"
#include "app/views/video/VideoPlaybackView.h"
#include "app/views/video/VideoSurfaceWidget.h"

#include "support/app/Fixtures.h"
#include "support/app/MediaClips.h"

#include "support/app/Eventually.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include <QApplication>
#include <QFile>
#include "app/platform/playback/VideoPlayer.h"
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QUrl>

using namespace app;


TEST(PlaybackModel, timeTexts)
{
    const QList<std::pair<double, QString>> rows = {
        {0, "0:00"},       {0.4, "0:00"},       {0.5, "0:01"},        {59.5, "1:00"},
        {61, "1:01"},      {3599.6, "60:00"},   {3725, "62:05"},      {-1, "0:00"},
        {qInf(), "0:00"},  {-qInf(), "0:00"},   {qQNaN(), "0:00"},
    };
    for (const auto& [seconds, text] : rows) {
        SCOPED_TRACE(seconds);
        EXPECT_EQ(PlaybackModel::format(seconds), text);
    }
}

TEST(PlaybackModel, playsToTheEndBackToZeroAndScrubsExactly)
{
    QTemporaryDir dir;
    const QString clip = app::test::makeClip(dir, "two-seconds.mp4");
    VideoPlayer player;
    VideoPlaybackView view(&player);
    view.resize(480, 320);
    view.show();
    PlaybackModel* model = view.model();
    ASSERT_TRUE(model->isStarted());
    EXPECT_EQ(view.durationText(), "0:00");
    EXPECT_EQ(view.slider()->maximum(), 1);

    QSignalSpy statuses(&player, &VideoPlayer::mediaStatusChanged);
    const auto sawEnd = [&] {
        for (const QList<QVariant>& args : statuses)
            if (args.at(0).value<QMediaPlayer::MediaStatus>() == QMediaPlayer::EndOfMedia)
                return true;
        return false;
    };
    player.setSource(QUrl::fromLocalFile(clip));
    player.play();
    ASSERT_EVENTUALLY(model->duration() > 1.9);
    EXPECT_LT(model->duration(), 2.2);
    EXPECT_EQ(view.durationText(), "0:02");
    ASSERT_EVENTUALLY(view.surface()->hasFrame());
    ASSERT_EVENTUALLY(model->isPlaying());

    // The end: not playing, back at zero, and no replay.
    ASSERT_EVENTUALLY(sawEnd());
    EXPECT_EQ(player.position(), 0);
    EXPECT_FALSE(model->isPlaying());
    EXPECT_EQ(model->currentTime(), 0);
    EXPECT_EQ(view.elapsedText(), "0:00");
    EXPECT_EQ(view.playButton()->toolTip(), "播放");

    // Dropping the slider after the end shows the picture there, not only the time.
    const QImage first = view.surface()->currentImage();
    quint64 before = player.frameNumber();
    model->beginScrub();
    model->setScrubTime(1.0);
    model->endScrub();
    ASSERT_EVENTUALLY(player.frameNumber() > before);
    ASSERT_EVENTUALLY(view.surface()->currentImage() != first);
    // A click on the track takes the handle there and seeks, rather than stepping a page.
    QSlider* slider = view.slider();
    before = player.frameNumber();
    QTest::mouseClick(slider, Qt::LeftButton, {}, QPoint(slider->width() * 3 / 4, slider->height() / 2));
    EXPECT_GT(slider->value(), slider->maximum() / 2);
    ASSERT_EVENTUALLY(player.frameNumber() > before);
    EXPECT_LT(std::abs(player.position() - slider->value()), 50);

    // Play again starts from the beginning.
    model->beginScrub();
    model->setScrubTime(0);
    model->endScrub();
    view.playButton()->click();
    EXPECT_TRUE(model->isPlaying());
    ASSERT_EVENTUALLY(player.position() > 200);
    view.playButton()->click();
    EXPECT_FALSE(model->isPlaying());

    // While scrubbing, ticks leave the slider alone; the drop seeks exactly there.
    model->beginScrub();
    model->setScrubTime(1.5);
    model->tick();
    EXPECT_EQ(model->displayTime(), 1.5);
    EXPECT_EQ(view.elapsedText(), "0:02");
    model->endScrub();
    EXPECT_FALSE(model->isScrubbing());
    EXPECT_EQ(model->currentTime(), 1.5);
    ASSERT_EVENTUALLY_EQ(player.position(), qint64(1500));

    // A player that refuses to play, its file broken, is not shown as playing.
    QFile broken(dir.filePath("broken.mp4"));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write(QByteArray(4096, 'x'));
    broken.close();
    player.setSource(QUrl::fromLocalFile(broken.fileName()));
    ASSERT_EVENTUALLY(player.mediaStatus() == QMediaPlayer::InvalidMedia);
    view.playButton()->click();
    EXPECT_FALSE(model->isPlaying());
    EXPECT_EQ(view.playButton()->toolTip(), "播放");

    // Stopping twice, or before a start, does nothing.
    model->stop();
    model->stop();
    EXPECT_FALSE(model->isStarted());
    PlaybackModel idle(&player);
    idle.stop();
    EXPECT_FALSE(idle.isStarted());
}

// Hovered, the play button's white symbol still stands out from what is behind it.
TEST(VideoPlaybackView, playSymbolStaysReadableWhenHovered)
{
    VideoPlaybackView view(nullptr);
    view.resize(480, 320);
    view.show();
    QToolButton* play = view.playButton();
    const auto contrast = [&] {
        const QImage shot = view.grab(QRect(play->mapTo(&view, QPoint()), play->size())).toImage();
        std::vector<int> lightness;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x)
                lightness.push_back(qGray(shot.pixel(x, y)));
        std::sort(lightness.begin(), lightness.end());
        // The symbol's brightest pixels against the button's typical one.
        return lightness.back() - lightness[lightness.size() / 2];
    };
    const int resting = contrast();
    QHoverEvent enter(QEvent::HoverEnter, QPointF(5, 5), play->mapToGlobal(QPointF(5, 5)), QPointF(-1, -1));
    play->setAttribute(Qt::WA_UnderMouse, true);
    QApplication::sendEvent(play, &enter);
    const int hovered = contrast();
    EXPECT_GT(resting, 80);
    EXPECT_GT(hovered, 80);
}

TEST(LivePhotoView, playsOnceAndReturnsToTheStillOrStaysStillWithoutItsMovie)
{
    QTemporaryDir dir;
    const QString still = app::test::fixturePath("media/live-photo-pair/IMG_0001.HEIC");
    const QString movie = app::test::fixturePath("media/live-photo-pair/IMG_0001.MOV");
    const QString broken = dir.filePath("broken.mov");
    {
        QFile file(broken);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'x'));
    }
    // It opens, then none of its pictures decode: found out while it plays.
    const QString spoiled = app::test::makeClip(dir, "spoiled.mov", "160x120", 1,
                                                {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", "-movflags",
                                                 "+faststart"});
    ASSERT_TRUE(app::test::spoilMediaData(spoiled, 0));
    struct Row {
        const char* name;
        QString movie;
        LivePhotoView::Phase phase;
        bool badge;
        int plays;
    };
    const QList<Row> rows = {
        {"a movie plays once", movie, LivePhotoView::Phase::shown, true, 1},
        {"a missing movie", dir.filePath("gone.mov"), LivePhotoView::Phase::failed, false, 0},
        {"a broken movie", broken, LivePhotoView::Phase::failed, false, 0},
        {"a movie whose pictures do not decode", spoiled, LivePhotoView::Phase::failed, false, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LivePhotoView view(still, row.movie);
        view.resize(320, 240);
        view.show();
        QSignalSpy ended(&view, &LivePhotoView::playbackEnded);
        ASSERT_EVENTUALLY(view.phase() != LivePhotoView::Phase::loading);
        // The movie waits for its still's picture, which the viewer says is in.
        EXPECT_EQ(view.playbackCount(), 0);
        view.setStillDecoded();
        ASSERT_EVENTUALLY_EQ(ended.count(), row.plays);
        EXPECT_EQ(view.phase(), row.phase);
        EXPECT_EQ(view.isBadgeVisible(), row.badge);
        if (auto* player = view.findChild<VideoPlayer*>()) {
            // The player says again that it is loaded (it does after a seek or a stop), and the
            // view is hidden and shown: neither starts the movie a second time.
            Q_EMIT player->mediaStatusChanged(QMediaPlayer::LoadedMedia);
            Q_EMIT player->mediaStatusChanged(QMediaPlayer::BufferedMedia);
            view.hide();
            view.show();
        }
        EXPECT_EQ(view.playbackCount(), row.plays);
        EXPECT_FALSE(view.isPlayingMovie());
        EXPECT_FALSE(view.surface()->isVisible());
        EXPECT_EQ(view.surface()->errorText(), QString());
        if (row.phase == LivePhotoView::Phase::failed && row.plays > 0) {
            // A press tries the movie again; it fails again the same way.
            QTest::mouseClick(&view, Qt::LeftButton);
            ASSERT_EVENTUALLY_EQ(ended.count(), row.plays + 1);
            EXPECT_EQ(view.phase(), LivePhotoView::Phase::failed);
            EXPECT_FALSE(view.isBadgeVisible());
        }
    }

    // A press plays it again, once more.
    LivePhotoView view(still, movie);
    view.show();
    view.setStillDecoded();
    QSignalSpy ended(&view, &LivePhotoView::playbackEnded);
    ASSERT_EVENTUALLY_EQ(ended.count(), 1);
    QTest::mouseClick(&view, Qt::LeftButton);
    EXPECT_TRUE(view.isPlayingMovie());
    ASSERT_EVENTUALLY_EQ(ended.count(), 2);
    EXPECT_EQ(view.playbackCount(), 2);
}
