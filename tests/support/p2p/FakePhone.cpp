#include "support/p2p/FakePhone.h"

#include "p2p/protocol/framing/CRC32.h"
#include "p2p/protocol/streams/InMemoryByteStream.h"
#include "p2p/protocol/framing/MessageCoder.h"
#include "p2p/protocol/Saturating.h"

#include <algorithm>

namespace p2p::testing {

FakePhone::FakePhone(std::unique_ptr<ByteStream> stream)
    : stream_(std::move(stream))
    , decoder_(64 * 1024 * 1024)
{
}

DeviceInfo FakePhone::device()
{
    DeviceInfo info;
    info.name = "测试手机";
    info.model = "Phone15,2";
    info.systemVersion = "17.1";
    info.identifier = "PHONE-0001";
    return info;
}

AssetDescriptor FakePhone::photo(std::string assetID, std::string filename, std::int64_t byteCount)
{
    AssetDescriptor asset;
    asset.assetID = std::move(assetID);
    asset.kind = AssetKind::photo;
    asset.creationDate = 1700000000.5;
    asset.files.push_back(FileDescriptor{FileDescriptor::Role::primary, std::move(filename), byteCount});
    return asset;
}

AssetDescriptor FakePhone::video(std::string assetID, std::string filename, std::int64_t byteCount)
{
    AssetDescriptor asset = photo(std::move(assetID), std::move(filename), byteCount);
    asset.kind = AssetKind::video;
    return asset;
}

AssetDescriptor FakePhone::livePhoto(std::string assetID, std::string stillName, std::int64_t stillByteCount,
    std::string movieName, std::int64_t movieByteCount)
{
    AssetDescriptor asset = photo(std::move(assetID), std::move(stillName), stillByteCount);
    asset.kind = AssetKind::livePhoto;
    asset.files.push_back(FileDescriptor{FileDescriptor::Role::pairedVideo, std::move(movieName), movieByteCount});
    return asset;
}

Bytes FakePhone::patternBytes(std::size_t count, std::uint8_t seed)
{
    Bytes bytes(count);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

asio::awaitable<void> FakePhone::send(Message message)
{
    Bytes frame = MessageCoder::encode(message);
    co_await stream_->send(std::move(frame));
}

asio::awaitable<void> FakePhone::sendRaw(Bytes bytes)
{
    co_await stream_->send(std::move(bytes));
}

asio::awaitable<void> FakePhone::ping()
{
    Message message = Ping();
    co_await send(std::move(message));
}

asio::awaitable<std::optional<Message>> FakePhone::receive()
{
    for (;;) {
        while (!pending_.empty()) {
            Message next = std::move(pending_.front());
            pending_.pop_front();
            if (std::holds_alternative<Pong>(next)) {
                ++pongCount;
                continue;
            }
            if (const SkipListEnd* end = std::get_if<SkipListEnd>(&next))
                lastSkipListEnd = *end;
            received.push_back(next);
            co_return std::optional<Message>(std::move(next));
        }
        if (ended_)
            co_return std::nullopt;
        std::optional<Bytes> piece = co_await stream_->receive();
        if (!piece) {
            ended_ = true;
            continue;
        }
        decoder_.append(*piece);
        for (FrameDecoder::Frame& frame : decoder_.drain()) {
            receivedFrames.push_back(frame);
            pending_.push_back(MessageCoder::decode(std::move(frame)));
        }
    }
}

asio::awaitable<std::optional<HelloAck>> FakePhone::greet(std::uint16_t protocolVersion)
{
    Hello hello;
    hello.protocolVersion = protocolVersion;
    hello.device = device();
    co_await send(std::move(hello));
    std::optional<Message> answer = co_await receive();
    if (answer) {
        if (HelloAck* ack = std::get_if<HelloAck>(&*answer))
            co_return std::move(*ack);
    }
    co_return std::nullopt;
}

asio::awaitable<PairingResult> FakePhone::pair(std::string code)
{
    PairingRequest request;
    request.code = std::move(code);
    co_await send(std::move(request));
    co_return co_await expect<PairingResult>();
}

asio::awaitable<std::vector<SkipListBatch>> FakePhone::offer(const Uuid& sessionID,
    const std::vector<AssetDescriptor>& assets, std::size_t batchSize, std::optional<std::int64_t> assetCount)
{
    SessionBegin begin;
    begin.sessionID = sessionID;
    begin.assetCount = assetCount.value_or(static_cast<std::int64_t>(assets.size()));
    for (const AssetDescriptor& asset : assets)
        begin.declaredByteCount = saturatingAdd(begin.declaredByteCount, asset.declaredByteCount());
    co_await send(std::move(begin));

    std::int64_t batchIndex = 0;
    for (std::size_t offset = 0; offset < assets.size(); offset += batchSize) {
        ManifestBatch batch;
        batch.sessionID = sessionID;
        batch.batchIndex = batchIndex++;
        const std::size_t end = std::min(assets.size(), offset + batchSize);
        batch.entries.assign(assets.begin() + static_cast<std::ptrdiff_t>(offset),
            assets.begin() + static_cast<std::ptrdiff_t>(end));
        co_await send(std::move(batch));
    }
    ManifestEnd manifestEnd;
    manifestEnd.sessionID = sessionID;
    manifestEnd.batchCount = batchIndex;
    co_await send(std::move(manifestEnd));

    std::vector<SkipListBatch> batches;
    for (;;) {
        std::optional<Message> message = co_await receive();
        if (!message)
            throw std::runtime_error("end of stream in the skip list");
        if (SkipListBatch* batch = std::get_if<SkipListBatch>(&*message)) {
            batches.push_back(std::move(*batch));
            continue;
        }
        if (std::holds_alternative<SkipListEnd>(*message))
            co_return batches;
        throw std::runtime_error("got " + std::string(messageTypeName(messageType(*message))) + " in the skip list");
    }
}

asio::awaitable<std::optional<FileAck>> FakePhone::sendFile(FakeFile file)
{
    FileBegin begin;
    begin.assetID = file.assetID;
    begin.fileIndex = file.fileIndex;
    begin.filename = file.filename;
    begin.declaredByteCount = file.declaredByteCount.value_or(static_cast<std::int64_t>(file.bytes.size()));
    co_await send(std::move(begin));

    const std::size_t step = std::max<std::size_t>(file.chunkByteCount, 1);
    std::size_t chunksSent = 0;
    for (std::size_t offset = 0; offset < file.bytes.size(); offset += step) {
        if (file.cutAfterChunks && chunksSent == *file.cutAfterChunks)
            co_return std::nullopt;
        if (file.pingBetweenChunks && offset > 0)
            co_await ping();
        const std::size_t end = std::min(file.bytes.size(), offset + step);
        FileChunk chunk;
        chunk.bytes.assign(file.bytes.begin() + static_cast<std::ptrdiff_t>(offset),
            file.bytes.begin() + static_cast<std::ptrdiff_t>(end));
        co_await send(std::move(chunk));
        ++chunksSent;
    }
    if (file.cutAfterChunks)
        co_return std::nullopt;

    FileEnd end;
    end.assetID = file.endAssetID.value_or(file.assetID);
    end.fileIndex = file.endFileIndex.value_or(file.fileIndex);
    end.byteCount = file.endByteCount.value_or(static_cast<std::int64_t>(file.bytes.size()));
    end.crc32 = file.endCRC.value_or(CRC32::value(file.bytes));
    const bool ackDue = end.byteCount >= 0;
    co_await send(std::move(end));
    if (!ackDue)
        co_return std::nullopt;
    co_return co_await expect<FileAck>();
}

asio::awaitable<void> FakePhone::end(SessionEnd::Reason reason, std::optional<std::string> message)
{
    SessionEnd sessionEnd;
    sessionEnd.reason = reason;
    sessionEnd.message = std::move(message);
    co_await send(std::move(sessionEnd));
}

asio::awaitable<void> FakePhone::readUntilClosed()
{
    for (;;) {
        std::optional<Message> message = co_await receive();
        if (!message)
            break;
    }
    co_await stream_->close();
}

asio::awaitable<void> FakePhone::close()
{
    co_await stream_->close();
}

asio::awaitable<void> FakePhone::disconnect()
{
    if (auto* memory = dynamic_cast<InMemoryByteStream*>(stream_.get()))
        co_await memory->simulateDisconnect();
    else
        co_await stream_->close();
}

} // namespace p2p::testing
