#pragma once

#include <cstddef>
#include <functional>

namespace app::DecodeWorkers {

// The cores this process may run on (its CPU affinity, not the machine's core count), at most `cap`.
int usableCores(int cap);

// Runs `job(i)` for i in 0..count-1 on up to `threads` threads, the caller's included, and returns
// when all are done; false when any failed (the rest are then skipped). The helper threads live as
// long as the process, so a call starts none, and a thread-local decoder on them is reused.
bool run(std::size_t count, int threads, const std::function<bool(std::size_t)>& job);

} // namespace app::DecodeWorkers
