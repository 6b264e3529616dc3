#pragma once

#include "p2p/protocol/AsioSupport.h"
#include "p2p/transport/UsbmuxClient.h"

#include <asio/local/stream_protocol.hpp>

#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace p2p::testing {

// A multiplexer daemon on a Unix socket in a short temporary folder, on a thread of its own. Each
// connection reads one request and gets the next scripted reply; after it the daemon closes, echoes
// every byte back, bridges to a TCP port on loopback (the phone's wired listener) or stays silent.
class FakeUsbmuxDaemon {
public:
    enum class After { close, echo, bridge, silent };
    struct Reply {
        Bytes packet; // sent as it stands; empty: no answer at all
        After after = After::close;
        std::uint16_t bridgePort = 0;
    };
    struct Request {
        UsbmuxClient::Packet packet;
        std::string xml;
    };

    enum class Format { xml, binary };
    // A type-8 packet of the property list written as XML, re-encoded as binary when asked.
    static Bytes plistPacket(const std::string& xmlBody, Format format = Format::xml);
    static std::string plistXML(const std::string& dictionaryContent); // wraps <dict>…</dict>

    FakeUsbmuxDaemon();
    // Listens on `socketPath` instead (its folder must exist).
    explicit FakeUsbmuxDaemon(std::string socketPath);
    ~FakeUsbmuxDaemon();

    const std::string& socketPath() const { return socketPath_; }
    const std::filesystem::path& folder() const { return folder_; }

    // Replies for the next connections, in order; connections past the script get no answer.
    void script(std::vector<Reply> replies);
    std::vector<Request> requests() const;

private:
    asio::awaitable<void> acceptLoop();
    asio::awaitable<void> serve(asio::local::stream_protocol::socket socket);

    std::filesystem::path folder_;
    std::string socketPath_;
    asio::io_context io_;
    asio::local::stream_protocol::acceptor acceptor_;
    mutable std::mutex mutex_;
    std::vector<Reply> script_;
    std::size_t nextReply_ = 0;
    std::vector<Request> requests_;
    std::thread thread_;
};

} // namespace p2p::testing
