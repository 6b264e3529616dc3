// Receiving throughput: 1 GiB of files from a scripted sender through the in-memory stream,
// the framed channel and the receiving session into a sink that only counts bytes, all on one
// thread. Prints MB/s and CPU seconds per GiB for the whole pipeline, for the sender alone,
// and the difference, which is the receiving side's own cost.

#include "p2p/protocol/CRC32.h"
#include "p2p/protocol/FramedMessageChannel.h"
#include "p2p/protocol/InMemoryByteStream.h"
#include "p2p/protocol/MessageCoder.h"
#include "p2p/protocol/P2PLog.h"
#include "p2p/protocol/PairingCode.h"
#include "p2p/protocol/SessionConfiguration.h"
#include "p2p/receive/ReceiveSession.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

using namespace p2p;

namespace {

constexpr std::int64_t totalBytes = std::int64_t{1} << 30;
constexpr std::size_t fileBytes = 4u << 20;
constexpr std::size_t chunkBytes = 256u << 10;
constexpr int fileCount = static_cast<int>(totalBytes / static_cast<std::int64_t>(fileBytes));

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

class CountingSink : public AssetSink {
public:
    asio::awaitable<void> prepareSession(const Uuid&, const DeviceInfo&) override { co_return; }
    asio::awaitable<std::unordered_set<std::string>> existingAssetIDs(const std::vector<AssetDescriptor>&) override
    {
        co_return std::unordered_set<std::string>{};
    }
    asio::awaitable<void> beginFile(const IncomingFile&) override { co_return; }
    asio::awaitable<void> appendChunk(const Bytes& bytes, const IncomingFile&) override
    {
        byteCount += static_cast<std::int64_t>(bytes.size());
        co_return;
    }
    asio::awaitable<void> finishFile(const IncomingFile&) override
    {
        ++storedFiles;
        co_return;
    }
    asio::awaitable<void> abortFile(const IncomingFile&, const std::string&) override { co_return; }
    asio::awaitable<void> finishSession(const Uuid&, SessionEnd::Reason) override { co_return; }

    std::int64_t byteCount = 0;
    int storedFiles = 0;
};

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

// Takes the record itself, so no Message temporary is made inside a co_await expression
// (g++ 12 frees such temporaries wrongly).
template <typename Record>
asio::awaitable<void> sendFrame(ByteStream& stream, const Record& record)
{
    const Message message = record;
    Bytes frame = MessageCoder::encode(message);
    co_await stream.send(std::move(frame));
}

// The phone's side: hello, manifest, every file as 256 KiB chunks, waiting for each
// acknowledgement (which bounds the memory in flight), then the end.
asio::awaitable<void> sendAll(ByteStream& stream, const Bytes& content, bool awaitReplies)
{
    FrameDecoder decoder(SessionConfiguration::defaults().maximumFrameByteCount);
    auto awaitType = [&](MessageType wanted) -> asio::awaitable<void> {
        for (;;) {
            std::optional<FrameDecoder::Frame> frame = decoder.nextFrame();
            if (frame) {
                if (frame->type == rawValue(wanted))
                    co_return;
                continue;
            }
            std::optional<Bytes> piece = co_await stream.receive();
            if (!piece)
                throw std::runtime_error("the session hung up");
            decoder.append(*piece);
        }
    };

    const Uuid sessionID = Uuid::random();
    const std::uint32_t crc = CRC32::value(content);

    Hello hello;
    hello.protocolVersion = 1;
    hello.device.name = "bench";
    hello.device.identifier = "BENCH";
    co_await sendFrame(stream, hello);
    if (awaitReplies)
        co_await awaitType(MessageType::helloAck);

    SessionBegin begin;
    begin.sessionID = sessionID;
    begin.assetCount = fileCount;
    begin.declaredByteCount = totalBytes;
    co_await sendFrame(stream, begin);
    ManifestBatch batch;
    batch.sessionID = sessionID;
    for (int i = 0; i < fileCount; ++i) {
        AssetDescriptor asset;
        asset.assetID = "ASSET-" + std::to_string(i);
        asset.files.push_back(FileDescriptor{FileDescriptor::Role::primary, "IMG_" + std::to_string(i) + ".HEIC",
            static_cast<std::int64_t>(content.size())});
        batch.entries.push_back(std::move(asset));
    }
    co_await sendFrame(stream, batch);
    ManifestEnd manifestEnd;
    manifestEnd.sessionID = sessionID;
    manifestEnd.batchCount = 1;
    co_await sendFrame(stream, manifestEnd);
    if (awaitReplies)
        co_await awaitType(MessageType::skipListEnd);

    for (int i = 0; i < fileCount; ++i) {
        FileBegin fileBegin;
        fileBegin.assetID = "ASSET-" + std::to_string(i);
        fileBegin.filename = "IMG_" + std::to_string(i) + ".HEIC";
        fileBegin.declaredByteCount = static_cast<std::int64_t>(content.size());
        co_await sendFrame(stream, fileBegin);
        for (std::size_t offset = 0; offset < content.size(); offset += chunkBytes) {
            // The chunk is built into its frame directly: one copy, as a sender reading a file would.
            const std::size_t size = std::min(chunkBytes, content.size() - offset);
            Bytes frame;
            frame.reserve(size + 5);
            const std::uint32_t length = static_cast<std::uint32_t>(size + 1);
            frame.push_back(static_cast<std::uint8_t>(length >> 24));
            frame.push_back(static_cast<std::uint8_t>(length >> 16));
            frame.push_back(static_cast<std::uint8_t>(length >> 8));
            frame.push_back(static_cast<std::uint8_t>(length));
            frame.push_back(rawValue(MessageType::fileChunk));
            frame.insert(frame.end(), content.begin() + static_cast<std::ptrdiff_t>(offset),
                content.begin() + static_cast<std::ptrdiff_t>(offset + size));
            co_await stream.send(std::move(frame));
        }
        FileEnd fileEnd;
        fileEnd.assetID = fileBegin.assetID;
        fileEnd.byteCount = static_cast<std::int64_t>(content.size());
        fileEnd.crc32 = crc;
        co_await sendFrame(stream, fileEnd);
        if (awaitReplies)
            co_await awaitType(MessageType::fileAck);
    }
    SessionEnd end;
    co_await sendFrame(stream, end);
    co_await stream.close();
}

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

