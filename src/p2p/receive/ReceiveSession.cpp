#include "p2p/receive/ReceiveSession.h"

#include "p2p/protocol/ProtocolError.h"
#include "p2p/protocol/ProtocolVersion.h"
#include "p2p/protocol/Saturating.h"
#include "p2p/protocol/SessionError.h"
#include "p2p/protocol/UserFacingError.h"

#include <algorithm>
#include <cmath>
#include <vector>

// g++ 12 pairs Asio's coroutine-frame operator delete with the global operator new in some frames
// and warns; the frames are allocated and freed by Asio's own pair (the sanitizer build checks).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace p2p {

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

// The error's standard text: description() of our errors equals what().
std::string errorText(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "未知错误";
    }
}

template <typename T>
const T* errorAs(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const T& e) {
        return &e; // the exception object lives as long as `error`
    } catch (...) {
        return nullptr;
    }
}

// The sink's own sentence ("电脑空间不足") tells the user more than a generic one.
std::string sinkUserMessage(const std::exception_ptr& failure)
{
    if (const AssetSinkError* sinkError = errorAs<AssetSinkError>(failure))
        return sinkError->userMessage();
    return UserFacingError::message(failure);
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
}

ReceiveSession::~ReceiveSession() = default;

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
    std::exception_ptr failure;
    try {
        co_await sink_->prepareSession(sessionID, peer);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure)
        throw SessionError::sinkFailed(sinkFailure(failure));
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

asio::awaitable<SessionEnd> ReceiveSession::receiveFiles(Uuid sessionID)
{
    for (;;) {
        if (isCancelled_) {
            co_await abortCurrentFile("接收方取消");
            SessionEnd end;
            end.reason = SessionEnd::Reason::cancelledByUser;
            co_await sendIgnoringFailure(end);
            co_return end;
        }
        Message message = co_await nextMessage();
        if (const FileBegin* begin = std::get_if<FileBegin>(&message)) {
            co_await startFile(*begin, sessionID);
        } else if (const FileChunk* chunk = std::get_if<FileChunk>(&message)) {
            co_await appendChunk(chunk->bytes);
        } else if (const FileEnd* fileEnd = std::get_if<FileEnd>(&message)) {
            co_await completeFile(*fileEnd);
        } else if (const SessionEnd* end = std::get_if<SessionEnd>(&message)) {
            SessionEnd ending = *end;
            co_await abortCurrentFile("对端结束会话");
            co_return ending;
        } else {
            throw SessionError::unexpectedMessage("fileBegin/fileChunk/fileEnd", messageType(message));
        }
    }
}

asio::awaitable<void> ReceiveSession::startFile(const FileBegin& begin, const Uuid& sessionID)
{
    co_await abortCurrentFile("同一文件重新开始传输");

    auto found = descriptors_.find(begin.assetID);
    if (found == descriptors_.end())
        throw SessionError::unexpectedMessage("清单中已声明的 assetID", MessageType::fileBegin);
    auto file = std::make_shared<IncomingFile>();
    file->sessionID = sessionID;
    file->assetID = begin.assetID;
    file->fileIndex = begin.fileIndex;
    file->filename = begin.filename;
    file->declaredByteCount = begin.declaredByteCount;
    file->descriptor = found->second;

    std::exception_ptr failure;
    try {
        co_await sink_->beginFile(*file);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure)
        throw SessionError::sinkFailed(sinkFailure(failure));

    currentFile_ = file;
    currentChecksum_.reset();
    currentByteCount_ = 0;
    progress_.currentFilename = begin.filename;
    progress_.currentAssetID = begin.assetID;
    progress_.currentFileCompletedByteCount = 0;
    progress_.currentFileTotalByteCount = std::max<std::int64_t>(begin.declaredByteCount, 0);
    emit(ReceiveEvent::FileStarted{begin.filename});
    reportProgress(true);
}

