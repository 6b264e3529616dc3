#pragma once

#include "app/platform/decoding/PixelBudget.h"

#include <QAudioFormat>
#include <QSize>
#include <QString>

extern "C" {
#include <libavutil/rational.h>
}

#include <atomic>
#include <cstdint>
#include <memory>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct SwrContext;

namespace app {

class AudioOutput;

// One file opened for playing: its container, its picture decoder (bounded by the size checked
// before it opened, and leased from the pixel budget for as long as its pictures live) and, when a
// device takes it, its sound decoder with a resampler. Used by one reading thread.
struct PlaybackMedia {
    PlaybackMedia();
    ~PlaybackMedia();
    PlaybackMedia(const PlaybackMedia&) = delete;
    PlaybackMedia& operator=(const PlaybackMedia&) = delete;

    // Opens `path`, reading it only while `quitting` is unset. On failure, `failure` says what the
    // user is told, or is empty when the opening was given up because `quitting` was set.
    // `queued` is how many decoded pictures wait to be shown besides those in the decoder.
    bool open(const QString& path, std::atomic<bool>& quitting, AudioOutput* audio, int queued,
              QString& failure);
    // Forgets the sound decoded before a seek.
    void restartSound();
    // Whether the container's header says how long the clip is, so that data ending short of it
    // means a file cut short.
    bool declaresDuration() const;
    double seconds(int64_t ts, AVRational base) const { return double(ts) * av_q2d(base) - start; }

    static QString unreadableText();
    static QString corruptText();

    AVFormatContext* format = nullptr;
    AVCodecContext* video = nullptr;
    AVCodecContext* audio = nullptr;
    SwrContext* resampler = nullptr;
    AVFrame* soundFrame = nullptr;
    int videoIndex = -1, audioIndex = -1;
    AVRational videoBase{1, 1}, audioBase{1, 1};
    double start = 0, duration = 0, frameDuration = 1.0 / 30;
    QAudioFormat sound;
    // Clockwise quarter turns of the display matrix, in degrees.
    int rotation = 0;
    // What the decoder may allocate for a picture.
    QSize coded;

private:
    void openSound(AudioOutput& output);

    // Released after the destructor has freed every picture.
    std::unique_ptr<PixelBudget::Lease> lease_;
};

} // namespace app
