#pragma once

#include <chrono>
#include <cmath>
#include <mutex>
#include <utility>

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
        awaiting_ = false;
        if (running_ == running)
            return;
        anchor(nowLocked());
        running_ = running;
    }
    // Playing is wanted, from the first sound heard: the clock stands until then.
    void awaitSound()
    {
        std::lock_guard lock(mutex_);
        awaiting_ = !running_;
    }
    // The sound heard now is at `heard`. A clock waiting for the sound starts there. The device
    // takes its samples in bursts, so the estimate swings by a few tens of milliseconds; only a
    // larger gap (the sound starved, say) moves a running clock.
    void hear(double heard)
    {
        std::lock_guard lock(mutex_);
        if (std::exchange(awaiting_, false)) {
            running_ = true;
            anchor(heard);
        } else if (running_ && std::abs(nowLocked() - heard) > tolerance) {
            anchor(heard);
        }
    }
    // No sound will be heard: a clock waiting for it starts from where it stands.
    void soundGone()
    {
        std::lock_guard lock(mutex_);
        if (std::exchange(awaiting_, false)) {
            running_ = true;
            anchor(media_);
        }
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
    bool awaiting_ = false;
};

} // namespace app
