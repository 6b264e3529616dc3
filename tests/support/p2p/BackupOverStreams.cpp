#include "support/p2p/BackupOverStreams.h"

#include "p2p/protocol/streams/FramedMessageChannel.h"
#include "p2p/protocol/messages/PairingCode.h"
#include "p2p/receive/ReceiveSession.h"
#include "support/p2p/FakePhone.h"
#include "support/p2p/TransportTesting.h"

#include <optional>

namespace p2p::testing {

std::map<std::string, Bytes> BackupOverStreams::files()
{
    return {{"A/0", FakePhone::patternBytes(3 << 20, 7)}, {"B/0", FakePhone::patternBytes(1000, 9)}};
}

asio::awaitable<std::string> BackupOverStreams::phoneScript(FakePhone& phone)
{
    try {
        const std::map<std::string, Bytes> content = BackupOverStreams::files();
        const std::vector<AssetDescriptor> assets = {
            FakePhone::photo("A", "IMG_0001.HEIC", static_cast<std::int64_t>(content.at("A/0").size())),
            FakePhone::photo("B", "IMG_0002.JPG", static_cast<std::int64_t>(content.at("B/0").size()))};
        co_await phone.greet();
        co_await phone.pair("123");
        const Uuid sessionID = Uuid::random();
        co_await phone.offer(sessionID, assets);
        for (const auto& [key, bytes] : content) {
            FakeFile file;
            file.assetID = key.substr(0, 1);
            file.filename = key == "A/0" ? "IMG_0001.HEIC" : "IMG_0002.JPG";
            file.bytes = bytes;
            file.chunkByteCount = 256 << 10;
            co_await phone.sendFile(std::move(file));
        }
        co_await phone.end();
        co_await phone.readUntilClosed();
    } catch (const std::exception& error) {
        co_return std::string(error.what());
    }
    co_return std::string();
}

std::string BackupOverStreams::run(asio::io_context& io, std::unique_ptr<ByteStream> desktopEnd,
    std::unique_ptr<ByteStream> phoneEnd, const SessionConfiguration& configuration)
{
    return runOnceGreeted(io, desktopEnd, std::move(phoneEnd), configuration);
}

std::string BackupOverStreams::runOnceGreeted(asio::io_context& io, std::unique_ptr<ByteStream>& desktopEnd,
    std::unique_ptr<ByteStream> phoneEnd, const SessionConfiguration& configuration)
{
    sink = std::make_shared<RecordingSink>(io.get_executor());
    FakePhone phone(std::move(phoneEnd));
    std::optional<std::string> error;
    asio::co_spawn(io, phoneScript(phone), [&](std::exception_ptr failure, std::string result) {
        error = failure ? "the phone's script threw" : result;
    });
    if (!runUntil(io, [&] { return desktopEnd != nullptr || error.has_value(); }))
        return "the desktop's end never came";
    if (!desktopEnd)
        return *error;
    DeviceInfo desktop;
    desktop.name = "测试电脑";
    desktop.identifier = "DESKTOP-0001";
    auto channel = std::make_unique<FramedMessageChannel>(std::move(desktopEnd), configuration);
    auto session = std::make_shared<ReceiveSession>(io.get_executor(), std::move(channel), sink, desktop, configuration,
        std::make_shared<PairingVerifier>(*PairingCode::parse("123"), 3), true, events.handler());
    bool sessionDone = false;
    asio::co_spawn(io, session->run(), [&](std::exception_ptr) { sessionDone = true; });
    if (!runUntil(io, [&] { return error.has_value() && sessionDone; }))
        return "the session did not end";
    return *error;
}

} // namespace p2p::testing
