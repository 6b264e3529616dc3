#pragma once

#include <chrono>
#include <cmath>
#include <mutex>

namespace app {

// The media time a video is at, in seconds: the wall clock from an anchor while running, pulled to
// the sound the listener hears whenever there is sound. Any thread.
class PlaybackClock {
public:
    double now() const
    {
        std::lock_guard lock(mutex_);
        return nowLocked();
    }
    bool running() const
    {
        std::lock_guard lock(mutex_);
        return running_;
    }
    void set(double media)
    {
        std::lock_guard lock(mutex_);
        anchor(media);
    }
    void setRunning(bool running)
    {
        std::lock_guard lock(mutex_);
        if (running_ == running)
            return;
        anchor(nowLocked());
        running_ = running;
    }
    // The sound heard now is at `heard`. The device takes its samples in bursts, so the estimate
    // swings by a few tens of milliseconds; only a larger gap (the sound starved, say) moves the clock.
    void hear(double heard)
    {
        std::lock_guard lock(mutex_);
        if (running_ && std::abs(nowLocked() - heard) > tolerance)
            anchor(heard);
    }

    static constexpr double tolerance = 0.1;

private:
    using Clock = std::chrono::steady_clock;
    double nowLocked() const
    {
        if (!running_)
            return media_;
        return media_ + std::chrono::duration<double>(Clock::now() - wall_).count();
    }
    void anchor(double media)
    {
        media_ = media;
        wall_ = Clock::now();
    }

    mutable std::mutex mutex_;
    double media_ = 0;
    Clock::time_point wall_ = Clock::now();
    bool running_ = false;
};

} // namespace app
