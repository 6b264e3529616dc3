// Receiving throughput: 1 GiB of files from a scripted sender through the in-memory stream,
// the framed channel and the receiving session into a sink that only counts bytes, all on one
// thread. Prints MB/s and CPU seconds per GiB for the whole pipeline, for the sender alone,
// and the difference, which is the receiving side's own cost.

#include "support/ReceivePipeline.h"

#include "p2p/protocol/streams/InMemoryByteStream.h"
#include "p2p/protocol/P2PLog.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

using namespace p2p;
using namespace bench;

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A stream that drops everything: the sender measured alone.
class NullStream : public ByteStream {
public:
    asio::awaitable<void> send(Bytes bytes) override
    {
        sent += static_cast<std::int64_t>(bytes.size());
        co_return;
    }
    asio::awaitable<std::optional<Bytes>> receive() override { co_return std::nullopt; }
    asio::awaitable<void> close() override { co_return; }
    std::int64_t sent = 0;
};

struct Measurement {
    double wallSeconds;
    double cpuSeconds;
};

template <typename Work>
Measurement measure(Work&& work)
{
    const double cpu0 = cpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    work();
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wall0;
    return {wall.count(), cpuSeconds() - cpu0};
}

} // namespace

int main()
{
    setLogSink([](LogLevel level, std::string_view, std::string_view, std::string_view message) {
        if (level == LogLevel::error)
            std::fprintf(stderr, "%.*s\n", int(message.size()), message.data());
    });

    const Bytes content = pipelineContent();

    // The sender alone, into a stream that drops everything.
    NullStream nullStream;
    const Measurement sender = measure([&] {
        asio::io_context io;
        asio::co_spawn(io, sendPipelineFiles(nullStream, content, false), asio::detached);
        io.run();
    });

    // The whole pipeline.
    auto sink = std::make_shared<CountingSink>();
    std::int64_t events = 0;
    SessionEnd::Reason endReason = SessionEnd::Reason::error;
    const Measurement pipeline = measure([&] {
        asio::io_context io;
        auto [sessionEnd, phoneEnd] = InMemoryByteStream::makePair(io.get_executor());
        auto onEvent = [&](const ReceiveEvent& event) {
            ++events;
            if (const auto* finished = event.getIf<ReceiveEvent::Finished>())
                endReason = finished->reason;
        };
        auto session = makeCountingSession(io.get_executor(), std::move(sessionEnd), sink, onEvent);
        asio::co_spawn(io, session->run(), asio::detached);
        asio::co_spawn(io, sendPipelineFiles(*phoneEnd, content, true), asio::detached);
        io.run();
    });

    if (!sink->received() || endReason != SessionEnd::Reason::completed) {
        std::fprintf(stderr, "ReceiveSessionBench: wrong result (%lld bytes, %d files)\n",
            static_cast<long long>(sink->byteCount), sink->storedFiles);
        return EXIT_FAILURE;
    }

    const double gib = double(pipelineTotalBytes) / double(std::int64_t{1} << 30);
    const double mb = double(pipelineTotalBytes) / 1e6;
    const double receiveCpu = pipeline.cpuSeconds - sender.cpuSeconds;
    std::printf("ReceiveSessionBench: %d files of %zu MiB in %zu KiB chunks, %lld events\n", pipelineFileCount,
        pipelineFileBytes >> 20, pipelineChunkBytes >> 10, static_cast<long long>(events));
    std::printf("  pipeline (sender + stream + channel + session + sink, one thread): %.0f MB/s, %.3f CPU s per GiB\n",
        mb / pipeline.wallSeconds, pipeline.cpuSeconds / gib);
    std::printf("  sender alone:                                                      %.0f MB/s, %.3f CPU s per GiB\n",
        mb / sender.wallSeconds, sender.cpuSeconds / gib);
    std::printf("  receiving side (pipeline minus sender):                            %.0f MB/s, %.3f CPU s per GiB\n",
        receiveCpu > 0 ? mb / receiveCpu : 0.0, receiveCpu / gib);
    std::printf("  target: receiving side >= 480 MB/s on one core\n");
    return EXIT_SUCCESS;
}
