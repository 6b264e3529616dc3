#pragma once

#include <cstdint>

namespace app {

// How many pixels the photo decoders hold at once, across every thread: a decode takes its share
// before it allocates and waits while others hold too much, so a folder of large pictures decodes
// a few at a time however many files the thumbnail pool starts together.
class PixelBudget {
public:
    // Four 12-megapixel photos with their decoded frames; a picture larger than this waits until
    // nothing else is held, then runs alone.
    static constexpr std::uint64_t total = 64ull * 1024 * 1024;

    class Lease {
    public:
        explicit Lease(std::uint64_t pixels);
        ~Lease();
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

    private:
        std::uint64_t pixels_;
    };

    // Pixels held right now.
    static std::uint64_t held();
};

} // namespace app
