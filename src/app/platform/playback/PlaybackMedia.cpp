#include "app/platform/playback/PlaybackMedia.h"

#include "app/platform/decoding/DecodeWorkers.h"
#include "app/platform/metadata/MediaLimits.h"
#include "app/platform/metadata/UntrustedMediaInput.h"
#include "app/platform/playback/AudioOutput.h"

#include <QLoggingCategory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cerrno>
#include <cstring>

Q_LOGGING_CATEGORY(lcPlaybackMedia, "tessivarnholm.playback")

namespace app {

namespace {

QString unsupportedCodec()
{
    return QStringLiteral("无法播放这个视频：它的编码不受支持。");
}

// "HH:MM:SS.fraction" in seconds; 0 when it is not that.
double tagSeconds(const char* text)
{
    unsigned hours = 0, minutes = 0;
    double seconds = 0;
    if (std::sscanf(text, "%u:%u:%lf", &hours, &minutes, &seconds) != 3 || !std::isfinite(seconds) || seconds < 0)
        return 0;
    return double(hours) * 3600 + double(minutes) * 60 + seconds;
}

} // namespace

PlaybackMedia::PlaybackMedia() = default;

PlaybackMedia::~PlaybackMedia()
{
    av_frame_free(&soundFrame);
    swr_free(&resampler);
    avcodec_free_context(&audio);
    avcodec_free_context(&video);
    avformat_close_input(&format);
}

QString PlaybackMedia::unreadableText()
{
    return QStringLiteral("无法播放这个视频：文件无法读取。");
}

QString PlaybackMedia::corruptText()
{
    return QStringLiteral("无法播放这个视频：文件已损坏。");
}

bool PlaybackMedia::declaresDuration() const
{
    // A length guessed from the file's size and bit rate is no claim about what it holds.
    return pictureDuration > 0 && !cover && format && format->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE;
}

void PlaybackMedia::restartSound()
{
    if (!audio)
        return;
    avcodec_flush_buffers(audio);
    swr_init(resampler);
}

bool PlaybackMedia::openPictureDecoder()
{
    avcodec_free_context(&video);
    video = avcodec_alloc_context3(videoCodec_);
    if (!video || avcodec_parameters_to_context(video, format->streams[videoIndex]->codecpar) < 0)
        return false;
    // Three frames in flight more than the cores this process may use: a frame waiting on its
    // reference's rows leaves its core to the next one. With libavcodec's own choice (one more) two
    // cores stayed a tenth idle on a phone's 4K clip, and that tenth is the pictures nothing refers
    // to, the ones shown between those that must be decoded to keep time.
    video->thread_count = std::min(DecodeWorkers::usableCores(16) + 3, 16);
    video->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    video->max_pixels = std::int64_t(mediaLimits::maximumPixels);
    boundPictureBuffers(video, &coded);
    // Opened on the reading or the decoding thread: the decoder's own threads, made as it opens,
    // take that thread's lowered priority, and no more.
    return avcodec_open2(video, videoCodec_, nullptr) >= 0;
}

bool PlaybackMedia::holdPictures(const std::atomic<bool>& quitting)
{
    if (!lease_)
        lease_ = std::make_unique<PixelBudget::Lease>(leasePixels_, quitting);
    if (lease_->granted())
        return true;
    lease_.reset();
    return false;
}

bool PlaybackMedia::releasePictures()
{
    if (!lease_)
        return true;
    // A fresh decoder holds no picture, nor any buffer kept for the next one.
    const bool reopened = openPictureDecoder();
    lease_.reset();
    return reopened;
}

void PlaybackMedia::closePictures()
{
    avcodec_free_context(&video);
    lease_.reset();
}

bool PlaybackMedia::growPictures(QSize size)
{
    size = size.expandedTo(coded);
    if (!mediaLimits::pictureWithin(size))
        return false;
    // The old decoder, whose buffers are bounded by the old size, is gone before the bound moves.
    avcodec_free_context(&video);
    lease_.reset();
    // As many pictures as before, each of the new size.
    leasePixels_ = leasePixels_ / (std::uint64_t(coded.width()) * std::uint64_t(coded.height()))
        * std::uint64_t(size.width()) * std::uint64_t(size.height());
    coded = size;
    return openPictureDecoder();
}

bool PlaybackMedia::open(const QString& path, std::atomic<bool>& quitting, AudioOutput* output, int queued,
                         QString& failure)
{
    // A pulled drive or a closing viewer must not hold the reader in a read, the opening's included.
    AVIOInterruptCB interrupt{[](void* flag) -> int { return static_cast<std::atomic<bool>*>(flag)->load() ? 1 : 0; },
                              &quitting};
    // Camera and phone containers from a local file only: a playlist dressed as a movie must not
    // make FFmpeg open what it lists.
    format = openUntrustedMediaFile(path, MediaAccess::frames, &interrupt).release();
    if (!format) {
        failure = unreadableText();
        return false;
    }
    if (findBoundedStreamInfo(format) < 0) {
        failure = unreadableText();
        return false;
    }
    const AVCodec* codec = nullptr;
    videoIndex = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (videoIndex < 0 || !codec) {
        failure = videoIndex == AVERROR_DECODER_NOT_FOUND ? unsupportedCodec()
                                                          : QStringLiteral("无法播放这个视频：文件里没有画面。");
        return false;
    }
    AVStream* stream = format->streams[videoIndex];
    // Bounded like a photo before the decoder opens, and held against the pixel budget while its
    // pictures live: one on each of the decoder's threads and those queued to be shown.
    coded = codedVideoSize(stream);
    if (!mediaLimits::pictureWithin(coded)) {
        failure = unreadableText();
        return false;
    }
    videoCodec_ = codec;
    if (!openPictureDecoder()) {
        failure = unsupportedCodec();
        return false;
    }
    leasePixels_ = std::uint64_t(coded.width()) * std::uint64_t(coded.height())
        * (std::uint64_t(video->thread_count) + std::uint64_t(std::max(queued, 0)) + 1);
    videoBase = stream->time_base;
    rotation = clockwiseQuarterTurns(stream);
    // An audio file's cover comes as a picture stream of one picture: it stands for the sound's length.
    cover = (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
    start = format->start_time != AV_NOPTS_VALUE ? double(format->start_time) / AV_TIME_BASE : 0;
    // Times count from the first picture: a clip cut from a longer recording starts where it starts.
    pictureStart = stream->start_time != AV_NOPTS_VALUE && !cover ? double(stream->start_time) * av_q2d(stream->time_base)
                                                                 : start;
    if (stream->duration > 0 && stream->duration != AV_NOPTS_VALUE)
        pictureDuration = double(stream->duration) * av_q2d(stream->time_base);
    else if (const AVDictionaryEntry* tag = av_dict_get(stream->metadata, "DURATION", nullptr, 0))
        pictureDuration = tagSeconds(tag->value); // Matroska's own for each track
    duration = playedLength();
    const AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
    if (rate.num > 0 && rate.den > 0)
        frameDuration = std::clamp(1.0 / av_q2d(rate), 1.0 / 240, 1.0);
    // A header that counts its pictures says how long they last even where FFmpeg shortens the
    // stream to what it found (an AVI cut short). A movie's edit list may leave counted pictures
    // out, so its own length stands.
    const char* name = format->iformat ? format->iformat->name : "";
    if (stream->nb_frames > 0 && stream->avg_frame_rate.num > 0 && stream->avg_frame_rate.den > 0
        && std::strncmp(name, "mov", 3) != 0)
        pictureDuration = std::max(pictureDuration, double(stream->nb_frames) / av_q2d(stream->avg_frame_rate));

    if (output)
        openSound(*output);
    for (unsigned i = 0; i < format->nb_streams; ++i)
        if (int(i) != videoIndex && int(i) != audioIndex)
            format->streams[i]->discard = AVDISCARD_ALL;
    return true;
}

double PlaybackMedia::playedLength() const
{
    // Where the pictures and the sound end, from the first picture. The container's own length
    // may count an empty stretch before them, or subtitle and data tracks.
    double end = 0;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* s = format->streams[i];
        const AVMediaType type = s->codecpar->codec_type;
        if ((type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) || (s->disposition & AV_DISPOSITION_ATTACHED_PIC)
            || s->duration <= 0 || s->duration == AV_NOPTS_VALUE)
            continue;
        const double from = s->start_time != AV_NOPTS_VALUE ? double(s->start_time) * av_q2d(s->time_base) : start;
        end = std::max(end, from + double(s->duration) * av_q2d(s->time_base) - pictureStart);
    }
    if (end > 0)
        return end;
    if (format->duration > 0)
        return std::max(double(format->duration) / AV_TIME_BASE - (pictureStart - start), 0.0);
    return pictureDuration;
}

bool PlaybackMedia::soundWithin(int sampleRate, int channels, std::int64_t samples)
{
    return sampleRate >= minimumSampleRate && sampleRate <= maximumSampleRate && channels >= 1
        && channels <= maximumChannels && samples >= 0 && samples <= sampleRate;
}

void PlaybackMedia::openSound(AudioOutput& output)
{
    // The sound is a bonus: whatever fails here, the pictures play silently.
    const AVCodec* soundCodec = nullptr;
    const int soundIndex = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, videoIndex, &soundCodec, 0);
    if (soundIndex < 0 || !soundCodec)
        return;
    AVStream* s = format->streams[soundIndex];
    // What a block may make us allocate follows from these: checked before anything is opened.
    const AVCodecParameters* par = s->codecpar;
    if (!soundWithin(par->sample_rate, par->ch_layout.nb_channels, std::max(par->frame_size, 0))) {
        qCWarning(lcPlaybackMedia) << "video plays without its sound: it declares" << par->sample_rate << "Hz,"
                                   << par->ch_layout.nb_channels << "channels and blocks of" << par->frame_size
                                   << "samples";
        return;
    }
    audio = avcodec_alloc_context3(soundCodec);
    if (audio && avcodec_parameters_to_context(audio, s->codecpar) >= 0
        && avcodec_open2(audio, soundCodec, nullptr) >= 0
        && soundWithin(audio->sample_rate, audio->ch_layout.nb_channels, 0)) {
        sound = output.open(audio->sample_rate, audio->ch_layout.nb_channels);
        AVChannelLayout layout;
        av_channel_layout_default(&layout, sound.channelCount());
        if (sound.isValid()
            && swr_alloc_set_opts2(&resampler, &layout, AV_SAMPLE_FMT_S16, sound.sampleRate(), &audio->ch_layout,
                                   audio->sample_fmt, audio->sample_rate, 0, nullptr)
                   >= 0
            && swr_init(resampler) >= 0 && (soundFrame = av_frame_alloc())) {
            audioIndex = soundIndex;
            audioBase = s->time_base;
            return;
        }
    }
    closeSound();
    qCWarning(lcPlaybackMedia) << "video plays without its sound: the sound could not be opened";
}

void PlaybackMedia::closeSound()
{
    // Nothing of a half-opened sound may be touched again, by a seek least of all.
    av_frame_free(&soundFrame);
    swr_free(&resampler);
    avcodec_free_context(&audio);
    if (audioIndex >= 0)
        format->streams[audioIndex]->discard = AVDISCARD_ALL;
    audioIndex = -1;
}

bool PlaybackMedia::soundBlockWithin(const AVFrame& block) const
{
    // The resampler was made for one rate, layout and sample format: a block that changes them
    // would be read past its planes.
    return audio && soundWithin(block.sample_rate, block.ch_layout.nb_channels, block.nb_samples)
        && block.sample_rate == audio->sample_rate && block.format == audio->sample_fmt
        && block.ch_layout.nb_channels == audio->ch_layout.nb_channels;
}

} // namespace app
