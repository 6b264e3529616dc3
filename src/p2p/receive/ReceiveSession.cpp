#include "p2p/receive/ReceiveSession.h"
#include "p2p/receive/ReceiveSessionErrors.h"

#include "p2p/protocol/ProtocolError.h"
#include "p2p/protocol/messages/ProtocolVersion.h"
#include "p2p/protocol/Saturating.h"
#include "p2p/protocol/errors/SessionError.h"
#include "p2p/protocol/errors/UserFacingError.h"

#include <algorithm>
#include <cmath>
#include <variant>
#include <vector>

// g++ 12 pairs Asio's coroutine-frame operator delete with the global operator new in some frames
// and warns; the frames are allocated and freed by Asio's own pair (the sanitizer build checks).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace p2p {

using namespace receive_session;

namespace {

// Seconds from the configuration as a duration; not finite or negative gives 0, and
// anything beyond a day is a day (no overflow in the conversion).
ReceiveSession::Clock::duration secondsToDuration(double seconds)
{
    if (!std::isfinite(seconds) || seconds <= 0)
        return ReceiveSession::Clock::duration::zero();
    seconds = std::min(seconds, 86400.0);
    return std::chrono::duration_cast<ReceiveSession::Clock::duration>(std::chrono::duration<double>(seconds));
}

// Roughly what one manifest entry costs once stored (map node, key, strings, file list).
std::int64_t heldBytes(const AssetDescriptor& entry)
{
    std::int64_t bytes = static_cast<std::int64_t>(sizeof(AssetDescriptor) + 64 + 2 * entry.assetID.size()
        + entry.files.size() * sizeof(FileDescriptor));
    if (entry.quickFingerprint)
        bytes += static_cast<std::int64_t>(entry.quickFingerprint->size());
    for (const FileDescriptor& file : entry.files)
        bytes += static_cast<std::int64_t>(file.filename.size());
    return bytes;
}

} // namespace

ReceiveSession::ReceiveSession(asio::any_io_executor executor, std::unique_ptr<MessageChannel> channel,
    std::shared_ptr<AssetSink> sink, DeviceInfo localDevice, SessionConfiguration configuration,
    std::shared_ptr<PairingVerifier> pairingVerifier, bool requiresPairing, EventHandler onEvent, Timing timing,
    ReceiveSessionLimits limits)
    : executor_(std::move(executor))
    , channel_(std::move(channel))
    , sink_(std::move(sink))
    , localDevice_(std::move(localDevice))
    , configuration_(configuration)
    , requiresPairing_(requiresPairing)
    , onEvent_(std::move(onEvent))
    , logger_(P2PLog::Category::receive)
    , verifier_(std::move(pairingVerifier))
    , timing_(std::move(timing))
    , limits_(limits)
    , handshakeTimer_(executor_)
    , wrongCodeTimer_(executor_)
{
    if (!verifier_)
        verifier_ = std::make_shared<PairingVerifier>(PairingCode::random(), 3);
    if (!timing_.now)
        timing_.now = [] { return Clock::now(); };
    auto accepted = [this](std::int64_t count) {
        acceptedByteCount_ = saturatingAdd(acceptedByteCount_, count);
        progress_.completedByteCount = saturatingAdd(progress_.completedByteCount, count);
        progress_.currentFileCompletedByteCount = acceptedByteCount_;
        reportProgress(false);
    };
    chunks_ = std::make_shared<ChunkQueue>(executor_, sink_, limits_.maximumQueuedChunkByteCount, accepted,
        limits_.onQueuedChunkBytes);
}

ReceiveSession::~ReceiveSession()
{
    chunks_->discard(); // a chunk still with the sink reports to nobody
}

// MARK: - Stages

asio::awaitable<void> ReceiveSession::run()
{
    // The caller may drop its reference while the session runs.
    std::shared_ptr<ReceiveSession> keepAlive = weak_from_this().lock();

    std::exception_ptr failure;
    SessionEnd ending;
    try {
        startHandshakeTimer();
        DeviceInfo peer = co_await performHandshake();
        emit(ReceiveEvent::HandshakeCompleted{peer});
        SessionBegin begin = co_await receiveSessionBegin();
        sessionID_ = begin.sessionID;
        co_await prepareSink(begin.sessionID, peer);
        co_await negotiateManifest(begin);
        ending = co_await receiveFiles(begin.sessionID);
    } catch (...) {
        // Hostile input may even end in bad_alloc: every failure takes one of the ends below.
        failure = std::current_exception();
    }

    try {
        greeted_ = true; // a time-out that fires from now on has nothing left to close
        handshakeTimer_.cancel();
        wrongCodeTimer_.cancel();
        if (!failure) {
            co_await finishSessionQuietly(ending.reason);
            logger_.info("会话结束（" + std::string(rawValue(ending.reason)) + "）：落地 "
                + std::to_string(summary_.storedFileCount) + " 个文件");
            emit(ReceiveEvent::Finished{ending.reason, summary_, ending.message});
        } else if (isCancelled_) {
            co_await abortCurrentFile("接收方取消");
            if (sessionID_)
                co_await finishSessionQuietly(SessionEnd::Reason::cancelledByUser);
            emit(ReceiveEvent::Finished{SessionEnd::Reason::cancelledByUser, summary_, std::nullopt});
        } else {
            co_await reportFailure(failure);
        }
    } catch (...) {
        // Only allocation failures get here; run() still returns normally.
    }
    try {
        co_await closeChannel();
    } catch (...) {
    }
}

