#include "app/platform/playback/AudioOutput.h"

#include "app/platform/playback/PlaybackClock.h"

#include <QLoggingCategory>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/rtclock.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>

#include <algorithm>
#include <cstring>
#include <utility>

Q_LOGGING_CATEGORY(lcVideoSound, "tessivarnholm.playback.sound")

namespace app {

namespace {

// Past the ring's size, how much more a push may add while nothing drains it.
constexpr qsizetype kOverflowRings = 16;
// A device that plays nothing this long while it has sound to play has gone (a suspended sink, a
// sound server that went without a word): the rest of the clip is silent. One that has not begun
// since it was (re)started is given longer, as a Bluetooth headset takes a while to connect; so is
// a server that does not answer the connection.
constexpr std::chrono::milliseconds kStalled{750};
constexpr std::chrono::milliseconds kStarting{3000};
// A fifth of a second in the server: enough against a busy machine, little to wait for.
constexpr pa_usec_t kBufferUs = 200'000;
// The device starts as soon as this much is in, and the ring holds far more by then.
constexpr pa_usec_t kPrebufferUs = 20'000;
constexpr pa_usec_t kTickUs = 10'000;
// How often the server is asked where the device is, until it has begun and after.
constexpr std::chrono::milliseconds kTimingStarting{10};
constexpr std::chrono::milliseconds kTiming{100};

// Whether an operation was asked, letting it go.
bool asked(pa_operation* operation)
{
    if (!operation)
        return false;
    pa_operation_unref(operation);
    return true;
}

} // namespace

AudioOutput::AudioOutput(std::optional<QAudioDevice> device, PlaybackClock& clock, Full whenFull, Changed changed)
    : clock_(clock), whenFull_(std::move(whenFull)), changed_(std::move(changed))
{
    if (device && !device->isNull())
        sink_ = device->id();
}

AudioOutput::~AudioOutput()
{
    close();
    if (!loop_)
        return;
    // Once the loop has stopped, no callback runs again: what it used can go in any order. The
    // server drops the stream with the connection, without being waited for.
    pa_threaded_mainloop_stop(loop_);
    if (tick_)
        pa_threaded_mainloop_get_api(loop_)->time_free(tick_);
    dropStream();
    if (context_) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    pa_threaded_mainloop_free(loop_);
}

QAudioFormat AudioOutput::open(int sampleRate, int channels)
{
    QAudioFormat format;
    format.setSampleRate(std::clamp(sampleRate, 8000, 192000));
    format.setChannelCount(std::clamp(channels, 1, 2));
    format.setSampleFormat(QAudioFormat::Int16);
    loop_ = pa_threaded_mainloop_new();
    if (!loop_)
        return {};
    pa_threaded_mainloop_set_name(loop_, "video sound");
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "video");
    if (!context_)
        return {};
    {
        std::lock_guard lock(mutex_);
        format_ = format;
        bytesPerSecond_ = format.bytesForDuration(1'000'000);
        capacity_ = qsizetype(bytesPerSecond_);
    }
    pa_context_set_state_callback(context_, &AudioOutput::contextChanged, this);
    // The server named by the environment or the user's own, asked anew for every clip: one that
    // was restarted since the last is reached again.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0
        || pa_threaded_mainloop_start(loop_) < 0) {
        qCWarning(lcVideoSound) << "video plays without its sound: no sound server";
        return {};
    }
    // A server that stopped answering holds the connection: the clip does not wait for it longer
    // than for a device that takes nothing, and plays silently.
    pa_context_state_t state = PA_CONTEXT_CONNECTING;
    {
        std::unique_lock lock(mutex_);
        connected_.wait_for(lock, kStarting, [&] {
            state = pa_context_state_t(contextState_);
            return !PA_CONTEXT_IS_GOOD(state) || state == PA_CONTEXT_READY;
        });
    }
    if (state != PA_CONTEXT_READY) {
        if (PA_CONTEXT_IS_GOOD(state))
            fail("the sound server did not answer");
        else
            qCWarning(lcVideoSound) << "video plays without its sound:" << pa_strerror(pa_context_errno(context_));
        return {};
    }
    pa_threaded_mainloop_lock(loop_);
    tick_ = pa_context_rttime_new(context_, pa_rtclock_now() + kTickUs, &AudioOutput::ticked, this);
    {
        std::lock_guard lock(mutex_);
        playing_ = running_;
        opened_ = true;
    }
    makeStream();
    pa_threaded_mainloop_unlock(loop_);
    return failed() ? QAudioFormat() : format;
}

