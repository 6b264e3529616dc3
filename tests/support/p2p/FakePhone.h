#pragma once

#include "p2p/protocol/AsioSupport.h"
#include "p2p/protocol/streams/ByteStream.h"
#include "p2p/protocol/framing/Framing.h"
#include "p2p/protocol/messages/Messages.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace p2p::testing {

// One file as the fake phone sends it, with optional faults.
struct FakeFile {
    std::string assetID;
    std::int64_t fileIndex = 0;
    std::string filename;
    Bytes bytes;
    std::size_t chunkByteCount = 4;
    bool pingBetweenChunks = false;
    std::optional<std::int64_t> declaredByteCount; // default: bytes.size()
    // Faults of the file end.
    std::optional<std::int64_t> endByteCount; // e.g. -1: the phone could not read the file
    std::optional<std::uint32_t> endCRC;
    std::optional<std::string> endAssetID;
    std::optional<std::int64_t> endFileIndex;
    // Send only this many chunks and no end (the caller goes on with something else).
    std::optional<std::size_t> cutAfterChunks;
};

// Plays the phone's side of a backup over a byte stream: greet, pair, offer a manifest, send
// files, ping, end, or send raw bytes. Every frame received is kept raw and decoded; pongs are
// counted and skipped by receive().
class FakePhone {
public:
    explicit FakePhone(std::unique_ptr<ByteStream> stream);

    static DeviceInfo device();
    static AssetDescriptor photo(std::string assetID, std::string filename, std::int64_t byteCount);
    static AssetDescriptor video(std::string assetID, std::string filename, std::int64_t byteCount);
    static AssetDescriptor livePhoto(std::string assetID, std::string stillName, std::int64_t stillByteCount,
        std::string movieName, std::int64_t movieByteCount);
    static Bytes patternBytes(std::size_t count, std::uint8_t seed = 1);

    asio::awaitable<void> send(Message message);
    asio::awaitable<void> sendRaw(Bytes bytes);
    asio::awaitable<void> ping();

    // The next message that is not a pong; none at end of stream.
    asio::awaitable<std::optional<Message>> receive();
    // The next message, which must be a T (throws std::runtime_error otherwise).
    template <typename T>
    asio::awaitable<T> expect()
    {
        std::optional<Message> message = co_await receive();
        if (!message)
            throw std::runtime_error("end of stream instead of " + std::string(typeName<T>()));
        if (T* value = std::get_if<T>(&*message))
            co_return std::move(*value);
        throw std::runtime_error("got " + std::string(messageTypeName(messageType(*message))) + " instead of "
            + std::string(typeName<T>()));
    }

    // hello with the version, then the helloAck (none if the session answered otherwise).
    asio::awaitable<std::optional<HelloAck>> greet(std::uint16_t protocolVersion = 1);
    asio::awaitable<PairingResult> pair(std::string code);
    // sessionBegin, the manifest in batches, manifestEnd; then reads the skip list to its end.
    asio::awaitable<std::vector<SkipListBatch>> offer(const Uuid& sessionID, const std::vector<AssetDescriptor>& assets,
        std::size_t batchSize = 500, std::optional<std::int64_t> assetCount = std::nullopt);
    // Begin, chunks, end; returns the acknowledgement, or none when none is due.
    asio::awaitable<std::optional<FileAck>> sendFile(FakeFile file);
    asio::awaitable<void> end(SessionEnd::Reason reason = SessionEnd::Reason::completed,
        std::optional<std::string> message = std::nullopt);

    // Reads until the other side closes, then closes this side too, as a socket would.
    asio::awaitable<void> readUntilClosed();
    asio::awaitable<void> close();
    // Cuts both directions (the stream must be an in-memory one).
    asio::awaitable<void> disconnect();

    ByteStream& stream() { return *stream_; }

    std::vector<Message> received;                  // every message but pongs, in order
    std::vector<FrameDecoder::Frame> receivedFrames; // every frame, raw
    int pongCount = 0;
    std::optional<SkipListEnd> lastSkipListEnd;

private:
    template <typename T>
    static std::string_view typeName()
    {
        Message probe = T{};
        return messageTypeName(messageType(probe));
    }

    std::unique_ptr<ByteStream> stream_;
    FrameDecoder decoder_;
    std::deque<Message> pending_;
    bool ended_ = false;
};

} // namespace p2p::testing
