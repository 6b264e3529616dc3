#include "app/platform/playback/AudioOutput.h"

#include "app/platform/playback/PlaybackClock.h"

#include <QAudioSink>
#include <QIODevice>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

Q_LOGGING_CATEGORY(lcVideoSound, "tessivarnholm.playback.sound")

namespace app {

namespace {

// Past the ring's size, how much more a push may add while nothing drains it.
constexpr qsizetype kOverflowRings = 16;

} // namespace

// Lives on the output's thread, where the sink was made and wants to be called.
class AudioOutput::Feeder : public QObject {
public:
    Feeder(AudioOutput& owner, const QAudioDevice& device) : owner_(owner), device_(device) {}

    bool open(const QAudioFormat& format)
    {
        sink_ = new QAudioSink(device_, format, this);
        // A fifth of a second in the device: enough against a busy machine, little to wait for.
        sink_->setBufferSize(format.bytesForDuration(200'000));
        // A sound server that goes away, or a device unplugged, must not hold the pictures.
        connect(sink_, &QAudioSink::stateChanged, this, [this](QAudio::State state) {
            if (state == QAudio::StoppedState && sink_->error() != QAudio::NoError
                && sink_->error() != QAudio::UnderrunError)
                owner_.fail();
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
        io_ = sink_->start();
        written_ = false;
        if (!running_ && io_)
            sink_->suspend();
    }

    void setRunning(bool running)
    {
        running_ = running;
        if (!sink_ || !io_)
            return;
        if (running) {
            sink_->resume();
            timer_->start();
            feed();
        } else {
            timer_->stop();
            sink_->suspend();
        }
    }

private:
    void feed()
    {
        if (!io_ || !running_)
            return;
        qsizetype free = sink_->bytesFree();
        while (free > 0) {
            char buffer[16384];
            double pts = 0;
            const qsizetype n = owner_.take(buffer, std::min<qsizetype>(free, sizeof buffer), pts);
            if (n <= 0)
                break;
            const qint64 done = io_->write(buffer, n);
            if (done <= 0)
                break;
            end_ = pts + double(done) / bytesPerSecond_;
            written_ = true;
            free -= done;
        }
        if (!written_)
            return;
        // What the device still holds is yet to be heard.
        const qsizetype held = std::max<qsizetype>(0, sink_->bufferSize() - sink_->bytesFree());
        owner_.clock_.hear(end_ - double(held) / bytesPerSecond_);
    }

    AudioOutput& owner_;
    QAudioDevice device_;
    QAudioSink* sink_ = nullptr;
    QIODevice* io_ = nullptr;
    QTimer* timer_ = nullptr;
    double bytesPerSecond_ = 1;
    double end_ = 0;
    bool written_ = false;
    bool running_ = false;
};

AudioOutput::AudioOutput(const QAudioDevice& device, PlaybackClock& clock, Full whenFull)
    : clock_(clock), whenFull_(std::move(whenFull))
{
    thread_.setObjectName(QStringLiteral("video sound"));
    feeder_ = new Feeder(*this, device);
    feeder_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, feeder_, &QObject::deleteLater);
    thread_.start();
}

AudioOutput::~AudioOutput()
{
    close();
    thread_.quit();
    thread_.wait();
}

QAudioFormat AudioOutput::open(int sampleRate, int channels)
{
    QAudioFormat format;
    format.setSampleRate(std::clamp(sampleRate, 8000, 192000));
    format.setChannelCount(std::clamp(channels, 1, 2));
    format.setSampleFormat(QAudioFormat::Int16);
    bool opened = false;
    QMetaObject::invokeMethod(
        feeder_, [&] { opened = feeder_->open(format); }, Qt::BlockingQueuedConnection);
    if (!opened)
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
            space_.wait(lock);
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

qsizetype AudioOutput::take(char* out, qsizetype max, double& pts)
{
    std::lock_guard lock(mutex_);
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

void AudioOutput::fail()
{
    {
        std::lock_guard lock(mutex_);
        if (std::exchange(failed_, true))
            return;
        chunks_.clear();
        queued_ = 0;
        offset_ = 0;
    }
    qCWarning(lcVideoSound) << "video sound stopped: the sound device failed; the clip goes on silently";
    space_.notify_all();
}

bool AudioOutput::failed() const
{
    std::lock_guard lock(mutex_);
    return failed_;
}

double AudioOutput::endTime() const
{
    std::lock_guard lock(mutex_);
    return endTime_;
}

} // namespace app
