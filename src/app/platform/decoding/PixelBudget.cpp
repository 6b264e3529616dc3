#include "app/platform/decoding/PixelBudget.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>

namespace app {

namespace {

std::mutex mutex;
std::condition_variable changed;
std::uint64_t inUse = 0;
// One entry for each request not yet served, oldest first; only the first may be served.
std::list<char> queue;

// Waits for the request's turn and room; false when abandoned first.
bool take(std::uint64_t pixels, const std::atomic<bool>* abandon)
{
    std::unique_lock lock(mutex);
    const auto ticket = queue.insert(queue.end(), 0);
    const auto served = [&] { return queue.begin() == ticket && inUse + pixels <= PixelBudget::total; };
    const auto given = [&] { return abandon && abandon->load(); };
    while (!served()) {
        if (!abandon) {
            changed.wait(lock);
        } else if (given()) {
            queue.erase(ticket);
            lock.unlock();
            changed.notify_all(); // the next in line may be first now
            return false;
        } else {
            changed.wait_for(lock, std::chrono::milliseconds(20));
        }
    }
    inUse += pixels;
    queue.erase(ticket);
    lock.unlock();
    changed.notify_all(); // the next in line may fit beside it
    return true;
}

} // namespace

PixelBudget::Lease::Lease(std::uint64_t pixels) : pixels_(std::clamp<std::uint64_t>(pixels, 1, total))
{
    take(pixels_, nullptr);
}

PixelBudget::Lease::Lease(std::uint64_t pixels, const std::atomic<bool>& abandon)
    : pixels_(std::clamp<std::uint64_t>(pixels, 1, total))
{
    if (!take(pixels_, &abandon))
        pixels_ = 0;
}

PixelBudget::Lease::~Lease()
{
    if (!pixels_)
        return;
    {
        const std::lock_guard lock(mutex);
        inUse -= pixels_;
    }
    changed.notify_all();
}

std::uint64_t PixelBudget::held()
{
    const std::lock_guard lock(mutex);
    return inUse;
}

std::uint64_t PixelBudget::waiting()
{
    const std::lock_guard lock(mutex);
    return queue.size();
}

} // namespace app
