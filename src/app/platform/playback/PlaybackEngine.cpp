#include "app/platform/playback/PlaybackEngine.h"

#include "app/platform/metadata/MediaLimits.h"
#include "app/platform/playback/AudioOutput.h"
#include "app/platform/playback/PlaybackMedia.h"
#include "app/platform/playback/VideoFrameScaler.h"

#include <QAudioFormat>
#include <QElapsedTimer>
#include <QTransform>
#include <QLoggingCategory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>

Q_LOGGING_CATEGORY(lcPlayback, "tessivarnholm.playback")

namespace app {

namespace {

// Read ahead of the pictures: enough to ride out a slow stretch of the drive, bounded for 4K.
constexpr size_t maxPackets = 300;
constexpr size_t maxPacketBytes = size_t(64) << 20;
// Longest the sound waits for a first picture that is due, in ms.
constexpr qint64 firstPictureWaitMs = 3000;

// The reading and decoding threads (and the decoder's own, which start from them and inherit it)
// give way to the window's and the sound's: on a machine the decoder fills, a picture handed over
// must still be painted, and the sound never starve.
void yieldToWindow()
{
    const id_t thread = id_t(gettid());
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, thread);
    if (errno == 0)
        setpriority(PRIO_PROCESS, thread, std::min(nice + 5, 19));
}

} // namespace

PlaybackEngine::PlaybackEngine(const QString& path, const std::optional<QAudioDevice>& device, Events events)
    : path_(path), events_(std::move(events)), media_(std::make_unique<PlaybackMedia>())
{
    if (!device || !device->isNull())
        audio_ = std::make_unique<AudioOutput>(device, clock_, [this] { return soundRingFull(); },
                                               [this] { changed_.notify_all(); });
    packets_.push_back({nullptr, Kind::flush, serial_, 0});
    if (audio_)
        audio_->flush(serial_);
    reader_ = std::thread([this] {
        yieldToWindow();
        readLoop();
    });
    decoder_ = std::thread([this] {
        yieldToWindow();
        decodeLoop();
    });
    presenter_ = std::thread([this] { presentLoop(); });
}

PlaybackEngine::~PlaybackEngine()
{
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        quitting_ = true;
    }
    changed_.notify_all();
    if (audio_)
        audio_->close();
    // The pictures and their lease go before anything waits on the sound: a sound server slow to
    // let go of its stream must not keep every thumbnail and photo waiting for the budget. Neither
    // thread that holds them waits on the sound; the reader may, while it opens the device.
    decoder_.join();
    presenter_.join();
    bool opened = false;
    {
        std::lock_guard lock(mutex_);
        for (Frame& f : frames_)
            freeFrame(f.frame);
        frames_.clear();
        opened = opened_;
    }
    // Until the file is open the reader is making the decoder (and no lease is held yet).
    if (!opened)
        reader_.join();
    media_->closePictures();
    if (reader_.joinable())
        reader_.join();
    {
        std::lock_guard lock(mutex_);
        clearLocked();
    }
    media_.reset();
    // Last: once the program has stopped waiting for its engines, this may still be letting go of
    // the sound server, and nothing after it touches what the program's exit frees.
    audio_.reset();
}

void PlaybackEngine::freePacket(AVPacket* packet)
{
    av_packet_free(&packet);
}

void PlaybackEngine::freeFrame(AVFrame* frame)
{
    av_frame_free(&frame);
}

void PlaybackEngine::clearLocked()
{
    for (Packet& p : packets_)
        freePacket(p.packet);
    packets_.clear();
    packetBytes_ = 0;
    for (Frame& f : frames_)
        freeFrame(f.frame);
    frames_.clear();
}

void PlaybackEngine::startClockLocked()
{
    if (!running_ || clock_.running())
        return;
    soundWaiting_.invalidate();
    if (audio_) {
        audio_->setRunning(true);
        // The clock starts from the first sound heard, so that none of it is left behind; the
        // sound gives up on a device that does not begin within a while, and the clock goes on.
        if (soundDueLocked()) {
            clock_.awaitSound();
            return;
        }
    }
    clock_.setRunning(true);
}