asio::awaitable<DeviceInfo> ReceiveSession::performHandshake()
{
    Message message = co_await nextMessage();
    const Hello* hello = std::get_if<Hello>(&message);
    if (!hello)
        throw SessionError::unexpectedMessage("hello", messageType(message));
    // The greeting arrived; pairing waits on a person and has no time-out. The flag covers a
    // time-out that already fired and waits in the queue, which cancel() cannot recall.
    greeted_ = receivedHello_ = true;
    handshakeTimer_.cancel();

    if (!ProtocolVersion::isCompatible(hello->protocolVersion)) {
        SessionEnd end;
        end.reason = SessionEnd::Reason::incompatibleVersion;
        co_await sendIgnoringFailure(std::move(end));
        throw SessionError::versionRejected(hello->protocolVersion);
    }

    HelloAck ack;
    ack.protocolVersion = ProtocolVersion::current;
    ack.device = localDevice_;
    ack.requiresPairing = requiresPairing_;
    co_await send(std::move(ack));

    if (requiresPairing_)
        co_await performPairing();
    else
        channel_->setMaximumFrameByteCount(configuration_.maximumFrameByteCount);
    co_return hello->device;
}

asio::awaitable<void> ReceiveSession::performPairing()
{
    for (;;) {
        checkCancelled();
        Message message = co_await nextMessage();
        if (const SessionEnd* end = std::get_if<SessionEnd>(&message))
            throw SessionError::remoteEnded(end->reason, end->message);
        const PairingRequest* request = std::get_if<PairingRequest>(&message);
        if (!request)
            throw SessionError::unexpectedMessage("pairingRequest", messageType(message));

        // A road that has seen too many wrong codes takes no more guesses, right or wrong.
        if (verifier_->isExhausted())
            throw SessionError::pairingFailed();

        const PairingVerifier::Outcome outcome = verifier_->verify(request->code);
        const std::int64_t remaining = verifier_->remainingAttempts();

        if (outcome.kind == PairingVerifier::Outcome::Kind::accepted) {
            PairingResult result;
            result.outcome = PairingResult::Outcome::accepted;
            result.remainingAttempts = remaining;
            co_await send(std::move(result));
            emit(ReceiveEvent::PairingAccepted{});
            // The peer has proven itself: full-size frames from now on.
            channel_->setMaximumFrameByteCount(configuration_.maximumFrameByteCount);
            co_return;
        }

        // Slow guessing down; shutdown() cuts the wait short.
        if (timing_.wrongCodeDelay > Clock::duration::zero()) {
            wrongCodeTimer_.expires_after(timing_.wrongCodeDelay);
            auto [ec] = co_await wrongCodeTimer_.async_wait(useNothrowAwaitable);
            (void)ec;
        }
        checkCancelled();
        if (verifier_->isExhausted())
            throw SessionError::pairingFailed();

        PairingResult result;
        if (outcome.kind == PairingVerifier::Outcome::Kind::rejected) {
            result.outcome = PairingResult::Outcome::rejected;
            result.remainingAttempts = outcome.remainingAttempts;
            co_await send(std::move(result));
            emit(ReceiveEvent::PairingRejected{outcome.remainingAttempts, false});
        } else {
            result.outcome = PairingResult::Outcome::rejectedCodeRegenerated;
            result.remainingAttempts = remaining;
            co_await send(std::move(result));
            logger_.notice("配对连续失败，已更换配对码");
            emit(ReceiveEvent::PairingRejected{remaining, true});
            emit(ReceiveEvent::PairingCodeChanged{verifier_->code().value()});
        }
    }
}

