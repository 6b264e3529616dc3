#include "p2p/receive/ReceiveEvent.h"

#include <array>

namespace p2p {

std::string_view ReceiveEvent::name() const
{
    static constexpr std::array<std::string_view, std::variant_size_v<Value>> names = {
        "handshakeCompleted", "pairingCodeChanged", "pairingRejected", "manifestNegotiated", "fileStarted",
        "progress", "fileStored", "fileRejected", "finished", "failed", "pairingAccepted"};
    return names[value.index()];
}

} // namespace p2p
