#pragma once

#include <atomic>
#include <cstdint>

namespace app {

// How many pixels the decoders hold at once, across every thread: a decode takes its share before
// it allocates and waits while others hold too much, so a folder of large pictures decodes a few
// at a time however many files the thumbnail pool starts together. Requests are served in the
// order they came, so a large one is not passed for ever by a stream of later small ones.
class PixelBudget {
public:
    // Four 12-megapixel photos with their decoded frames. A request for more is served as one for
    // all of it: alone, once everything before it is done.
    static constexpr std::uint64_t total = 64ull * 1024 * 1024;

    class Lease {
    public:
        explicit Lease(std::uint64_t pixels);
        // Gives up waiting once `abandon` is set (looked at every few milliseconds while waiting);
        // `granted` then says false.
        Lease(std::uint64_t pixels, const std::atomic<bool>& abandon);
        ~Lease();
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

        bool granted() const { return pixels_ != 0; }

    private:
        std::uint64_t pixels_;
    };

    // Pixels held right now.
    static std::uint64_t held();
    // Requests waiting for their turn.
    static std::uint64_t waiting();
};

} // namespace app