    Bytes content(fileBytes);
    std::uint32_t state = 12345;
    for (auto& byte : content) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }

    // The sender alone, into a stream that drops everything.
    NullStream nullStream;
    const Measurement sender = measure([&] {
        asio::io_context io;
        asio::co_spawn(io, sendAll(nullStream, content, false), asio::detached);
        io.run();
    });

    // The whole pipeline.
    auto sink = std::make_shared<CountingSink>();
    std::int64_t events = 0;
    SessionEnd::Reason endReason = SessionEnd::Reason::error;
    const Measurement pipeline = measure([&] {
        asio::io_context io;
        auto [sessionEnd, phoneEnd] = InMemoryByteStream::makePair(io.get_executor());
        auto channel = std::make_unique<FramedMessageChannel>(std::move(sessionEnd), SessionConfiguration::defaults());
        DeviceInfo desktop;
        desktop.name = "desktop";
        desktop.identifier = "DESKTOP";
        auto onEvent = [&](const ReceiveEvent& event) {
            ++events;
            if (const auto* finished = event.getIf<ReceiveEvent::Finished>())
                endReason = finished->reason;
        };
        auto session = std::make_shared<ReceiveSession>(io.get_executor(), std::move(channel), sink, desktop,
            SessionConfiguration::defaults(), std::make_shared<PairingVerifier>(PairingCode::random(), 3), false,
            onEvent);
        asio::co_spawn(io, session->run(), asio::detached);
        asio::co_spawn(io, sendAll(*phoneEnd, content, true), asio::detached);
        io.run();
    });

    if (sink->byteCount != totalBytes || sink->storedFiles != fileCount || endReason != SessionEnd::Reason::completed) {
        std::fprintf(stderr, "ReceiveSessionBench: wrong result (%lld bytes, %d files)\n",
            static_cast<long long>(sink->byteCount), sink->storedFiles);
        return EXIT_FAILURE;
    }

    const double gib = double(totalBytes) / double(std::int64_t{1} << 30);
    const double mb = double(totalBytes) / 1e6;
    const double receiveCpu = pipeline.cpuSeconds - sender.cpuSeconds;
    std::printf("ReceiveSessionBench: %d files of %zu MiB in %zu KiB chunks, %lld events\n", fileCount,
        fileBytes >> 20, chunkBytes >> 10, static_cast<long long>(events));
    std::printf("  pipeline (sender + stream + channel + session + sink, one thread): %.0f MB/s, %.3f CPU s per GiB\n",
        mb / pipeline.wallSeconds, pipeline.cpuSeconds / gib);
    std::printf("  sender alone:                                                      %.0f MB/s, %.3f CPU s per GiB\n",
        mb / sender.wallSeconds, sender.cpuSeconds / gib);
    std::printf("  receiving side (pipeline minus sender):                            %.0f MB/s, %.3f CPU s per GiB\n",
        receiveCpu > 0 ? mb / receiveCpu : 0.0, receiveCpu / gib);
    std::printf("  target: receiving side >= 480 MB/s on one core\n");
    return EXIT_SUCCESS;
}