bool PlaybackEngine::soundDueLocked() const
{
    if (audio_->pending())
        return true;
    // Sound read later than the first pictures (it lies further on in the file) is read on for,
    // as long as the pictures read are near the first.
    return soundExpected_ && !audio_->failed() && audio_->endTime() == 0 && !readEnded_ && pictureRead_
        && lastPictureRead_ < firstPictureRead_ + 1 && packets_.size() < maxPackets && packetBytes_ < maxPacketBytes;
}

bool PlaybackEngine::soundRingFull()
{
    std::lock_guard lock(mutex_);
    // Paused on a seek, the picture there is still to be read: the ring takes more meanwhile.
    if (!running_)
        return !quit_ && showOne_;
    // The clock, and the sound with it, waits for the first picture, so that nothing is heard
    // before anything is seen and no picture is late from the start; the reader reads on past the
    // ring meanwhile, for that picture to come. Pictures that start after the sound read so far (a
    // late video track), or that do not come within a while (none decode), do not hold it: the
    // sound starts alone.
    if (!soundWaiting_.isValid())
        soundWaiting_.start();
    const bool pictureDue = pictureRead_ && firstPictureRead_ <= audio_->endTime();
    if (pictureDue && soundWaiting_.elapsed() < firstPictureWaitMs)
        return !quit_;
    startClockLocked();
    return false;
}

double PlaybackEngine::endLocked() const
{
    // A cover stands for as long as the sound: it is never behind.
    return readEnded_ && !media_->cover ? readEndsAt_ : std::numeric_limits<double>::infinity();
}

void PlaybackEngine::failLocked(quint64 serial, const QString& reason)
{
    if (failed_ == serial)
        return;
    failed_ = serial;
    failure_ = reason;
}

quint64 PlaybackEngine::setRunning(bool running)
{
    quint64 serial = 0;
    {
        std::lock_guard lock(mutex_);
        // The decoder let its pictures go while paused: it starts again where the clock stands.
        if (running && rested_)
            seekLocked(clock_.now(), false);
        running_ = running;
        // The clock starts again when a picture is in hand, so nothing is late from the first frame.
        if (!running) {
            clock_.setRunning(false);
            if (audio_)
                audio_->setRunning(false);
        }
        serial = serial_;
    }
    changed_.notify_all();
    return serial;
}

quint64 PlaybackEngine::seek(double seconds, bool show)
{
    quint64 serial = 0;
    {
        std::lock_guard lock(mutex_);
        seekLocked(seconds, show);
        serial = serial_;
    }
    changed_.notify_all();
    return serial;
}

void PlaybackEngine::seekLocked(double seconds, bool show)
{
    ++serial_;
    seekPending_ = true;
    seekTarget_ = std::max(0.0, seconds);
    showOne_ = show;
    readEnded_ = false;
    rested_ = false;
    pictureRead_ = false;
    soundWaiting_.invalidate();
    clearLocked();
    packets_.push_back({nullptr, Kind::flush, serial_, seekTarget_});
    clock_.setRunning(false);
    clock_.set(seekTarget_);
    if (audio_) {
        audio_->setRunning(false);
        audio_->flush(serial_);
    }
}

void PlaybackEngine::setTargetSize(QSize size)
{
    std::lock_guard lock(mutex_);
    target_ = size;
}

PlaybackEngine::Stats PlaybackEngine::stats() const
{
    std::lock_guard lock(mutex_);
    return stats_;
}

bool PlaybackEngine::open()
{
    QString failure;
    if (!media_->open(path_, quitting_, audio_.get(), int(maxFrames), failure)) {
        if (!failure.isEmpty())
            events_.failed(failure);
        return false;
    }
    std::lock_guard lock(mutex_);
    rotation_ = media_->rotation;
    soundExpected_ = media_->audioIndex >= 0;
    return true;
}

