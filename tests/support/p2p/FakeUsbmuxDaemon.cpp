#include "support/p2p/FakeUsbmuxDaemon.h"

#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <plist/plist.h>

#include <cstdlib>
#include <stdexcept>

namespace p2p::testing {

namespace {

std::filesystem::path shortTemporaryFolder()
{
    char pattern[] = "/tmp/mux-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

// Copies bytes one way until the end, then ends the other side's sending direction.
template <typename From, typename To>
asio::awaitable<void> pump(From& from, To& to)
{
    Bytes buffer(65536);
    for (;;) {
        auto [error, count] = co_await from.async_read_some(asio::buffer(buffer), useNothrowAwaitable);
        if (error)
            break;
        auto [writeError, written] = co_await asio::async_write(to, asio::buffer(buffer.data(), count), useNothrowAwaitable);
        if (writeError)
            break;
    }
    asio::error_code ignored;
    to.shutdown(asio::socket_base::shutdown_send, ignored);
}

} // namespace

std::string FakeUsbmuxDaemon::plistXML(const std::string& dictionaryContent)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + dictionaryContent
        + "</dict></plist>\n";
}

Bytes FakeUsbmuxDaemon::plistPacket(const std::string& xmlBody, Format format)
{
    if (format == Format::xml)
        return UsbmuxClient::encodePacket(UsbmuxClient::plistMessageType, 1, Bytes(xmlBody.begin(), xmlBody.end()));
    plist_t node = nullptr;
    plist_from_xml(xmlBody.data(), static_cast<std::uint32_t>(xmlBody.size()), &node);
    if (!node)
        throw std::runtime_error("bad XML in a scripted reply");
    char* binary = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &binary, &length);
    plist_free(node);
    Bytes body(binary, binary + length);
    plist_to_bin_free(binary);
    return UsbmuxClient::encodePacket(UsbmuxClient::plistMessageType, 1, body);
}

FakeUsbmuxDaemon::FakeUsbmuxDaemon()
    : FakeUsbmuxDaemon((shortTemporaryFolder() / "usbmuxd").string())
{
}

FakeUsbmuxDaemon::FakeUsbmuxDaemon(std::string socketPath)
    : folder_(std::filesystem::path(socketPath).parent_path())
    , socketPath_(std::move(socketPath))
    , acceptor_(io_, asio::local::stream_protocol::endpoint(socketPath_))
{
    asio::co_spawn(io_, acceptLoop(), asio::detached);
    thread_ = std::thread([this] { io_.run(); });
}

FakeUsbmuxDaemon::~FakeUsbmuxDaemon()
{
    io_.stop();
    thread_.join();
    std::error_code ignored;
    std::filesystem::remove(socketPath_, ignored);
    if (folder_.string().rfind("/tmp/mux-", 0) == 0)
        std::filesystem::remove(folder_, ignored);
}

void FakeUsbmuxDaemon::script(std::vector<Reply> replies)
{
    std::lock_guard lock(mutex_);
    script_ = std::move(replies);
    nextReply_ = 0;
}

std::vector<FakeUsbmuxDaemon::Request> FakeUsbmuxDaemon::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

asio::awaitable<void> FakeUsbmuxDaemon::acceptLoop()
{
    for (;;) {
        auto [error, socket] = co_await acceptor_.async_accept(useNothrowAwaitable);
        if (error)
            co_return;
        asio::co_spawn(io_, serve(std::move(socket)), asio::detached);
    }
}

asio::awaitable<void> FakeUsbmuxDaemon::serve(asio::local::stream_protocol::socket socket)
{
    std::uint8_t header[UsbmuxClient::headerByteCount];
    auto [error, count] = co_await asio::async_read(socket, asio::buffer(header), useNothrowAwaitable);
    if (error)
        co_return;
    Request request;
    request.packet = UsbmuxClient::decodeHeader(header);
    if (request.packet.length < UsbmuxClient::headerByteCount || request.packet.length > UsbmuxClient::maximumPacketByteCount)
        co_return;
    Bytes body(request.packet.length - UsbmuxClient::headerByteCount);
    auto [bodyError, bodyCount] = co_await asio::async_read(socket, asio::buffer(body), useNothrowAwaitable);
    if (bodyError)
        co_return;
    request.xml.assign(body.begin(), body.end());
    request.packet.payload = std::move(body);

    Reply reply;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(request));
        if (nextReply_ < script_.size())
            reply = script_[nextReply_++];
        else
            reply.after = After::silent;
    }
    if (!reply.packet.empty())
        co_await asio::async_write(socket, asio::buffer(reply.packet), useNothrowAwaitable);

    switch (reply.after) {
    case After::close:
        co_return;
    case After::echo:
        co_await pump(socket, socket);
        co_return;
    case After::bridge: {
        asio::ip::tcp::socket phone(io_);
        auto [connectError] = co_await phone.async_connect(
            asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), reply.bridgePort), useNothrowAwaitable);
        if (connectError)
            co_return;
        using namespace asio::experimental::awaitable_operators;
        co_await (pump(socket, phone) && pump(phone, socket));
        co_return;
    }
    case After::silent: {
        // Holds the connection open until the daemon ends.
        Bytes sink(1);
        co_await asio::async_read(socket, asio::buffer(sink), useNothrowAwaitable);
        co_return;
    }
    }
}

} // namespace p2p::testing
