#include "app/platform/playback/PlaybackEngine.h"

#include "app/platform/playback/PlaybackMedia.h"

#include <QLoggingCategory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <utility>

Q_DECLARE_LOGGING_CATEGORY(lcPlayback)

// The decoding thread: pictures decoded in time for the clock, or left out when they cannot be.
namespace app {

namespace {

// Pictures the decoder holds back before it gives one: one on each frame thread but the one
// working, and those it keeps to put them in order.
int heldBack(const AVCodecContext& video)
{
    const int threads = (video.active_thread_type & FF_THREAD_FRAME) ? std::max(video.thread_count - 1, 0) : 0;
    return threads + std::max(video.has_b_frames, 0);
}

// What a jump to a key picture `ahead` seconds from now gains, less how long the picture stands for
// it: the key picture is shown once it is due and decoded, and what lag is left is how much later
// than due it comes.
double jumpGain(double late, double ahead, double fresh)
{
    const double still = std::max(ahead, fresh);
    const double left = std::max(fresh - ahead, 0.0);
    return late - left - still;
}

} // namespace

bool PlaybackEngine::jumpsToKey(double late, double ahead, double fresh)
{
    return ahead <= keyReach && jumpGain(late, ahead, fresh) > 0;
}

bool PlaybackEngine::jumpToKeyLocked(quint64 serial, double now, double late, double fresh)
{
    if (serial != serial_)
        return false;
    // Of the key pictures within reach, the one whose jump gains most: one just far enough ahead
    // to be decoded in time.
    size_t best = 0;
    double bestGain = 0;
    for (size_t i = 0; i < packets_.size(); ++i) {
        const Packet& p = packets_[i];
        if (p.kind != Kind::data || p.serial != serial || p.time - now > keyReach)
            break;
        if (!p.key || !jumpsToKey(late, p.time - now, fresh))
            continue;
        if (const double gain = jumpGain(late, p.time - now, fresh); gain > bestGain) {
            best = i;
            bestGain = gain;
        }
    }
    if (bestGain <= 0)
        return false;
    for (size_t i = 0; i < best; ++i) {
        packetBytes_ -= size_t(packets_[i].packet->size);
        freePacket(packets_[i].packet);
    }
    packets_.erase(packets_.begin(), packets_.begin() + std::ptrdiff_t(best));
    // The packet in hand is left out with them.
    stats_.skipped += best + 1;
    return true;
}

void PlaybackEngine::dropUntilEndLocked(quint64 serial)
{
    while (!packets_.empty() && packets_.front().kind == Kind::data && packets_.front().serial == serial) {
        packetBytes_ -= size_t(packets_.front().packet->size);
        freePacket(packets_.front().packet);
        packets_.pop_front();
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
    // Behind the clock, the decoder is not given the pictures nothing refers to until it is ahead
    // again; past the clip's end it stops, and what it holds is not told as a file ending short.
    bool behind = false, stopped = false;
    // Seconds between pictures out of the decoder, lately.
    double interval = media_->frameDuration;
    QElapsedTimer sinceOut;
    // Seconds a decoder started afresh (a seek, a jump) took to give its first picture, lately
    // (negative until it is known), and since it was given its first packet. The file's very first
    // picture counts too: it takes longer than any after, which makes jumps rarer, not longer.
    double fresh = -1;
    bool afresh = true;
    QElapsedTimer sinceFresh;

    // Hands the decoder's pictures on; false when a seek or the end of the engine overtook them.
    auto drain = [&]() -> bool {
        PlaybackMedia& m = *media_;
        while (avcodec_receive_frame(m.video, decoded) >= 0) {
            anyPicture = true;
            if (events_.decoded)
                events_.decoded();
            // How fast pictures come out, for how long those in the decoder take to follow.
            if (sinceOut.isValid())
                interval = 0.75 * interval + 0.25 * double(sinceOut.nsecsElapsed()) / 1e9;
            sinceOut.start();
            if (sinceFresh.isValid()) {
                const double took = double(sinceFresh.nsecsElapsed()) / 1e9;
                fresh = fresh < 0 ? took : 0.5 * fresh + 0.5 * took;
                sinceFresh.invalidate();
            }
            if (clock_.running() && !m.cover) {
                std::lock_guard lock(mutex_);
                stopped = stopped || (serial == serial_ && clock_.now() >= endLocked());
            }
            // The clip's time is over: what the decoder still holds would only be late.
            if (stopped) {
                av_frame_unref(decoded);
                return true;
            }
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
            behind = stopped = false;
            interval = media_->frameDuration;
            sinceOut.invalidate();
            afresh = true;
            sinceFresh.invalidate();
            break;
        case Kind::end:
            avcodec_send_packet(video, nullptr);
            if (drain()) {
                lock.lock();
                if (serial == serial_ && !stopped) {
                    if (!anyPicture)
                        failLocked(serial, PlaybackMedia::corruptText());
                    // Pictures that stop decoding well before the stream's length: the file is
                    // damaged from there, not over.
                    else if (media_->declaresDuration() && decodedTo + shortEnd < media_->pictureDuration)
                        failLocked(serial, PlaybackMedia::unreadableText());
                }
                if (serial == serial_)
                    frames_.push_back({nullptr, true, serial, 0, 0});
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
            if (clock_.running() && !media_->cover) {
                const double now = clock_.now();
                // What the decoder holds comes out before this picture: late by that much more.
                const double held = heldBack(*video) * std::max(interval, media_->frameDuration);
                const double late = now + held - p.time;
                lock.lock();
                if (p.serial != serial_)
                    break;
                if (now >= endLocked()) {
                    // The clip's time is over (its sound ended) with pictures still to decode:
                    // they would all be late, so it ends with the last one shown.
                    dropUntilEndLocked(p.serial);
                    stopped = true;
                    lock.unlock();
                    changed_.notify_all();
                    avcodec_flush_buffers(video);
                    break;
                }
                if (late > 0 && !p.key && jumpToKeyLocked(p.serial, now, late, fresh >= 0 ? fresh : held)) {
                    lock.unlock();
                    changed_.notify_all();
                    // Nothing decoded before the key picture is wanted, nor is what refers past it
                    // (the leading pictures of an open group): a decoder flushed leaves them out.
                    avcodec_flush_buffers(video);
                    behind = false;
                    sinceOut.invalidate();
                    afresh = true;
                    sinceFresh.invalidate();
                    break;
                }
                lock.unlock();
                // Behind, the decoder does less in steps: it leaves out the pictures nothing refers
                // to (no error can spread from them) and the smoothing of their block edges, and
                // far behind it smooths no edges at all (a little blocky until the next key
                // picture, but with its sound). Once ahead, it decodes everything fully again.
                if (late > media_->frameDuration)
                    behind = true;
                else if (late < 0)
                    behind = false;
                video->skip_frame = behind ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
                video->skip_loop_filter = !behind ? AVDISCARD_DEFAULT
                    : late > farBehind          ? AVDISCARD_ALL
                                                : AVDISCARD_NONREF;
            }
            if (std::exchange(afresh, false))
                sinceFresh.start();
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