void PlaybackEngine::readLoop()
{
    if (!open())
        return;
    PlaybackMedia& m = *media_;
    {
        std::lock_guard lock(mutex_);
        opened_ = true;
    }
    events_.loaded(m.duration, m.audioIndex >= 0);
    changed_.notify_all();
    AVPacket* packet = av_packet_alloc();
    double from = 0;
    // Since the last seek: how far the pictures read reach, whether a key picture came, and whether
    // the file was already read again from its start for want of one.
    double reached = 0;
    bool sawKey = false, fromStart = false;
    const bool declared = m.declaresDuration();
    // What the decoder has been made for: joined camera segments may grow part way.
    QSize allowed = m.coded;
    for (;;) {
        std::unique_lock lock(mutex_);
        if (!waitFor(lock, [&] {
                return seekPending_ || (!readEnded_ && packets_.size() < maxPackets && packetBytes_ < maxPacketBytes);
            }))
            break;
        if (seekPending_) {
            seekPending_ = false;
            from = seekTarget_;
            lock.unlock();
            const int64_t ts = int64_t((from + m.pictureStart) * AV_TIME_BASE);
            if (avformat_seek_file(m.format, -1, INT64_MIN, ts, ts, 0) < 0)
                qCWarning(lcPlayback) << "seek failed in" << path_;
            m.restartSound();
            reached = 0;
            sawKey = fromStart = false;
            continue;
        }
        const quint64 serial = serial_;
        lock.unlock();
        int read = av_read_frame(m.format, packet);
        // Parameter sets further in that code more than was checked: a size within the limits
        // makes the decoder afresh for it, before this packet; past them the file reads no further.
        if (read >= 0 && packet->stream_index == m.videoIndex
            && !packetCodesWithin(m.format->streams[m.videoIndex], packet, allowed)) {
            const std::optional<QSize> grown = packetCodedSize(m.format->streams[m.videoIndex], packet);
            if (grown && grown->isValid() && mediaLimits::pictureWithin(grown->expandedTo(allowed))) {
                allowed = grown->expandedTo(allowed);
                std::lock_guard grow(mutex_);
                grownTo_ = allowed;
            } else {
                av_packet_unref(packet);
                read = AVERROR_INVALIDDATA;
            }
        }
        if (read == AVERROR_EOF && !sawKey && from > 0 && !fromStart) {
            // A stream with few key pictures (a transport stream with one) has none after the seek:
            // it is decoded again from its start, and what comes before the target is left out.
            fromStart = true;
            if (avformat_seek_file(m.format, -1, INT64_MIN, int64_t(m.start * AV_TIME_BASE), INT64_MAX, 0) >= 0
                || avformat_seek_file(m.format, -1, 0, 0, 0, AVSEEK_FLAG_BYTE) >= 0) {
                m.restartSound();
                lock.lock();
                if (serial == serial_ && audio_)
                    audio_->flush(serial);
                continue;
            }
        }
        if (read < 0) {
            const bool failed = read != AVERROR_EOF && !quitting_;
            if (failed) {
                char reason[AV_ERROR_MAX_STRING_SIZE] = {};
                av_strerror(read, reason, sizeof reason);
                qCWarning(lcPlayback) << "video read stopped early in" << path_ << ":" << reason;
            }
            // The data ends well before the length the header gives: the file was cut short.
            const bool cut = !failed && declared && reached + shortEnd < m.pictureDuration;
            if (cut)
                qCWarning(lcPlayback) << "video pictures end at" << reached << "s of their" << m.pictureDuration
                                      << "s in" << path_;
            lock.lock();
            if (serial == serial_ && !seekPending_) {
                readEnded_ = true;
                readEndsAt_ = std::max(reached, audio_ ? audio_->endTime() : 0.0);
                if (failed || cut)
                    failLocked(serial, PlaybackMedia::unreadableText());
                packets_.push_back({nullptr, Kind::end, serial, 0});
                changed_.notify_all();
            }
            continue;
        }
        if (packet->stream_index == m.videoIndex) {
            if (packet->pts != AV_NOPTS_VALUE)
                reached = std::max(reached, double(packet->pts) * av_q2d(m.videoBase) - m.pictureStart
                                                + double(std::max<int64_t>(packet->duration, 0)) * av_q2d(m.videoBase));
            const bool key = packet->flags & AV_PKT_FLAG_KEY;
            sawKey = sawKey || key;
            const int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            const double time = ts != AV_NOPTS_VALUE ? m.seconds(ts, m.videoBase) : reached;
            AVPacket* kept = av_packet_alloc();
            av_packet_move_ref(kept, packet);
            lock.lock();
            if (serial != serial_) {
                freePacket(kept);
                continue;
            }
            packetBytes_ += size_t(kept->size);
            packets_.push_back({kept, Kind::data, serial, time, key});
            if (!pictureRead_ || time < firstPictureRead_)
                firstPictureRead_ = time;
            lastPictureRead_ = pictureRead_ ? std::max(lastPictureRead_, time) : time;
            pictureRead_ = true;
            lock.unlock();
            changed_.notify_all();
        } else if (packet->stream_index == m.audioIndex) {
            decodeSound(packet, serial, from);
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
}

void PlaybackEngine::decodeSound(AVPacket* packet, quint64 serial, double from)
{
    PlaybackMedia& m = *media_;
    if (avcodec_send_packet(m.audio, packet) < 0)
        return;
    const int bytesPerFrame = m.sound.bytesPerFrame();
    while (avcodec_receive_frame(m.audio, m.soundFrame) >= 0) {
        if (!m.soundBlockWithin(*m.soundFrame)) {
            // Resampled, such a block would ask for what no camera's sound needs: the rest of the
            // clip is silent, and its clock the wall's.
            qCWarning(lcPlayback) << "video plays on without its sound: a block of" << m.soundFrame->nb_samples
                                  << "samples at" << m.soundFrame->sample_rate << "Hz in" << path_;
            m.closeSound();
            return;
        }
        const int64_t ts = m.soundFrame->best_effort_timestamp;
        double pts = ts != AV_NOPTS_VALUE ? m.seconds(ts, m.audioBase) : audio_->endTime();
        const int most = swr_get_out_samples(m.resampler, m.soundFrame->nb_samples);
        QByteArray samples(qsizetype(std::max(most, 0)) * bytesPerFrame, Qt::Uninitialized);
        uint8_t* out = reinterpret_cast<uint8_t*>(samples.data());
        const int made = swr_convert(m.resampler, &out, most, const_cast<const uint8_t**>(m.soundFrame->extended_data),
                                     m.soundFrame->nb_samples);
        av_frame_unref(m.soundFrame);
        if (made <= 0)
            continue;
        samples.truncate(qsizetype(made) * bytesPerFrame);
        // After a seek the sound starts where the picture does.
        if (pts < from) {
            const qsizetype skip =
                std::min<qsizetype>(samples.size(), qsizetype((from - pts) * m.sound.sampleRate()) * bytesPerFrame);
            samples.remove(0, skip);
            pts += double(skip / bytesPerFrame) / m.sound.sampleRate();
            if (samples.isEmpty())
                continue;
        }
        // Sound that starts after the pictures (or after a gap) waits for its time: the device
        // hears silence meanwhile, so the clock it drives keeps the wall's.
        for (double gap = std::max(from, audio_->endTime()); !audio_->failed() && pts - gap > PlaybackClock::tolerance;) {
            const double piece = std::min(pts - gap, 0.25);
            const qsizetype frames = qsizetype(piece * m.sound.sampleRate());
            if (frames <= 0)
                break;
            if (!audio_->push(QByteArray(frames * bytesPerFrame, '\0'), gap, serial))
                return;
            gap += double(frames) / m.sound.sampleRate();
        }
        if (!audio_->push(std::move(samples), pts, serial))
            return;
    }
}

} // namespace app
