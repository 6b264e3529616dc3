// CRC-32 throughput against zlib's crc32() on 256 KiB buffers, and decode throughput of a stream
// of 256 KiB file-chunk frames. Run from a Release build.
#include "p2p/protocol/framing/CRC32.h"
#include "p2p/protocol/framing/Framing.h"
#include "p2p/protocol/framing/MessageCoder.h"
#include "p2p/protocol/messages/SessionConfiguration.h"

#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>

using namespace p2p;

namespace {

constexpr std::size_t chunkSize = 256 * 1024;
volatile std::uint32_t sink; // keeps results alive

// Best of five runs of about 0.2 s each, in GB/s.
double measure(std::size_t bytesPerCall, const std::function<void()>& call)
{
    using Clock = std::chrono::steady_clock;
    double best = 0;
    for (int run = 0; run < 5; ++run) {
        std::size_t calls = 0;
        const auto start = Clock::now();
        auto now = start;
        do {
            for (int i = 0; i < 16; ++i) {
                call();
            }
            calls += 16;
            now = Clock::now();
        } while (now - start < std::chrono::milliseconds(200));
        const double seconds = std::chrono::duration<double>(now - start).count();
        best = std::max(best, static_cast<double>(calls * bytesPerCall) / seconds / 1e9);
    }
    return best;
}

} // namespace

int main()
{
    std::mt19937_64 random(7);
    Bytes buffer(chunkSize);
    for (auto& b : buffer) {
        b = static_cast<std::uint8_t>(random());
    }
    if (CRC32::value(buffer) != static_cast<std::uint32_t>(::crc32(0, buffer.data(), chunkSize))) {
        std::fprintf(stderr, "CRC-32 differs from zlib\n");
        return 1;
    }

    const double zlibRate = measure(chunkSize, [&] { sink = static_cast<std::uint32_t>(::crc32(0, buffer.data(), chunkSize)); });
    const double ourRate = measure(chunkSize, [&] { sink = CRC32::value(buffer); });
    const double sliceRate = measure(chunkSize, [&] { sink = crc32detail::updateSliceBy8(~0u, buffer.data(), chunkSize); });
    std::printf("CRC-32 on 256 KiB buffers (best of 5, GB/s)\n");
    std::printf("  zlib crc32()          %6.2f\n", zlibRate);
    std::printf("  CRC32 (dispatched)    %6.2f  ratio to zlib %.2f  folding path %s\n", ourRate, ourRate / zlibRate,
        crc32detail::hasFoldingSupport() ? "on" : "off (no PCLMULQDQ)");
    std::printf("  slice-by-8 alone      %6.2f  ratio to zlib %.2f\n", sliceRate, sliceRate / zlibRate);

    // A stream of 64 chunk frames (16 MiB), fed in 64 KiB pieces as a socket would deliver it.
    constexpr int frameCount = 64;
    Bytes stream;
    const Bytes frame = MessageCoder::encode(FileChunk{buffer});
    for (int i = 0; i < frameCount; ++i) {
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    constexpr std::size_t pieceSize = 64 * 1024;
    const auto decodeStream = [&](bool checksum) {
        FrameDecoder decoder(SessionConfiguration::defaults().maximumFrameByteCount);
        CRC32 crc;
        int chunks = 0;
        for (std::size_t at = 0; at < stream.size(); at += pieceSize) {
            decoder.append(stream.data() + at, std::min(pieceSize, stream.size() - at));
            while (auto next = decoder.nextFrame()) {
                Message message = MessageCoder::decode(std::move(*next));
                if (checksum) {
                    crc.update(std::get<FileChunk>(message).bytes);
                }
                ++chunks;
            }
        }
        sink = crc.value() + static_cast<std::uint32_t>(chunks);
    };
    const double decodeRate = measure(stream.size(), [&] { decodeStream(false); });
    const double decodeCrcRate = measure(stream.size(), [&] { decodeStream(true); });
    std::printf("Decode of 256 KiB chunk frames from 64 KiB pieces (GB/s)\n");
    std::printf("  frame + message decode %6.2f\n", decodeRate);
    std::printf("  decode + CRC-32        %6.2f\n", decodeCrcRate);
    return 0;
}