asio::awaitable<void> ReceiveSession::appendChunk(const Bytes& bytes)
{
    if (!currentFile_)
        throw SessionError::unexpectedMessage("fileBegin", MessageType::fileChunk);
    std::shared_ptr<const IncomingFile> file = currentFile_;

    std::exception_ptr failure;
    try {
        co_await sink_->appendChunk(bytes, *file);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure)
        throw SessionError::sinkFailed(sinkFailure(failure));
    // shutdown() may have aborted the file meanwhile; its bytes were already taken back.
    if (currentFile_ != file)
        co_return;

    const auto count = static_cast<std::int64_t>(bytes.size());
    currentChecksum_.update(bytes);
    currentByteCount_ = saturatingAdd(currentByteCount_, count);
    progress_.completedByteCount = saturatingAdd(progress_.completedByteCount, count);
    progress_.currentFileCompletedByteCount = currentByteCount_;
    reportProgress(false);
}

asio::awaitable<void> ReceiveSession::completeFile(const FileEnd& end)
{
    if (!currentFile_)
        throw SessionError::unexpectedMessage("fileBegin", MessageType::fileEnd);
    std::shared_ptr<const IncomingFile> file = std::move(currentFile_);
    currentFile_.reset();
    const std::int64_t received = currentByteCount_;
    const std::uint32_t computedCRC = currentChecksum_.value();

    if (end.byteCount < 0) {
        // The phone could not read the file; a re-sent copy must not count twice.
        progress_.completedByteCount = saturatingSubtract(progress_.completedByteCount, received);
        const std::string reason = "发送端读取失败";
        co_await abortFileQuietly(*file, reason);
        co_return;
    }

    // An end that names another file than the open one cannot vouch for its bytes.
    const bool sameFile = end.assetID == file->assetID && end.fileIndex == file->fileIndex;
    FileAck ack;
    ack.assetID = end.assetID;
    ack.fileIndex = end.fileIndex;

    if (sameFile && end.byteCount == received && end.crc32 == computedCRC) {
        std::exception_ptr failure;
        try {
            co_await sink_->finishFile(*file);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!failure) {
            storedFiles_.add(file->assetID, file->fileIndex, received, summary_, progress_.completedByteCount);
            const auto fileCount = static_cast<std::int64_t>(file->descriptor.files.size());
            if (fileCount > 0 && file->fileIndex == fileCount - 1)
                progress_.completedAssetCount += 1;
            emit(ReceiveEvent::FileStored{file->filename, received});
            reportProgress(true);
            ack.result = FileAck::Result::stored;
            co_await send(std::move(ack));
            co_return;
        }

        const std::string text = errorText(failure);
        logger_.error("落地 " + file->filename + " 失败：" + text);
        co_await abortFileQuietly(*file, text);
        summary_.rejectedFileCount += 1;
        // A re-sent copy must not count twice.
        progress_.completedByteCount = saturatingSubtract(progress_.completedByteCount, received);
        emit(ReceiveEvent::FileRejected{file->filename, FileAck::Result::writeFailed});
        ack.result = FileAck::Result::writeFailed;
        ack.message = sinkUserMessage(failure);
        co_await send(std::move(ack));
        co_return;
    }

    const std::string reason = "校验失败";
    co_await abortFileQuietly(*file, reason);
    summary_.rejectedFileCount += 1;
    progress_.completedByteCount = saturatingSubtract(progress_.completedByteCount, received);
    logger_.error("校验失败：" + file->filename + " 期望 " + std::to_string(end.byteCount) + " 字节/CRC "
        + std::to_string(end.crc32) + "，实收 " + std::to_string(received) + " 字节/CRC "
        + std::to_string(computedCRC));
    emit(ReceiveEvent::FileRejected{file->filename, FileAck::Result::checksumMismatch});
    ack.result = FileAck::Result::checksumMismatch;
    co_await send(std::move(ack));
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

asio::awaitable<void> ReceiveSession::abortCurrentFile(std::string reason)
{
    if (!currentFile_)
        co_return;
    // Cleared before the await, so a concurrent shutdown() never aborts the same file twice.
    std::shared_ptr<const IncomingFile> file = std::move(currentFile_);
    currentFile_.reset();
    progress_.completedByteCount = saturatingSubtract(progress_.completedByteCount, currentByteCount_);
    co_await abortFileQuietly(*file, reason);
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
