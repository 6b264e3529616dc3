#pragma once

#include "p2p/protocol/AsioSupport.h"
#include "p2p/protocol/Bytes.h"
#include "p2p/protocol/P2PLog.h"
#include "p2p/transport/POSIXSocketByteStream.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace p2p {

// One device the multiplexer lists.
struct UsbmuxDevice {
    std::int64_t deviceID = 0; // > 0 in a listed device
    std::string udid;          // never empty in a listed device
    std::string connectionType = "USB";
    std::optional<std::int64_t> productID;

    std::int64_t id() const { return deviceID; }
    bool isUSB() const; // "USB" in any letter case
    friend bool operator==(const UsbmuxDevice&, const UsbmuxDevice&) = default;
};

// Our own client of the usbmuxd socket protocol: 16-byte little-endian header (length, version 1,
// type, tag) and a property list. Each request opens its own socket; a successful Connect turns
// that socket into the tunnel to the phone's port. The exchange with the daemon is bounded in time
// and size; the tunnel is not. Every failure is a TransportError::usbmuxFailed.
class UsbmuxClient {
public:
    static constexpr std::string_view defaultSocketPath = "/var/run/usbmuxd";
    static constexpr std::uint32_t headerByteCount = 16;
    static constexpr std::uint32_t maximumPacketByteCount = 1u << 20;
    static constexpr std::uint32_t plistMessageType = 8;
    static constexpr std::uint32_t resultMessageType = 1;
    // sun_path holds 108 bytes with its NUL.
    static constexpr std::size_t maximumSocketPathByteCount = 107;

    explicit UsbmuxClient(asio::any_io_executor executor, std::string socketPath = std::string(defaultSocketPath),
        std::chrono::milliseconds exchangeTimeout = std::chrono::seconds(10));

    const std::string& socketPath() const { return socketPath_; }

    asio::awaitable<std::vector<UsbmuxDevice>> listDevices();
    asio::awaitable<std::unique_ptr<POSIXSocketByteStream>> connect(std::int64_t deviceID, std::uint16_t devicePort);

    static std::string connectFailureMessage(std::int64_t code);

    // The wire pieces, for the tests' fake daemon.
    struct Packet {
        std::uint32_t length = 0;
        std::uint32_t version = 0;
        std::uint32_t type = 0;
        std::uint32_t tag = 0;
        Bytes payload;
    };
    static Bytes encodePacket(std::uint32_t type, std::uint32_t tag, const Bytes& body);
    // Header fields of 16 bytes.
    static Packet decodeHeader(const std::uint8_t* header);
    // The port as the daemon wants it: its two bytes swapped (47077 → 58807).
    static std::uint16_t wirePort(std::uint16_t port);

private:
    struct Exchange;
    asio::awaitable<std::shared_ptr<Exchange>> open();
    asio::awaitable<Packet> request(Exchange& exchange, const Bytes& packet);

    asio::any_io_executor executor_;
    std::string socketPath_;
    std::chrono::milliseconds exchangeTimeout_;
    Logger logger_; // callers log this client's errors
};

} // namespace p2p
