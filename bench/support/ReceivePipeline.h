#pragma once

#include "p2p/protocol/streams/ByteStream.h"
#include "p2p/protocol/framing/Framing.h"
#include "p2p/protocol/framing/MessageCoder.h"
#include "p2p/receive/AssetSink.h"
#include "p2p/receive/ReceiveSession.h"

#include <cstdint>
#include <functional>
#include <memory>

// The receiving pipeline as the throughput benchmarks drive it: 1 GiB of 4 MiB files in 256 KiB
// chunks from a scripted sender into a session whose sink only counts bytes.
namespace bench {

inline constexpr std::int64_t pipelineTotalBytes = std::int64_t {1} << 30;
inline constexpr std::size_t pipelineFileBytes = 4u << 20;
inline constexpr std::size_t pipelineChunkBytes = 256u << 10;
inline constexpr int pipelineFileCount = static_cast<int>(pipelineTotalBytes / static_cast<std::int64_t>(pipelineFileBytes));

// Encodes one record as a frame and sends it; a moved-in chunk is not copied. Pass a named record:
// a temporary inside a co_await expression is freed wrongly by g++ 12.
template <typename Record>
asio::awaitable<void> sendFrame(p2p::ByteStream& stream, Record record)
{
    const p2p::Message message = std::move(record);
    p2p::Bytes frame = p2p::MessageCoder::encode(message);
    co_await stream.send(std::move(frame));
}

// The phone waiting for a reply: reads frames until one of type `wanted`; throws when the session
// hangs up.
asio::awaitable<void> awaitMessage(p2p::ByteStream& stream, p2p::FrameDecoder& decoder, p2p::MessageType wanted);

// The chunk of `content` at `offset` built into its frame directly: one copy, as a sender reading
// a file would make.
p2p::Bytes chunkFrame(const p2p::Bytes& content, std::size_t offset);

// One file's bytes, pseudo-random so nothing compresses or repeats.
p2p::Bytes pipelineContent();

class CountingSink : public p2p::AssetSink {
public:
    asio::awaitable<void> prepareSession(const p2p::Uuid&, const p2p::DeviceInfo&) override { co_return; }
    asio::awaitable<std::unordered_set<std::string>> existingAssetIDs(const std::vector<p2p::AssetDescriptor>&) override
    {
        co_return std::unordered_set<std::string> {};
    }
    asio::awaitable<void> beginFile(const p2p::IncomingFile&) override { co_return; }
    asio::awaitable<void> appendChunk(const p2p::Bytes& bytes, const p2p::IncomingFile&) override
    {
        byteCount += static_cast<std::int64_t>(bytes.size());
        co_return;
    }
    asio::awaitable<void> finishFile(const p2p::IncomingFile&) override
    {
        ++storedFiles;
        co_return;
    }
    asio::awaitable<void> abortFile(const p2p::IncomingFile&, const std::string&) override { co_return; }
    asio::awaitable<void> finishSession(const p2p::Uuid&, p2p::SessionEnd::Reason) override { co_return; }

    bool received() const { return byteCount == pipelineTotalBytes && storedFiles == pipelineFileCount; }

    std::int64_t byteCount = 0;
    int storedFiles = 0;
};

// The phone's side: hello, manifest, every file as chunks, waiting for each acknowledgement when
// `awaitReplies` (which bounds the memory in flight), else, when `readRepliesAtEnd`, waiting for
// the greeting's and the manifest's answers only and reading the acknowledgements before the end
// (a socket closed with replies unread is reset).
asio::awaitable<void> sendPipelineFiles(p2p::ByteStream& stream, const p2p::Bytes& content, bool awaitReplies,
    bool readRepliesAtEnd = false);

// A session without pairing over `stream` into `sink`; `onEvent` sees every event.
std::shared_ptr<p2p::ReceiveSession> makeCountingSession(asio::any_io_executor executor,
    std::unique_ptr<p2p::ByteStream> stream, std::shared_ptr<CountingSink> sink,
    std::function<void(const p2p::ReceiveEvent&)> onEvent);

} // namespace bench
