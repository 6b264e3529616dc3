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

struct AVCodec;
struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct SwrContext;

namespace app {

class AudioOutput;

// One file opened for playing: its container, its picture decoder (bounded by the size checked
// before it opened, and leased from the pixel budget while it decodes) and, when a device takes
// it, its sound decoder with a resampler. The container and the sound are used by the reading
// thread, the picture decoder by the decoding one.
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
    // Takes the lease of the decoder's pictures, waiting its turn; false when `quitting` came first.
    bool holdPictures(const std::atomic<bool>& quitting);
    // Lets the decoder's pictures go with their lease: the decoder starts afresh, at a seek.
    // False when it could not be opened again.
    bool releasePictures();
    // Lets the picture decoder and its lease go for good, as the player closes.
    void closePictures();
    // Whether the header says how long the picture stream is, so that its data ending short of that
    // means a file cut short. The container's length counts sound, subtitle and data tracks that
    // may run longer than the pictures.
    bool declaresDuration() const;
    // Media time from the first picture.
    double seconds(int64_t ts, AVRational base) const { return double(ts) * av_q2d(base) - pictureStart; }

    static QString unreadableText();
    static QString corruptText();

    // Sound a camera makes: a stream outside these, or a block of more than a second, cannot be
    // played, whatever a decoder would take.
    static constexpr int minimumSampleRate = 8000;
    static constexpr int maximumSampleRate = 384000;
    static constexpr int maximumChannels = 16;
    static bool soundWithin(int sampleRate, int channels, std::int64_t samples);
    // Whether a decoded block may be resampled: within the bounds and of the stream's own shape.
    bool soundBlockWithin(const AVFrame& block) const;
    // Gives up the sound for the rest of the clip.
    void closeSound();

    AVFormatContext* format = nullptr;
    AVCodecContext* video = nullptr;
    AVCodecContext* audio = nullptr;
    SwrContext* resampler = nullptr;
    AVFrame* soundFrame = nullptr;
    int videoIndex = -1, audioIndex = -1;
    AVRational videoBase{1, 1}, audioBase{1, 1};
    // The container's start and length, and the picture stream's own (its length 0 when it
    // declares none).
    double start = 0, duration = 0, pictureStart = 0, pictureDuration = 0, frameDuration = 1.0 / 30;
    QAudioFormat sound;
    // The picture stream is an audio file's cover: one picture standing for the whole sound.
    bool cover = false;
    // Clockwise quarter turns of the display matrix, in degrees.
    int rotation = 0;
    // What the decoder may allocate for a picture.
    QSize coded;

    // Checks a larger size that parameter sets further in code against the limits, and makes the
    // decoder afresh for it: its pictures and their lease go (holdPictures takes the new lease).
    // False when it is over the limits or the decoder cannot be opened again.
    bool growPictures(QSize size);

private:
    double playedLength() const;
    void openSound(AudioOutput& output);
    bool openPictureDecoder();

    const AVCodec* videoCodec_ = nullptr;
    // The decoder's threads and the pictures queued to be shown, one picture each.
    std::uint64_t leasePixels_ = 0;
    // Released after the destructor has freed every picture.
    std::unique_ptr<PixelBudget::Lease> lease_;
};

} // namespace app
