#pragma once

#include <cstdint>

namespace p2p {

// Tuning values of a session. The receiving side reads the frame limit, the skip-list batch size
// and the progress interval; the transports take ioTimeout from defaults().
struct SessionConfiguration {
    std::int64_t chunkByteCount = 0;
    std::int64_t maximumFrameByteCount = 0;
    std::int64_t manifestBatchSize = 0;
    std::int64_t skipListBatchSize = 0;
    std::int64_t maximumFileRetryCount = 0;
    double progressReportInterval = 0; // seconds
    double handshakeTimeout = 0;       // seconds
    double idleTimeout = 0;            // seconds
    double heartbeatInterval = 0;      // seconds
    double ioTimeout = 0;              // seconds

    static const SessionConfiguration& defaults();
    // What every receiving session uses: the defaults.
    static const SessionConfiguration& automatic();
    // Defaults with hour-long time-outs and heartbeat, for debugging sessions by hand.
    static const SessionConfiguration& debugFriendly();

    friend bool operator==(const SessionConfiguration&, const SessionConfiguration&) = default;
};

} // namespace p2p