asio::awaitable<SessionBegin> ReceiveSession::receiveSessionBegin()
{
    Message message = co_await nextMessage();
    if (SessionBegin* begin = std::get_if<SessionBegin>(&message))
        co_return std::move(*begin);
    if (const SessionEnd* end = std::get_if<SessionEnd>(&message))
        throw SessionError::remoteEnded(end->reason, end->message);
    throw SessionError::unexpectedMessage("sessionBegin", messageType(message));
}

asio::awaitable<void> ReceiveSession::prepareSink(const Uuid& sessionID, const DeviceInfo& peer)
{
    co_await throughSink(sink_->prepareSession(sessionID, peer));
}

asio::awaitable<void> ReceiveSession::negotiateManifest(const SessionBegin& begin)
{
    // A capacity hint only: a hostile count must neither throw nor reserve gigabytes.
    descriptors_.reserve(static_cast<std::size_t>(std::clamp<std::int64_t>(begin.assetCount, 0, maximumAssetCountHint)));

    std::int64_t heldByteCount = 0; // grows with replaced entries too: it bounds what was received
    for (;;) {
        checkCancelled();
        Message message = co_await nextMessage();
        if (ManifestBatch* batch = std::get_if<ManifestBatch>(&message)) {
            std::unordered_set<std::string> batchIDs;
            for (const AssetDescriptor& entry : batch->entries) {
                heldByteCount = saturatingAdd(heldByteCount, heldBytes(entry));
                if (heldByteCount > limits_.maximumManifestByteCount
                    || (!descriptors_.count(entry.assetID)
                        && static_cast<std::int64_t>(descriptors_.size()) >= limits_.maximumManifestAssetCount)) {
                    throw ProtocolError::malformedPayload(rawValue(MessageType::manifestBatch), "清单超过上限");
                }
                batchIDs.insert(entry.assetID);
                descriptors_.insert_or_assign(entry.assetID, entry);
            }
            std::unordered_set<std::string> existing;
            try {
                existing = co_await sink_->existingAssetIDs(batch->entries);
            } catch (...) {
                existing.clear(); // the contract says it never fails: treat a failure as "none"
            }
            // Only identifiers of this batch count, so the skipped count can never exceed the manifest.
            for (const std::string& id : existing) {
                if (batchIDs.count(id))
                    skippedAssetIDs_.insert(id);
            }
            continue;
        }
        if (std::holds_alternative<ManifestEnd>(message))
            break;
        if (const SessionEnd* end = std::get_if<SessionEnd>(&message))
            throw SessionError::remoteEnded(end->reason, end->message);
        throw SessionError::unexpectedMessage("manifestBatch/manifestEnd", messageType(message));
    }

    const std::vector<std::string> skipped(skippedAssetIDs_.begin(), skippedAssetIDs_.end());
    const std::size_t batchSize = static_cast<std::size_t>(std::max<std::int64_t>(configuration_.skipListBatchSize, 1));
    std::int64_t batchCount = 0;
    for (std::size_t offset = 0; offset < skipped.size(); offset += batchSize) {
        SkipListBatch batch;
        batch.sessionID = begin.sessionID;
        batch.batchIndex = batchCount;
        const std::size_t end = std::min(skipped.size(), offset + batchSize);
        batch.assetIDs.assign(skipped.begin() + static_cast<std::ptrdiff_t>(offset),
            skipped.begin() + static_cast<std::ptrdiff_t>(end));
        co_await send(std::move(batch));
        ++batchCount;
    }
    SkipListEnd skipEnd;
    skipEnd.sessionID = begin.sessionID;
    skipEnd.batchCount = batchCount;
    co_await send(std::move(skipEnd));

    std::int64_t incomingByteCount = 0;
    for (const auto& [assetID, descriptor] : descriptors_) {
        if (!skippedAssetIDs_.count(assetID))
            incomingByteCount = saturatingAdd(incomingByteCount, descriptor.declaredByteCount());
    }
    const auto total = static_cast<std::int64_t>(descriptors_.size());
    const auto skippedCount = static_cast<std::int64_t>(skippedAssetIDs_.size());
    summary_.skippedAssetCount = skippedCount;
    progress_.totalAssetCount = total - skippedCount;
    progress_.totalByteCount = incomingByteCount;
    emit(ReceiveEvent::ManifestNegotiated{total, skippedCount, incomingByteCount});
}

// MARK: - Ends and stopping

void ReceiveSession::cancel()
{
    isCancelled_ = true;
}

asio::awaitable<void> ReceiveSession::shutdown()
{
    std::shared_ptr<ReceiveSession> keepAlive = weak_from_this().lock();
    isCancelled_ = true;
    wrongCodeTimer_.cancel();
    co_await abortCurrentFile("接收方关闭会话");
    co_await closeChannel();
}

