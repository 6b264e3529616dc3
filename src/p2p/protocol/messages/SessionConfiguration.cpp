#include "p2p/protocol/messages/SessionConfiguration.h"

namespace p2p {

const SessionConfiguration& SessionConfiguration::defaults()
{
    static const SessionConfiguration configuration{
        .chunkByteCount = 262144,
        .maximumFrameByteCount = 8388608,
        .manifestBatchSize = 500,
        .skipListBatchSize = 5000,
        .maximumFileRetryCount = 1,
        .progressReportInterval = 0.1,
        .handshakeTimeout = 15.0,
        .idleTimeout = 30.0,
        .heartbeatInterval = 10.0,
        .ioTimeout = 30.0,
    };
    return configuration;
}

const SessionConfiguration& SessionConfiguration::automatic()
{
    return defaults();
}

const SessionConfiguration& SessionConfiguration::debugFriendly()
{
    static const SessionConfiguration configuration = [] {
        SessionConfiguration c = defaults();
        c.handshakeTimeout = 3600.0;
        c.idleTimeout = 3600.0;
        c.heartbeatInterval = 3600.0;
        return c;
    }();
    return configuration;
}

} // namespace p2p
