#include "app/platform/decoding/PixelBudget.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace app {

namespace {

std::mutex mutex;
std::condition_variable released;
std::uint64_t inUse = 0;

} // namespace

PixelBudget::Lease::Lease(std::uint64_t pixels) : pixels_(std::clamp<std::uint64_t>(pixels, 1, total))
{
    std::unique_lock lock(mutex);
    released.wait(lock, [&] { return inUse + pixels_ <= total; });
    inUse += pixels_;
}

PixelBudget::Lease::~Lease()
{
    {
        const std::lock_guard lock(mutex);
        inUse -= pixels_;
    }
    released.notify_all();
}

std::uint64_t PixelBudget::held()
{
    const std::lock_guard lock(mutex);
    return inUse;
}

} // namespace app
