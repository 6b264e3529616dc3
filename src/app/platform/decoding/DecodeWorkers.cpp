#include "app/platform/decoding/DecodeWorkers.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace app::DecodeWorkers {

namespace {

// One call's jobs: helpers and the caller take indices until none are left.
struct Batch {
    std::size_t count = 0;
    const std::function<bool(std::size_t)>* job = nullptr;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    int running = 0; // helpers inside work(), under the pool's mutex

    void work()
    {
        for (std::size_t i = next++; i < count && !failed; i = next++)
            if (!(*job)(i))
                failed = true;
    }
};

class Pool {
public:
    static Pool& instance()
    {
        // Never destroyed: its threads may be waiting when the process exits.
        static Pool* pool = new Pool;
        return *pool;
    }

    bool run(std::size_t count, int threads, const std::function<bool(std::size_t)>& job)
    {
        Batch batch;
        batch.count = count;
        batch.job = &job;
        const int helpers = int(std::min<std::size_t>(count, std::size_t(std::max(threads, 1)))) - 1;
        if (helpers > 0) {
            const std::lock_guard lock(mutex_);
            while (int(threads_.size()) < helpers)
                threads_.emplace_back([this] { loop(); });
            for (int i = 0; i < helpers; ++i)
                queue_.push_back(&batch);
        }
        if (helpers > 0)
            wake_.notify_all();
        batch.work();
        if (helpers > 0) {
            std::unique_lock lock(mutex_);
            // Helpers that have not started yet have nothing left to do.
            queue_.erase(std::remove(queue_.begin(), queue_.end(), &batch), queue_.end());
            done_.wait(lock, [&] { return batch.running == 0; });
        }
        return !batch.failed;
    }

private:
    void loop()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return !queue_.empty(); });
            Batch* batch = queue_.front();
            queue_.pop_front();
            ++batch->running;
            lock.unlock();
            batch->work();
            lock.lock();
            if (--batch->running == 0)
                done_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<Batch*> queue_;
    std::vector<std::thread> threads_;
};

} // namespace

int usableCores(int cap)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    int cores = 1;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        cores = std::max(1, CPU_COUNT(&set));
    else
        cores = int(std::max(1u, std::thread::hardware_concurrency()));
    return std::min(cores, std::max(cap, 1));
}

bool run(std::size_t count, int threads, const std::function<bool(std::size_t)>& job)
{
    if (count == 0)
        return true;
    return Pool::instance().run(count, threads, job);
}

} // namespace app::DecodeWorkers
