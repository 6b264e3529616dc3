// Decoding a manifest-batch frame of 64 KiB, 1 MiB and 8 MiB: a phone's normal manifest beside shapes
// a hostile or broken peer can send (wide arrays of empty containers, tiny members, long text, nesting
// to the limit). For each: the decoder's time (best of several runs) and its ratio to the normal
// manifest of the same size, and the peak of heap bytes in use during the decode as a multiple of the
// frame's size. Plain nlohmann::json::parse of the same bytes is printed beside it for reference.
// Build in Release and run without arguments.

#include "support/p2p/HostileJson.h"
#include "p2p/protocol/framing/MessageCoder.h"
#include "p2p/protocol/ProtocolError.h"

#include <nlohmann/json.hpp>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> heapInUse{0};
std::atomic<std::size_t> heapPeak{0};

void noteAllocation(void* pointer)
{
    const std::size_t now = heapInUse += malloc_usable_size(pointer);
    std::size_t peak = heapPeak.load();
    while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
    }
}

} // namespace

void* operator new(std::size_t size)
{
    void* pointer = std::malloc(size == 0 ? 1 : size);
    if (pointer == nullptr) {
        throw std::bad_alloc();
    }
    noteAllocation(pointer);
    return pointer;
}

void operator delete(void* pointer) noexcept
{
    if (pointer != nullptr) {
        heapInUse -= malloc_usable_size(pointer);
        std::free(pointer);
    }
}

void operator delete(void* pointer, std::size_t) noexcept
{
    operator delete(pointer);
}

namespace {

using namespace p2p;
using Clock = std::chrono::steady_clock;

struct Measure {
    double seconds = 0;
    std::size_t peakBytes = 0;
    bool decoded = false;
};

template <typename Decode>
Measure measure(const std::string& payload, Decode decode)
{
    Measure best;
    best.seconds = 1e9;
    const int runs = payload.size() > (1u << 20) ? 3 : 10;
    for (int run = 0; run < runs; ++run) {
        FrameDecoder::Frame frame{rawValue(MessageType::manifestBatch), Bytes(payload.begin(), payload.end())};
        const std::size_t before = heapInUse.load();
        heapPeak = before;
        const auto start = Clock::now();
        best.decoded = decode(std::move(frame));
        best.seconds = std::min(best.seconds, std::chrono::duration<double>(Clock::now() - start).count());
        best.peakBytes = std::max(best.peakBytes, heapPeak.load() - before);
    }
    return best;
}

bool coderDecode(FrameDecoder::Frame&& frame)
{
    try {
        MessageCoder::decode(std::move(frame));
        return true;
    } catch (const ProtocolError&) {
        return false;
    }
}

bool plainParse(FrameDecoder::Frame&& frame)
{
    const Bytes payload = std::move(frame.payload);
    return !nlohmann::json::parse(payload.begin(), payload.end(), nullptr, false).is_discarded();
}

} // namespace

int main()
{
    bool withinBounds = true;
    for (const std::size_t size : {std::size_t{64} << 10, std::size_t{1} << 20, std::size_t{8} << 20}) {
        std::printf("\n%zu KiB frames                 decoder: ms   x normal  peak/size   plain parse: ms  peak/size\n",
            size >> 10);
        double normalSeconds = 0;
        for (const hostile::Shape& shape : hostile::shapes()) {
            const std::string payload = shape.make(size, MessageCoder::maximumJsonDepth);
            const Measure coder = measure(payload, coderDecode);
            const Measure plain = measure(payload, plainParse);
            if (normalSeconds == 0) {
                normalSeconds = coder.seconds;
            }
            const double timeRatio = coder.seconds / normalSeconds;
            const double memoryRatio = static_cast<double>(coder.peakBytes) / static_cast<double>(payload.size());
            withinBounds = withinBounds && timeRatio <= 3.0 && memoryRatio <= 32.0;
            std::printf("  %-22s %-8s %9.2f %9.2f %9.1f   %14.2f %9.1f\n", shape.name, coder.decoded ? "decoded" : "refused",
                coder.seconds * 1e3, timeRatio, memoryRatio, plain.seconds * 1e3,
                static_cast<double>(plain.peakBytes) / static_cast<double>(payload.size()));
        }
    }
    std::printf("\nevery shape within 3x the normal manifest's time and 32x its size in memory: %s\n",
        withinBounds ? "yes" : "NO");
    return withinBounds ? 0 : 1;
}
