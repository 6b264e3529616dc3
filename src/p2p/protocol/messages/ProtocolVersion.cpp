#include "p2p/protocol/messages/ProtocolVersion.h"

#include "p2p/protocol/ProtocolError.h"

namespace p2p {

void ProtocolVersion::check(std::uint16_t peerVersion)
{
    if (!isCompatible(peerVersion)) {
        throw ProtocolError::incompatibleVersion(peerVersion, minimumSupported, current);
    }
}

} // namespace p2p