void AudioOutput::contextChanged(pa_context* context, void* self)
{
    auto* out = static_cast<AudioOutput*>(self);
    const pa_context_state_t state = pa_context_get_state(context);
    if (!PA_CONTEXT_IS_GOOD(state) && out->tick_)
        out->fail("the sound server went away");
    {
        std::lock_guard lock(out->mutex_);
        out->contextState_ = int(state);
    }
    out->connected_.notify_all();
}

void AudioOutput::makeStream()
{
    if (failed() || pa_context_get_state(context_) != PA_CONTEXT_READY)
        return;
    pa_sample_spec spec;
    spec.format = PA_SAMPLE_S16NE;
    spec.rate = uint32_t(format_.sampleRate());
    spec.channels = uint8_t(format_.channelCount());
    stream_ = pa_stream_new(context_, "video sound", &spec, nullptr);
    if (!stream_) {
        fail("the sound device failed");
        return;
    }
    pa_buffer_attr buffer;
    buffer.maxlength = uint32_t(-1);
    buffer.tlength = uint32_t(pa_usec_to_bytes(kBufferUs, &spec));
    buffer.prebuf = uint32_t(pa_usec_to_bytes(kPrebufferUs, &spec));
    buffer.minreq = uint32_t(-1);
    buffer.fragsize = uint32_t(-1);
    pa_stream_set_state_callback(stream_, &AudioOutput::streamChanged, this);
    // Corked until the clip plays, for the sound to be in the server when it starts.
    corked_ = true;
    const auto flags = pa_stream_flags_t(PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY
                                         | PA_STREAM_START_CORKED);
    if (pa_stream_connect_playback(stream_, sink_.isEmpty() ? nullptr : sink_.constData(), &buffer, flags, nullptr,
                                   nullptr)
        < 0)
        fail("the sound device failed");
    written_ = heardBytes_ = beganAfter_ = 0;
    timingAsked_ = timingAnswered_ = 0;
    trustFrom_ = 1;
    heard_ = -1;
    began_ = false;
    segments_.clear();
    progress_ = Clock::now();
}

void AudioOutput::dropStream()
{
    if (!stream_)
        return;
    if (pa_stream_get_state(stream_) == PA_STREAM_READY) {
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
    } else {
        // One still being made is let go once it is: a seek then leaves no stream behind.
        pa_stream_set_state_callback(stream_, [](pa_stream* stream, void*) {
            if (pa_stream_get_state(stream) == PA_STREAM_READY)
                pa_stream_disconnect(stream);
        }, nullptr);
    }
    pa_stream_unref(stream_);
    stream_ = nullptr;
    std::lock_guard lock(mutex_);
    unheard_ = false;
}

void AudioOutput::streamChanged(pa_stream* stream, void* self)
{
    auto* out = static_cast<AudioOutput*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED) {
        out->fail("the sound device failed");
    } else if (state == PA_STREAM_READY) {
        // Played while the stream was being made; else it takes the sound ahead, corked.
        if (out->playing_)
            out->play(true);
        else
            out->feed();
    }
}

void AudioOutput::play(bool playing)
{
    if (!playing) {
        if (!corked_ && asked(pa_stream_cork(stream_, 1, nullptr, nullptr)))
            corked_ = true;
        return;
    }
    // Written before the stream is uncorked, the sound is mixed in with it (a device that has
    // mixed ahead takes a stream only once it has played that, whatever is done).
    feed();
    if (corked_ && asked(pa_stream_cork(stream_, 0, nullptr, nullptr)))
        corked_ = false;
    // Begun again once the device plays past what was heard before.
    began_ = false;
    beganAfter_ = heardBytes_;
    progress_ = Clock::now();
    trustFrom_ = timingAsked_ + 1;
    timed_ = progress_;
    askTiming();
}

void AudioOutput::ticked(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* self)
{
    auto* out = static_cast<AudioOutput*>(self);
    if (out->failed()) {
        out->dropStream();
        return;
    }
    out->feed();
    out->listen();
    pa_context_rttime_restart(out->context_, event, pa_rtclock_now() + kTickUs);
}

