#pragma once

#include "p2p/protocol/AsioSupport.h"
#include "p2p/protocol/framing/CRC32.h"
#include "p2p/protocol/messages/DeviceInfo.h"
#include "p2p/protocol/streams/MessageChannel.h"
#include "p2p/protocol/messages/Messages.h"
#include "p2p/protocol/P2PLog.h"
#include "p2p/protocol/messages/PairingCode.h"
#include "p2p/protocol/messages/SessionConfiguration.h"
#include "p2p/protocol/progress/TransferProgress.h"
#include "p2p/receive/AssetSink.h"
#include "p2p/receive/ChunkQueue.h"
#include "p2p/receive/ReceiveEvent.h"
#include "p2p/receive/StoredFileTally.h"

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace p2p {

struct ReceiveSessionTiming {
    // Time source of the progress throttle; the steady clock when empty.
    std::function<std::chrono::steady_clock::time_point()> now;
    // A wrong pairing code is answered after this long, to slow down guessing.
    std::chrono::steady_clock::duration wrongCodeDelay = std::chrono::seconds(1);
};

// A paired peer may still send a manifest without end; these bound what one session keeps of it,
// far above any phone's library. Beyond either the session fails like on any malformed input.
struct ReceiveSessionLimits {
    std::int64_t maximumManifestAssetCount = 1'000'000;
    std::int64_t maximumManifestByteCount = std::int64_t{256} << 20; // descriptors as held in memory
    // Chunks received and not yet written: enough to keep the drive busy while the next ones arrive.
    std::int64_t maximumQueuedChunkByteCount = std::int64_t{4} << 20;
    ChunkQueue::QueuedBytesObserver onQueuedChunkBytes; // for tests
};

// The receiving side of one backup: drives the protocol from the phone's hello to its session
// end over one MessageChannel into one AssetSink, and reports every step as a ReceiveEvent.
//
// Lives on the transfer thread: run(), cancel(), shutdown() and pairingCode() are called on the
// executor given at construction. Create it with std::make_shared; run() keeps it alive.
class ReceiveSession : public std::enable_shared_from_this<ReceiveSession> {
public:
    using Clock = std::chrono::steady_clock;
    // Called inline on the transfer thread, once per event, in order; must return at once.
    using EventHandler = std::function<void(const ReceiveEvent&)>;

    using Timing = ReceiveSessionTiming;

    // After this many wrong codes on one road (counted by the shared verifier) the session ends.
    static constexpr std::int64_t wrongCodeLimit = PairingVerifier::totalFailureLimit;
    // Capacity hint taken from a session begin at most.
    static constexpr std::int64_t maximumAssetCountHint = 100'000;

    // `pairingVerifier` belongs to the road and is shared by its sessions, so a reconnect neither
    // shows a stale code nor resets the count of wrong codes. The greeting must arrive within
    // configuration.handshakeTimeout seconds (0 or less: no limit).
    ReceiveSession(asio::any_io_executor executor, std::unique_ptr<MessageChannel> channel,
        std::shared_ptr<AssetSink> sink, DeviceInfo localDevice, SessionConfiguration configuration,
        std::shared_ptr<PairingVerifier> pairingVerifier, bool requiresPairing, EventHandler onEvent,
        Timing timing = {}, ReceiveSessionLimits limits = {});
    ~ReceiveSession();

    ReceiveSession(const ReceiveSession&) = delete;
    ReceiveSession& operator=(const ReceiveSession&) = delete;

    const PairingCode& pairingCode() const { return verifier_->code(); }

    // Runs the whole session once; never throws. Returns after the last event (finished or
    // failed) was reported and the channel closed.
    asio::awaitable<void> run();

    // The session stops before its next read in the pairing, manifest or file loop.
    void cancel();

    // Cancels, aborts the current file at once and closes the channel.
    asio::awaitable<void> shutdown();

    bool isCancelled() const { return isCancelled_; }
    // A hello arrived (whatever its version): from then on a failure is the phone's, not a stranger's.
    bool receivedHello() const { return receivedHello_; }
    const ReceiveSummary& summary() const { return summary_; }
    const TransferProgress& progress() const { return progress_; }

private:
    asio::awaitable<DeviceInfo> performHandshake();
    asio::awaitable<void> performPairing();
    asio::awaitable<SessionBegin> receiveSessionBegin();
    asio::awaitable<void> prepareSink(const Uuid& sessionID, const DeviceInfo& peer);
    asio::awaitable<void> negotiateManifest(const SessionBegin& begin);
    // The phone's session end, or ours when we cancelled.
    asio::awaitable<SessionEnd> receiveFiles(Uuid sessionID);
    asio::awaitable<void> startFile(const FileBegin& begin, const Uuid& sessionID);
    asio::awaitable<void> appendChunk(Bytes bytes);
    asio::awaitable<void> completeFile(const FileEnd& end);
    asio::awaitable<void> abortCurrentFile(std::string reason);
    asio::awaitable<void> reportFailure(std::exception_ptr failure);
    std::string sinkFailure(const std::exception_ptr& failure);
    asio::awaitable<Message> nextMessage();
    // The next message, or the failure of a chunk still on its way to the sink, whichever comes first.
    asio::awaitable<Message> nextFileMessage();
    // Runs a sink call; its failure fails the session with the sink's words.
    asio::awaitable<void> throughSink(asio::awaitable<void> call);
    void checkCancelled() const;
    void reportProgress(bool force);

    asio::awaitable<void> send(Message message);
    asio::awaitable<void> sendIgnoringFailure(Message message);
    asio::awaitable<void> abortFileQuietly(const IncomingFile& file, const std::string& reason);
    asio::awaitable<void> finishSessionQuietly(SessionEnd::Reason reason);
    asio::awaitable<void> closeChannel();
    asio::awaitable<void> closeAfterHandshakeTimeout(std::shared_ptr<ReceiveSession> keepAlive);
    void startHandshakeTimer();
    void emit(ReceiveEvent::Value value);

    asio::any_io_executor executor_;
    std::unique_ptr<MessageChannel> channel_;
    std::shared_ptr<AssetSink> sink_;
    DeviceInfo localDevice_;
    SessionConfiguration configuration_;
    bool requiresPairing_;
    EventHandler onEvent_;
    Logger logger_;
    std::shared_ptr<PairingVerifier> verifier_;
    Timing timing_;
    ReceiveSessionLimits limits_;
    asio::steady_timer handshakeTimer_;
    asio::steady_timer wrongCodeTimer_;

    bool isCancelled_ = false;
    bool greeted_ = false; // the hello arrived, or the run is over
    bool receivedHello_ = false;
    std::optional<Uuid> sessionID_;
    std::unordered_map<std::string, AssetDescriptor> descriptors_;
    std::unordered_set<std::string> skippedAssetIDs_;
    // Shared so that a sink call in flight keeps its file while shutdown() clears this.
    std::shared_ptr<const IncomingFile> currentFile_;
    CRC32 currentChecksum_;
    std::int64_t currentByteCount_ = 0;  // received
    std::int64_t acceptedByteCount_ = 0; // taken by the sink
    std::shared_ptr<ChunkQueue> chunks_;
    TransferProgress progress_;
    ReceiveSummary summary_;
    StoredFileTally storedFiles_;
    std::optional<Clock::time_point> lastProgressReport_;
};

} // namespace p2p
