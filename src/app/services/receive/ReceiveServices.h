#pragma once

#include "app/services/receive/ReceiveTransports.h"

#include "p2p/backup/SinkThread.h"
#include "p2p/protocol/streams/TransferRuntime.h"

#include <cstdint>
#include <functional>
#include <string>

namespace app {

// The file-system sinks on `sinks`, for the receive model: the backup folder each one settles on
// is kept where the transfer thread can read it.
void useFileSystemSinks(ReceiveTransports& transports, p2p::SinkThread& sinks);

// This computer announced on the local network; `onAnnounced` hears the port (tests dial it). A
// connection has `transports.handshakeTimeout` as it is now to say hello.
void useNetworkAdvertiser(ReceiveTransports& transports, std::function<void(std::uint16_t port)> onAnnounced = {});

// The phones attached through the multiplexer daemon listening on `socketPath`.
void useUsbmux(ReceiveTransports& transports, std::string socketPath);

// The process's transfer thread and sink thread, and the transports the receive sheets use on
// them. Made once in main(); it outlives every sheet. Going away, it stops the transfer thread
// first, then lets the sink thread finish what is queued.
class ReceiveServices {
public:
    ReceiveServices();
    ~ReceiveServices();
    ReceiveServices(const ReceiveServices&) = delete;
    ReceiveServices& operator=(const ReceiveServices&) = delete;

    const ReceiveTransports& transports() const { return transports_; }

private:
    p2p::SinkThread sinks_;
    p2p::TransferRuntime runtime_;
    ReceiveTransports transports_;
};

} // namespace app
