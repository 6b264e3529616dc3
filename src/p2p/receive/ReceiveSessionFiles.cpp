// The receiving session's file stage: each file's begin, chunks and end, verified, stored
// through the sink and acknowledged; chunks go to the sink through a bounded queue.

#include "p2p/receive/ReceiveSession.h"
#include "p2p/receive/ReceiveSessionErrors.h"

#include "p2p/protocol/Saturating.h"
#include "p2p/protocol/errors/SessionError.h"

#include <algorithm>
#include <variant>

// g++ 12 pairs Asio's coroutine-frame operator delete with the global operator new in some frames
// and warns; the frames are allocated and freed by Asio's own pair (the sanitizer build checks).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace p2p {

using namespace receive_session;

namespace {

// A read as one alternative of a race: a message is a variant itself, and a failed read must
// complete the race like a message does.
struct Received {
    std::optional<Message> message;
    std::exception_ptr failure;
};

asio::awaitable<Received> received(asio::awaitable<Message> next)
{
    Received result;
    try {
        result.message = co_await std::move(next);
    } catch (...) {
        result.failure = std::current_exception();
    }
    co_return result;
}

} // namespace

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
        Message message = co_await nextFileMessage();
        if (const FileBegin* begin = std::get_if<FileBegin>(&message)) {
            co_await startFile(*begin, sessionID);
        } else if (FileChunk* chunk = std::get_if<FileChunk>(&message)) {
            co_await appendChunk(std::move(chunk->bytes));
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

    co_await chunks_->start(file); // the previous file's last chunk has left the sink
    co_await throughSink(sink_->beginFile(*file));

    currentFile_ = file;
    currentChecksum_.reset();
    currentByteCount_ = 0;
    acceptedByteCount_ = 0;
    progress_.currentFilename = begin.filename;
    progress_.currentAssetID = begin.assetID;
    progress_.currentFileCompletedByteCount = 0;
    progress_.currentFileTotalByteCount = std::max<std::int64_t>(begin.declaredByteCount, 0);
    emit(ReceiveEvent::FileStarted{begin.filename});
    reportProgress(true);
}

asio::awaitable<void> ReceiveSession::appendChunk(Bytes bytes)
{
    if (!currentFile_)
        throw SessionError::unexpectedMessage("fileBegin", MessageType::fileChunk);
    // Progress counts what the sink took (the queue reports it); the check at the file's end
    // counts what arrived.
    currentChecksum_.update(bytes);
    currentByteCount_ = saturatingAdd(currentByteCount_, static_cast<std::int64_t>(bytes.size()));
    co_await throughSink(chunks_->push(std::move(bytes)));
}

asio::awaitable<void> ReceiveSession::completeFile(const FileEnd& end)
{
    if (!currentFile_)
        throw SessionError::unexpectedMessage("fileBegin", MessageType::fileEnd);
    const std::shared_ptr<const IncomingFile> writing = currentFile_;
    co_await throughSink(chunks_->drain());
    if (currentFile_ != writing)
        co_return; // shutdown() aborted the file meanwhile
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

asio::awaitable<void> ReceiveSession::abortCurrentFile(std::string reason)
{
    if (!currentFile_)
        co_return;
    // Cleared before the await, so a concurrent shutdown() never aborts the same file twice.
    std::shared_ptr<const IncomingFile> file = std::move(currentFile_);
    currentFile_.reset();
    chunks_->discard();
    progress_.completedByteCount = saturatingSubtract(progress_.completedByteCount, acceptedByteCount_);
    co_await abortFileQuietly(*file, reason);
}

asio::awaitable<Message> ReceiveSession::nextFileMessage()
{
    if (!chunks_->isWriting()) {
        co_await throughSink(chunks_->drain()); // a chunk that already failed
        co_return co_await nextMessage();
    }
    // A failed write must stop the file even while the phone is silent. The read is given up only
    // then, when the session ends anyway.
    using namespace asiox::awaitable_operators;
    std::variant<Received, std::monostate> next = co_await (received(nextMessage()) || chunks_->failed());
    if (Received* read = std::get_if<Received>(&next)) {
        if (read->failure)
            std::rethrow_exception(read->failure);
        co_return std::move(*read->message);
    }
    co_await throughSink(chunks_->drain());
    throw SessionError::connectionClosed(); // not reached: the drain throws the sink's failure
}

asio::awaitable<void> ReceiveSession::throughSink(asio::awaitable<void> call)
{
    std::exception_ptr failure;
    try {
        co_await std::move(call);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure)
        throw SessionError::sinkFailed(sinkFailure(failure));
}

} // namespace p2p
