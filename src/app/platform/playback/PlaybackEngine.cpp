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

#include <algorithm>
#include <cmath>

Q_LOGGING_CATEGORY(lcPlayback, "tessivarnholm.playback")

namespace app {

namespace {

// Read ahead of the pictures: enough to ride out a slow stretch of the drive, bounded for 4K.
constexpr size_t maxPackets = 300;
constexpr size_t maxPacketBytes = size_t(64) << 20;
// Data that ends this far short of the length its header gives is a file cut short.
constexpr double shortEnd = 0.5;

// Decoded pictures waiting to be shown: each is a whole frame, 24 MB at 4K in 10 bits.
constexpr size_t maxFrames = 4;

void freePacket(AVPacket* packet)
{
    av_packet_free(&packet);
}


} // namespace

PlaybackEngine::PlaybackEngine(const QString& path, const std::optional<QAudioDevice>& device, Events events)
    : path_(path), events_(std::move(events)), media_(std::make_unique<PlaybackMedia>())
{
    if (!device || !device->isNull())
        audio_ = std::make_unique<AudioOutput>(device, clock_, [this] { return soundRingFull(); });
    packets_.push_back({nullptr, Kind::flush, serial_, 0});
    if (audio_)
        audio_->flush(serial_);
    reader_ = std::thread([this] { readLoop(); });
    decoder_ = std::thread([this] { decodeLoop(); });
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
    reader_.join();
    decoder_.join();
    presenter_.join();
    std::lock_guard lock(mutex_);
    clearLocked();
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
    if (running_ && !clock_.running()) {
        clock_.setRunning(true);
        if (audio_)
            audio_->setRunning(true);
    }
}

bool PlaybackEngine::soundRingFull()
{
    std::lock_guard lock(mutex_);
    // The clock waits for a picture so that none is late from the start; but a picture that comes
    // a second or more after its sound (a late video track, pictures that do not decode) would
    // never come while the reader waits for the ring to drain. Playing, the sound starts alone.
    startClockLocked();
    // Paused on a seek, the picture there is still to be read: the ring takes more meanwhile.
    return !quit_ && !running_ && showOne_;
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
            sawKey = sawKey || (packet->flags & AV_PKT_FLAG_KEY);
            AVPacket* kept = av_packet_alloc();
            av_packet_move_ref(kept, packet);
            lock.lock();
            if (serial != serial_) {
                freePacket(kept);
                continue;
            }
            packetBytes_ += size_t(kept->size);
            packets_.push_back({kept, Kind::data, serial, 0});
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

void PlaybackEngine::decodeLoop()
{
    AVFrame* decoded = av_frame_alloc();
    double from = 0, last = 0;
    // Where the pictures decoded since the last seek reach.
    double decodedTo = 0;
    bool anyPicture = false;
    quint64 serial = 0;
    // The size the decoder is made for, once it grew.
    QSize grownTo;
    bool unusable = false;

    // Hands the decoder's pictures on; false when a seek or the end of the engine overtook them.
    auto drain = [&]() -> bool {
        PlaybackMedia& m = *media_;
        while (avcodec_receive_frame(m.video, decoded) >= 0) {
            anyPicture = true;
            const int64_t ts = decoded->best_effort_timestamp;
            double time = ts != AV_NOPTS_VALUE ? m.seconds(ts, m.videoBase) : last + m.frameDuration;
            // A cover stands wherever the sound is sought.
            if (m.cover)
                time = std::max(time, from);
            last = time;
            const double duration =
                decoded->pkt_duration > 0 ? double(decoded->pkt_duration) * av_q2d(m.videoBase) : m.frameDuration;
            decodedTo = std::max(decodedTo, time + duration);
            // The stream's own aspect when its pictures carry none.
            if (decoded->sample_aspect_ratio.num <= 0)
                decoded->sample_aspect_ratio = m.format->streams[m.videoIndex]->sample_aspect_ratio;
            if (time + duration / 2 < from) {
                av_frame_unref(decoded);
                continue;
            }
            if (clock_.running()) {
                // Behind, the decoder does less in steps: it leaves the smoothing of block edges
                // out of pictures nothing refers to (no error can spread from them), and it leaves
                // out those pictures themselves for as long as the last one came out late, so
                // whatever time is spare still goes to them. Far behind it smooths no edges at all
                // (the picture gets a little blocky until the next key frame, but stays with its
                // sound). Once ahead, it decodes everything fully again.
                const double late = clock_.now() - time;
                if (late > m.frameDuration)
                    m.video->skip_loop_filter = AVDISCARD_NONREF;
                m.video->skip_frame = late > m.frameDuration ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
                if (late > farBehind)
                    m.video->skip_loop_filter = AVDISCARD_ALL;
                if (late < 0)
                    m.video->skip_loop_filter = AVDISCARD_DEFAULT;
            }
            AVFrame* kept = av_frame_alloc();
            av_frame_move_ref(kept, decoded);
            std::unique_lock lock(mutex_);
            ++stats_.decoded;
            if (m.video->skip_loop_filter != AVDISCARD_DEFAULT)
                ++stats_.rough;
            if (!waitFor(lock, [&] { return serial != serial_ || frames_.size() < maxFrames || restDue(); })
                || serial != serial_ || frames_.size() >= maxFrames) {
                freeFrame(kept);
                return false;
            }
            frames_.push_back({kept, false, serial, time, duration});
            // Three waiting: the window is what falls behind, not the decoder.
            if (frames_.size() + 1 >= maxFrames)
                pilingUp_ = true;
            lock.unlock();
            changed_.notify_all();
        }
        return true;
    };

    for (;;) {
        std::unique_lock lock(mutex_);
        // Nothing of the file is touched before it is open, and nothing at all when it never opens.
        // Pictures are decoded only while they are wanted, so the lease is asked for on play.
        if (!waitFor(lock, [&] {
                return opened_
                    && (restDue()
                        || (!packets_.empty()
                            && (running_ || showOne_ || packets_.front().kind == Kind::flush
                                || packets_.front().serial != serial_)));
            }))
            break;
        if (restDue()) {
            // Paused: the pictures decoded go, and the lease with them; playing on starts again
            // from the position.
            for (Frame& f : frames_)
                freeFrame(f.frame);
            frames_.clear();
            rested_ = true;
            lock.unlock();
            releasePictures();
            continue;
        }
        Packet p = packets_.front();
        packets_.pop_front();
        if (p.packet)
            packetBytes_ -= size_t(p.packet->size);
        const bool current = p.serial == serial_;
        const QSize grow = grownTo_ != grownTo && p.kind == Kind::data ? grownTo_ : QSize();
        lock.unlock();
        changed_.notify_all();
        if (!current) {
            freePacket(p.packet);
            continue;
        }
        if (grow.isValid() && !unusable) {
            // The pictures of the old size are handed on first; then the decoder, its bound and
            // its lease are made for the new size.
            grownTo = grow;
            avcodec_send_packet(media_->video, nullptr);
            drain();
            holding_ = false;
            if (!media_->growPictures(grow)) {
                qCWarning(lcPlayback) << "video decoder could not be made for" << grow << "in" << path_;
                unusable = true;
                lock.lock();
                failLocked(serial, PlaybackMedia::unreadableText());
                lock.unlock();
            }
        }
        if (unusable) {
            // No decoder to touch: the rest is told as a file that reads no further.
            freePacket(p.packet);
            lock.lock();
            if (p.kind == Kind::flush)
                serial = p.serial;
            if (p.kind == Kind::end && serial == serial_) {
                failLocked(serial, PlaybackMedia::unreadableText());
                frames_.push_back({nullptr, true, serial, 0, 0});
            }
            lock.unlock();
            changed_.notify_all();
            continue;
        }
        AVCodecContext* video = media_->video;
        switch (p.kind) {
        case Kind::flush:
            avcodec_flush_buffers(video);
            video->skip_frame = AVDISCARD_DEFAULT;
            video->skip_loop_filter = AVDISCARD_DEFAULT;
            serial = p.serial;
            from = p.time;
            last = from;
            decodedTo = 0;
            break;
        case Kind::end:
            avcodec_send_packet(video, nullptr);
            if (drain()) {
                lock.lock();
                if (serial == serial_) {
                    if (!anyPicture)
                        failLocked(serial, PlaybackMedia::corruptText());
                    // Pictures that stop decoding well before the stream's length: the file is
                    // damaged from there, not over.
                    else if (media_->declaresDuration() && decodedTo + shortEnd < media_->pictureDuration)
                        failLocked(serial, PlaybackMedia::unreadableText());
                    frames_.push_back({nullptr, true, serial, 0, 0});
                }
                lock.unlock();
                changed_.notify_all();
            } else {
                // Paused before the end was handed on: playing on reads the end again.
                lock.lock();
                rested_ = rested_ || (serial == serial_ && !running_);
                lock.unlock();
            }
            // Nothing more to decode until a seek: the decoder's pictures and its lease go (a
            // fresh decoder takes the next seek).
            avcodec_flush_buffers(video);
            releasePictures();
            break;
        case Kind::data:
            if (!holding_) {
                // In the order asked for, behind any picture asked for before the play (a live
                // photo's still).
                if (!media_->holdPictures(quitting_))
                    break;
                holding_ = true;
            }
            if (avcodec_send_packet(video, p.packet) == AVERROR(EAGAIN) && drain())
                avcodec_send_packet(video, p.packet);
            drain();
            break;
        }
        freePacket(p.packet);
    }
    av_frame_free(&decoded);
}

void PlaybackEngine::releasePictures()
{
    if (!std::exchange(holding_, false))
        return;
    if (!media_->releasePictures())
        qCWarning(lcPlayback) << "video decoder could not be opened again for" << path_;
}

} // namespace app
