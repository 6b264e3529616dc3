#include "support/ReceivePipeline.h"

#include "p2p/protocol/framing/CRC32.h"
#include "p2p/protocol/streams/FramedMessageChannel.h"
#include "p2p/protocol/framing/Framing.h"
#include "p2p/protocol/framing/MessageCoder.h"
#include "p2p/protocol/messages/PairingCode.h"
#include "p2p/protocol/messages/SessionConfiguration.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace bench {

using namespace p2p;

asio::awaitable<void> awaitMessage(ByteStream& stream, FrameDecoder& decoder, MessageType wanted)
{
    for (;;) {
        if (std::optional<FrameDecoder::Frame> frame = decoder.nextFrame()) {
            if (frame->type == rawValue(wanted))
                co_return;
            continue;
        }
        std::optional<Bytes> piece = co_await stream.receive();
        if (!piece)
            throw std::runtime_error("the session hung up");
        decoder.append(*piece);
    }
}

Bytes chunkFrame(const Bytes& content, std::size_t offset)
{
    const std::size_t size = std::min(pipelineChunkBytes, content.size() - offset);
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
    return frame;
}

Bytes pipelineContent()
{
    Bytes content(pipelineFileBytes);
    std::uint32_t state = 12345;
    for (auto& byte : content) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return content;
}

asio::awaitable<void> sendPipelineFiles(ByteStream& stream, const Bytes& content, bool awaitReplies, bool readRepliesAtEnd)
{
    FrameDecoder decoder(SessionConfiguration::defaults().maximumFrameByteCount);

    const Uuid sessionID = Uuid::random();
    const std::uint32_t crc = CRC32::value(content);

    Hello hello;
    hello.protocolVersion = 1;
    hello.device.name = "bench";
    hello.device.identifier = "BENCH";
    co_await sendFrame(stream, hello);
    // Frames beyond 64 KiB are refused until the greeting is answered.
    const bool awaitGreeting = awaitReplies || readRepliesAtEnd;
    if (awaitGreeting)
        co_await awaitMessage(stream, decoder, MessageType::helloAck);

    SessionBegin begin;
    begin.sessionID = sessionID;
    begin.assetCount = pipelineFileCount;
    begin.declaredByteCount = pipelineTotalBytes;
    co_await sendFrame(stream, begin);
    ManifestBatch batch;
    batch.sessionID = sessionID;
    for (int i = 0; i < pipelineFileCount; ++i) {
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
    if (awaitGreeting)
        co_await awaitMessage(stream, decoder, MessageType::skipListEnd);

    for (int i = 0; i < pipelineFileCount; ++i) {
        FileBegin fileBegin;
        fileBegin.assetID = "ASSET-" + std::to_string(i);
        fileBegin.filename = "IMG_" + std::to_string(i) + ".HEIC";
        fileBegin.declaredByteCount = static_cast<std::int64_t>(content.size());
        co_await sendFrame(stream, fileBegin);
        for (std::size_t offset = 0; offset < content.size(); offset += pipelineChunkBytes)
            co_await stream.send(chunkFrame(content, offset));
        FileEnd fileEnd;
        fileEnd.assetID = fileBegin.assetID;
        fileEnd.byteCount = static_cast<std::int64_t>(content.size());
        fileEnd.crc32 = crc;
        co_await sendFrame(stream, fileEnd);
        if (awaitReplies)
            co_await awaitMessage(stream, decoder, MessageType::fileAck);
    }
    if (!awaitReplies && readRepliesAtEnd) {
        // Read at the end, so that closing does not reset a connection with replies unread.
        for (int i = 0; i < pipelineFileCount; ++i)
            co_await awaitMessage(stream, decoder, MessageType::fileAck);
    }
    SessionEnd end;
    co_await sendFrame(stream, end);
    co_await stream.close();
}


std::shared_ptr<ReceiveSession> makeCountingSession(asio::any_io_executor executor, std::unique_ptr<ByteStream> stream,
    std::shared_ptr<CountingSink> sink, std::function<void(const ReceiveEvent&)> onEvent)
{
    auto channel = std::make_unique<FramedMessageChannel>(std::move(stream), SessionConfiguration::defaults());
    DeviceInfo desktop;
    desktop.name = "desktop";
    desktop.identifier = "DESKTOP";
    return std::make_shared<ReceiveSession>(executor, std::move(channel), std::move(sink), desktop,
        SessionConfiguration::defaults(), std::make_shared<PairingVerifier>(PairingCode::random(), 3), false,
        std::move(onEvent));
}

} // namespace bench