asio::awaitable<void> ReceiveSession::reportFailure(std::exception_ptr failure)
{
    co_await abortCurrentFile("会话异常终止");

    const SessionError* sessionError = errorAs<SessionError>(failure);
    if (sessionError && sessionError->kind() == SessionError::Kind::remoteEnded) {
        emit(ReceiveEvent::Finished{sessionError->reason(), summary_, sessionError->message()});
    } else {
        logger_.error("会话失败：" + errorText(failure));
        const std::string message = UserFacingError::message(failure);
        SessionEnd end;
        end.reason = sessionError && sessionError->kind() == SessionError::Kind::pairingFailed
            ? SessionEnd::Reason::pairingFailed
            : SessionEnd::Reason::error;
        end.message = message;
        co_await sendIgnoringFailure(std::move(end));
        emit(ReceiveEvent::Failed{message});
    }
    if (sessionID_)
        co_await finishSessionQuietly(SessionEnd::Reason::error);
}

std::string ReceiveSession::sinkFailure(const std::exception_ptr& failure)
{
    logger_.error("落地失败：" + errorText(failure));
    return sinkUserMessage(failure);
}

// MARK: - Reading, sending, reporting

asio::awaitable<Message> ReceiveSession::nextMessage()
{
    for (;;) {
        std::optional<Message> message = co_await channel_->receive();
        if (!message)
            throw SessionError::connectionClosed();
        if (std::holds_alternative<Ping>(*message)) {
            Message pong = Pong();
            co_await channel_->send(std::move(pong));
            continue;
        }
        if (std::holds_alternative<Pong>(*message))
            continue;
        co_return std::move(*message);
    }
}

void ReceiveSession::checkCancelled() const
{
    if (isCancelled_)
        throw SessionError::cancelled();
}

void ReceiveSession::reportProgress(bool force)
{
    const Clock::time_point now = timing_.now();
    if (!force && lastProgressReport_
        && now - *lastProgressReport_ < secondsToDuration(configuration_.progressReportInterval))
        return;
    lastProgressReport_ = now;
    emit(ReceiveEvent::Progress{progress_});
}

asio::awaitable<void> ReceiveSession::send(Message message)
{
    co_await channel_->send(std::move(message));
}

asio::awaitable<void> ReceiveSession::sendIgnoringFailure(Message message)
{
    try {
        co_await channel_->send(std::move(message));
    } catch (...) {
    }
}

asio::awaitable<void> ReceiveSession::abortFileQuietly(const IncomingFile& file, const std::string& reason)
{
    try {
        co_await sink_->abortFile(file, reason);
    } catch (...) {
    }
}

asio::awaitable<void> ReceiveSession::finishSessionQuietly(SessionEnd::Reason reason)
{
    if (!sessionID_)
        co_return;
    const Uuid sessionID = *sessionID_;
    co_await chunks_->idle(); // the session's last sink call comes after every other
    try {
        co_await sink_->finishSession(sessionID, reason);
    } catch (...) {
    }
}

asio::awaitable<void> ReceiveSession::closeChannel()
{
    try {
        co_await channel_->close();
    } catch (...) {
    }
}

void ReceiveSession::startHandshakeTimer()
{
    const Clock::duration timeout = secondsToDuration(configuration_.handshakeTimeout);
    if (timeout <= Clock::duration::zero())
        return;
    handshakeTimer_.expires_after(timeout);
    std::weak_ptr<ReceiveSession> weak = weak_from_this();
    const bool shared = !weak.expired();
    handshakeTimer_.async_wait([this, weak, shared](const std::error_code& ec) {
        if (ec)
            return; // cancelled: the hello came, or the session ended
        // A time-out already queued when the session was dropped must not touch it.
        if (shared && weak.expired())
            return;
        if (greeted_)
            return;
        logger_.error("等待问候超时，关闭连接");
        // Closing wakes the pending read (or, in memory, lets the peer hang up); racing the
        // read against the timer instead could lose a message.
        asio::co_spawn(executor_, closeAfterHandshakeTimeout(weak.lock()), asio::detached);
    });
}

asio::awaitable<void> ReceiveSession::closeAfterHandshakeTimeout(std::shared_ptr<ReceiveSession> keepAlive)
{
    (void)keepAlive; // holds the session until the channel is closed
    co_await closeChannel();
}

void ReceiveSession::emit(ReceiveEvent::Value value)
{
    if (!onEvent_)
        return;
    const ReceiveEvent event{std::move(value)};
    try {
        onEvent_(event);
    } catch (...) {
        // An observer's failure never changes the session.
    }
}

} // namespace p2p
