#include "app/platform/playback/AudioOutput.h"

#include "app/platform/playback/PlaybackClock.h"

#include <QAudioSink>
#include <QIODevice>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <cstring>

namespace app {

// Lives on the output's thread, where the sink was made and wants to be called.
class AudioOutput::Feeder : public QObject {
public:
    Feeder(AudioOutput& owner, const QAudioDevice& device) : owner_(owner), device_(device) {}

    bool open(const QAudioFormat& format)
    {
        sink_ = new QAudioSink(device_, format, this);
        // A fifth of a second in the device: enough against a busy machine, little to wait for.
        sink_->setBufferSize(format.bytesForDuration(200'000));
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

AudioOutput::AudioOutput(const QAudioDevice& device, PlaybackClock& clock) : clock_(clock)
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
    space_.wait(lock, [&] { return closed_ || serial_ != serial || queued_ < capacity_; });
    if (closed_ || serial_ != serial)
        return false;
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
    QMetaObject::invokeMethod(feeder_, [this, running] { feeder_->setRunning(running); });
}

double AudioOutput::endTime() const
{
    std::lock_guard lock(mutex_);
    return endTime_;
}

} // namespace app
