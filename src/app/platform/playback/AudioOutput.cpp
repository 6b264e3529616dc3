#include "app/platform/playback/AudioOutput.h"

#include "app/platform/playback/PlaybackClock.h"

#include <QAudioSink>
#include <QIODevice>
#include <QLoggingCategory>
#include <QMediaDevices>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <utility>

Q_LOGGING_CATEGORY(lcVideoSound, "tessivarnholm.playback.sound")

namespace app {

namespace {

// Past the ring's size, how much more a push may add while nothing drains it.
constexpr qsizetype kOverflowRings = 16;
// A device that takes nothing this long while it has sound to take has gone (a suspended sink, a
// sound server that went without a word): the rest of the clip is silent. One that has not begun
// to take anything since it was (re)started is given longer: some sinks wake only at the end of
// a long block (a null sink's is two seconds), as a Bluetooth headset takes a while to connect.
constexpr std::chrono::milliseconds kStalled{750};
constexpr std::chrono::milliseconds kStarting{3000};

} // namespace

// Lives on the output's thread, where the sink was made and wants to be called.
class AudioOutput::Feeder : public QObject {
public:
    Feeder(AudioOutput& owner, std::optional<QAudioDevice> device) : owner_(owner), device_(std::move(device)) {}

    bool open(const QAudioFormat& format)
    {
        // Asked here, not on the window's thread: a sound server that stopped answering holds the
        // question.
        const QAudioDevice device = device_ ? *device_ : QMediaDevices::defaultAudioOutput();
        if (device.isNull())
            return false;
        sink_ = new QAudioSink(device, format, this);
        // A fifth of a second in the device: enough against a busy machine, little to wait for.
        sink_->setBufferSize(format.bytesForDuration(200'000));
        // A sound server that goes away, or a device unplugged, must not hold the pictures.
        connect(sink_, &QAudioSink::stateChanged, this, [this](QAudio::State state) {
            if (state == QAudio::StoppedState && sink_->error() != QAudio::NoError
                && sink_->error() != QAudio::UnderrunError)
                stopFeeding("the sound device failed");
        });
        bytesPerSecond_ = format.bytesForDuration(1'000'000);
        timer_ = new QTimer(this);
        timer_->setInterval(10);
        timer_->setTimerType(Qt::PreciseTimer);
        connect(timer_, &QTimer::timeout, this, [this] { feed(); });
        restart();
        return io_ != nullptr;
    }

    void restart()
    {
        if (!sink_)
            return;
        sink_->stop();
        io_ = owner_.failed() ? nullptr : sink_->start();
        if (io_ && owner_.failed()) {
            // The clip stopped waiting for this opening and went on silently.
            sink_->stop();
            io_ = nullptr;
        }
        written_ = false;
        heard_ = -1;
        moving_ = synced_ = false;
        progress_ = Clock::now();
        if (!running_ && io_)
            sink_->suspend();
    }

    void setRunning(bool running)
    {
        running_ = running;
        // A failed sound is not touched again: corking a stream whose server has gone aborts.
        if (!sink_ || !io_ || owner_.failed())
            return;
        if (running) {
            progress_ = Clock::now();
            moving_ = synced_ = false;
            sink_->resume();
            timer_->start();
            feed();
        } else {
            timer_->stop();
            sink_->suspend();
        }
    }

    // Before the thread ends. A stream that ran dry asked the server to drain it, and the
    // answer names the sink: it may come after the stream is stopped, on the sound server's
    // thread. Answers come in the order asked, so once a request made after the stop has been
    // answered (opening a stream waits for that), nothing more calls the sink and it can go.
    void end()
    {
        if (timer_)
            timer_->stop();
        io_ = nullptr;
        if (!sink_)
            return;
        sink_->disconnect(this);
        sink_->stop();
        sink_->start();
        sink_->stop();
        delete sink_;
        sink_ = nullptr;
    }

private:
    using Clock = std::chrono::steady_clock;

    // The sound is gone for the rest of the clip: nothing more is written, and the clock, told
    // nothing more, goes on by the wall from where it was.
    void stopFeeding(const char* why)
    {
        timer_->stop();
        io_ = nullptr;
        owner_.fail(why);
    }

    void feed()
    {
        if (!io_ || !running_)
            return;
        if (owner_.failed()) {
            stopFeeding("");
            return;
        }
        qsizetype free = sink_->bytesFree();
        while (free > 0) {
            char buffer[16384];
            double pts = 0;
            // Until the device plays on time, nothing the clock has passed is written at all.
            const qsizetype n = owner_.take(buffer, std::min<qsizetype>(free, sizeof buffer), pts,
                                            synced_ ? 2 * PlaybackClock::tolerance : 0);
            if (n <= 0)
                break;
            const qint64 done = io_->write(buffer, n);
            if (done <= 0)
                break;
            end_ = pts + double(done) / bytesPerSecond_;
            written_ = true;
            free -= done;
            progress_ = Clock::now();
        }
        if (written_) {
            // What the device still holds is yet to be heard.
            const qsizetype held = std::max<qsizetype>(0, sink_->bufferSize() - sink_->bytesFree());
            const double heard = end_ - double(held) / bytesPerSecond_;
            // Only sound that moves tells the clock the time: once the last sample has been heard
            // (the sound ends before the pictures) the clock goes on by the wall, and a time heard
            // a while ago would only hold it back.
            if (heard > heard_ + 0.001) {
                moving_ = moving_ || heard_ >= 0;
                heard_ = heard;
                progress_ = Clock::now();
                // A device that woke late plays what it was given before it slept: that is not
                // where the clip is, and the clock waits for nothing until the sound is on time.
                synced_ = synced_ || (moving_ && heard >= owner_.clock_.now() - PlaybackClock::tolerance);
                if (synced_)
                    owner_.clock_.hear(heard);
            }
        }
        if (owner_.queuedBytes() > 0 && Clock::now() - progress_ > (moving_ ? kStalled : kStarting))
            stopFeeding("the sound device stopped taking samples");
    }

    AudioOutput& owner_;
    // None: the system's default, asked for when the sound opens.
    std::optional<QAudioDevice> device_;
    QAudioSink* sink_ = nullptr;
    QIODevice* io_ = nullptr;
    QTimer* timer_ = nullptr;
    double bytesPerSecond_ = 1;
    double end_ = 0;
    // The last time heard, and when it last moved on.
    double heard_ = -1;
    Clock::time_point progress_ = Clock::now();
    // The device has taken samples since it was last (re)started, and what it plays has been on
    // time since.
    bool moving_ = false;
    bool synced_ = false;
    bool written_ = false;
    bool running_ = false;
};

AudioOutput::AudioOutput(std::optional<QAudioDevice> device, PlaybackClock& clock, Full whenFull)
    : clock_(clock), whenFull_(std::move(whenFull))
{
    thread_.setObjectName(QStringLiteral("video sound"));
    feeder_ = new Feeder(*this, std::move(device));
    feeder_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, feeder_, &QObject::deleteLater);
    thread_.start();
}

AudioOutput::~AudioOutput()
{
    close();
    // The sink goes on its own thread, in an order no callback of the sound server outlives.
    QMetaObject::invokeMethod(feeder_, [this] { feeder_->end(); }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

QAudioFormat AudioOutput::open(int sampleRate, int channels)
{
    QAudioFormat format;
    format.setSampleRate(std::clamp(sampleRate, 8000, 192000));
    format.setChannelCount(std::clamp(channels, 1, 2));
    format.setSampleFormat(QAudioFormat::Int16);
    // A sound server that stopped answering holds the opening: the clip does not wait for it
    // longer than for a device that takes nothing, and plays silently.
    auto opened = std::make_shared<std::promise<bool>>();
    std::future<bool> answer = opened->get_future();
    QMetaObject::invokeMethod(feeder_, [this, opened, format] { opened->set_value(feeder_->open(format)); });
    if (answer.wait_for(kStarting) != std::future_status::ready) {
        fail("the sound device did not answer");
        return {};
    }
    if (!answer.get())
        return {};
    std::lock_guard lock(mutex_);
    format_ = format;
    capacity_ = format.bytesForDuration(1'000'000);
    return format;
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
    endTime_ = pts + double(samples.size()) / format_.bytesForDuration(1'000'000);
    chunks_.push_back({std::move(samples), pts});
    return true;
}

void AudioOutput::dropPassedLocked(double margin)
{
    // With a margin past the tolerance within which the heard sound holds the clock, only sound the
    // device was too late to take (it woke late, or was starved) is dropped, never sound on time.
    const double before = clock_.now() - margin;
    const double bytesPerSecond = format_.bytesForDuration(1'000'000);
    while (!chunks_.empty()) {
        const Chunk& chunk = chunks_.front();
        if (chunk.pts + double(chunk.bytes.size()) / bytesPerSecond >= before)
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
    const double bytesPerSecond = format_.bytesForDuration(1'000'000);
    while (done < max && !chunks_.empty()) {
        Chunk& chunk = chunks_.front();
        if (done == 0)
            pts = chunk.pts + double(offset_) / bytesPerSecond;
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
    QMetaObject::invokeMethod(feeder_, [this] { feeder_->restart(); });
}

void AudioOutput::close()
{
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    space_.notify_all();
}

void AudioOutput::setRunning(bool running)
{
    {
        std::lock_guard lock(mutex_);
        running_ = running;
    }
    space_.notify_all();
    QMetaObject::invokeMethod(feeder_, [this, running] { feeder_->setRunning(running); });
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
    }
    qCWarning(lcVideoSound).nospace() << "video sound stopped: " << why << "; the clip goes on silently";
    space_.notify_all();
}

qsizetype AudioOutput::queuedBytes() const
{
    std::lock_guard lock(mutex_);
    return queued_;
}

bool AudioOutput::failed() const
{
    std::lock_guard lock(mutex_);
    return failed_;
}

double AudioOutput::endTime() const
{
    std::lock_guard lock(mutex_);
    // Sound that will not be heard does not make the clip last longer than its pictures.
    return failed_ ? 0 : endTime_;
}

} // namespace app