void AudioOutput::feed()
{
    if (!stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY)
        return;
    size_t free = pa_stream_writable_size(stream_);
    while (free > 0 && free != size_t(-1)) {
        char buffer[16384];
        double pts = 0;
        // Until the device plays, nothing the clock has passed is written at all: that is only the
        // case when the clock did not wait for the sound (sound that starts late).
        const qsizetype n = take(buffer, qsizetype(std::min(free, sizeof buffer)), pts,
                                 began_ ? 2 * PlaybackClock::tolerance : 0);
        if (n <= 0)
            break;
        if (pa_stream_write(stream_, buffer, size_t(n), nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            fail("the sound device failed");
            return;
        }
        const bool continues = !segments_.empty()
            && std::abs(segments_.back().pts + double(written_ - segments_.back().offset) / bytesPerSecond_ - pts)
                < 0.002;
        if (!continues)
            segments_.push_back({written_, pts});
        written_ += n;
        free -= size_t(n);
        if (!began_) {
            std::lock_guard lock(mutex_);
            unheard_ = true;
        }
    }
}

double AudioOutput::ptsAt(std::int64_t bytes)
{
    while (segments_.size() > 1 && segments_[1].offset <= bytes)
        segments_.pop_front();
    if (segments_.empty())
        return -1;
    return segments_.front().pts + double(bytes - segments_.front().offset) / bytesPerSecond_;
}

// Where the device is, as the server tells it (between its answers, estimated from the time since).
void AudioOutput::listen()
{
    if (!playing_)
        return;
    const Clock::time_point now = Clock::now();
    if (stream_ && pa_stream_get_state(stream_) == PA_STREAM_READY && !corked_)
        hearAt(now);
    // A stream the server never made counts as a device that never began.
    if (pending() && now - progress_ > (began_ ? kStalled : kStarting))
        fail("the sound device stopped taking samples");
}

void AudioOutput::hearAt(Clock::time_point now)
{
    if (now - timed_ >= (began_ ? kTiming : kTimingStarting)) {
        timed_ = now;
        askTiming();
    }
    // Only what the server said since the stream was made or uncorked tells where it is now.
    const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
    const bool told = timingAnswered_ >= trustFrom_ && timing && !timing->read_index_corrupt && timing->playing;
    std::int64_t bytes = heardBytes_;
    const pa_sample_spec* spec = pa_stream_get_sample_spec(stream_);
    if (told) {
        // What the server has taken, less what its device holds yet, moved on by the time since
        // the answer; nothing is heard that was not written.
        const double usec = double(pa_bytes_to_usec(uint64_t(std::max<int64_t>(timing->read_index, 0)), spec))
            + double(timing->transport_usec) - double(timing->sink_usec) + double(pa_timeval_age(&timing->timestamp));
        bytes = std::min<std::int64_t>(std::int64_t(pa_usec_to_bytes(pa_usec_t(std::max(usec, 0.0)), spec)),
                                       written_);
    }
    if (!began_) {
        if (!told || bytes < beganAfter_ + std::int64_t(pa_frame_size(spec)))
            return;
        began_ = true;
        heardBytes_ = bytes;
        heard_ = ptsAt(bytes);
        progress_ = now;
        {
            std::lock_guard lock(mutex_);
            unheard_ = false;
        }
        clock_.hear(heard_);
        tell();
        return;
    }
    const double heard = bytes > heardBytes_ ? ptsAt(bytes) : heard_;
    heardBytes_ = std::max(heardBytes_, bytes);
    if (heard > heard_ + 0.001) {
        heard_ = heard;
        progress_ = now;
        clock_.hear(heard);
    } else if (pending()) {
        // A device that stands still with sound to play holds the picture where the sound is,
        // until it is given up. Once the last sample has been heard (the sound ends before the
        // pictures) the clock goes on by the wall.
        clock_.hear(heard_);
    }
}

void AudioOutput::askTiming()
{
    if (pa_operation* o = pa_stream_update_timing_info(stream_, &AudioOutput::timed, this)) {
        ++timingAsked_;
        pa_operation_unref(o);
    }
}

void AudioOutput::timed(pa_stream*, int, void* self)
{
    ++static_cast<AudioOutput*>(self)->timingAnswered_;
}

bool AudioOutput::push(QByteArray samples, double pts, quint64 serial)
{
    std::unique_lock lock(mutex_);
    for (;;) {
        if (closed_ || serial_ != serial)
            return false;
        if (failed_)
            return true;
        if (queued_ < capacity_)
            break;
        if (running_) {
            dropPassedLocked(2 * PlaybackClock::tolerance);
            if (queued_ < capacity_)
                break;
            space_.wait_for(lock, std::chrono::milliseconds(50));
            continue;
        }
        // Nothing drains the ring while the output stands still: whoever starts it is asked.
        lock.unlock();
        const bool more = whenFull_ && whenFull_();
        lock.lock();
        if (more && queued_ < capacity_ * kOverflowRings)
            break;
        if (!running_)
            space_.wait_for(lock, std::chrono::milliseconds(50));
    }
    queued_ += samples.size();
    endTime_ = pts + double(samples.size()) / bytesPerSecond_;
    chunks_.push_back({std::move(samples), pts});
    return true;
}

void AudioOutput::dropPassedLocked(double margin)
{
    // With a margin past the tolerance within which the heard sound holds the clock, only sound the
    // device was too late to take (it woke late, or was starved) is dropped, never sound on time.
    const double before = clock_.now() - margin;
    while (!chunks_.empty()) {
        const Chunk& chunk = chunks_.front();
        if (chunk.pts + double(chunk.bytes.size()) / bytesPerSecond_ >= before)
            break;
        queued_ -= chunk.bytes.size() - offset_;
        offset_ = 0;
        chunks_.pop_front();
    }
}

qsizetype AudioOutput::take(char* out, qsizetype max, double& pts, double margin)
{
    std::lock_guard lock(mutex_);
    // Played late, it would pull the clock back and the pictures with it.
    dropPassedLocked(margin);
    // Whole frames only: a sample split between writes would swap the channels.
    max -= max % std::max(1, format_.bytesPerFrame());
    qsizetype done = 0;
    while (done < max && !chunks_.empty()) {
        Chunk& chunk = chunks_.front();
        if (done == 0)
            pts = chunk.pts + double(offset_) / bytesPerSecond_;
        const qsizetype n = std::min(max - done, chunk.bytes.size() - offset_);
        std::memcpy(out + done, chunk.bytes.constData() + offset_, size_t(n));
        done += n;
        offset_ += n;
        if (offset_ == chunk.bytes.size()) {
            chunks_.pop_front();
            offset_ = 0;
        }
    }
    queued_ -= done;
    if (done > 0)
        space_.notify_all();
    return done;
}

void AudioOutput::flush(quint64 serial)
{
    {
        std::lock_guard lock(mutex_);
        serial_ = serial;
        endTime_ = 0;
        chunks_.clear();
        queued_ = 0;
        offset_ = 0;
    }
    space_.notify_all();
    if (!opened())
        return;
    // What the server holds of the sound before is dropped with its stream.
    pa_threaded_mainloop_lock(loop_);
    dropStream();
    makeStream();
    pa_threaded_mainloop_unlock(loop_);
}

void AudioOutput::close()
{
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    space_.notify_all();
    // Once a callback under way has returned, none tells the owner anything more: it may be going.
    if (opened()) {
        pa_threaded_mainloop_lock(loop_);
        pa_threaded_mainloop_unlock(loop_);
    }
}

void AudioOutput::setRunning(bool running)
{
    {
        std::lock_guard lock(mutex_);
        if (running_ == running)
            return;
        running_ = running;
    }
    space_.notify_all();
    if (!opened())
        return;
    pa_threaded_mainloop_lock(loop_);
    playing_ = running;
    if (stream_ && pa_stream_get_state(stream_) == PA_STREAM_READY)
        play(running);
    pa_threaded_mainloop_unlock(loop_);
}

void AudioOutput::fail(const char* why)
{
    {
        std::lock_guard lock(mutex_);
        if (std::exchange(failed_, true))
            return;
        chunks_.clear();
        queued_ = 0;
        offset_ = 0;
        unheard_ = false;
    }
    qCWarning(lcVideoSound).nospace() << "video sound stopped: " << why << "; the clip goes on silently";
    space_.notify_all();
    // A clock that waited for the sound waits no more.
    clock_.soundGone();
    tell();
}

void AudioOutput::tell()
{
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
    }
    if (changed_)
        changed_();
}

bool AudioOutput::opened() const
{
    std::lock_guard lock(mutex_);
    return opened_;
}

bool AudioOutput::failed() const
{
    std::lock_guard lock(mutex_);
    return failed_;
}

bool AudioOutput::pending() const
{
    std::lock_guard lock(mutex_);
    return !failed_ && (queued_ > 0 || unheard_);
}

double AudioOutput::endTime() const
{
    std::lock_guard lock(mutex_);
    // Sound that will not be heard does not make the clip last longer than its pictures.
    return failed_ ? 0 : endTime_;
}

} // namespace app
