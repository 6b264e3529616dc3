// The session's file stage: verified files, acknowledgements, progress, faults, the sender's end
// and the bounded queue before the sink.

#include "FileStageScripts.h"

#include "p2p/protocol/framing/CRC32.h"
#include "p2p/protocol/errors/SessionError.h"

#include <gtest/gtest.h>

#include <system_error>

using namespace p2p;
using namespace p2p::testing;
using namespace p2p::testing::files;

TEST(ReceiveSessionFilesTest, HappyPathStoresEveryFileAndAnswersPings)
{
    SessionHarness h;
    const Bytes still = FakePhone::patternBytes(10, 1);
    const Bytes movie = FakePhone::patternBytes(7, 2);
    const Bytes clip = FakePhone::patternBytes(13, 3);
    const std::vector<AssetDescriptor> assets = {
        FakePhone::livePhoto("L", "IMG_1.HEIC", 10, "IMG_1.MOV", 7),
        FakePhone::video("V", "CLIP.MP4", 13),
        FakePhone::photo("E", "EMPTY.JPG", 0),
    };
    std::vector<std::optional<FileAck>> acks;
    auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
        co_await phone.greet();
        co_await phone.offer(sessionID, assets);
        FakeFile f1 = fileOf("L", 0, "IMG_1.HEIC", still);
        f1.chunkByteCount = 3;
        f1.pingBetweenChunks = true; // 3 pings
        FakeFile f2 = fileOf("L", 1, "IMG_1.MOV", movie);
        FakeFile f3 = fileOf("V", 0, "CLIP.MP4", clip);
        f3.chunkByteCount = 5;
        f3.pingBetweenChunks = true; // 2 pings
        FakeFile f4 = fileOf("E", 0, "EMPTY.JPG", Bytes{});
        acks.push_back(co_await phone.sendFile(f1));
        acks.push_back(co_await phone.sendFile(f2));
        acks.push_back(co_await phone.sendFile(f3));
        acks.push_back(co_await phone.sendFile(f4));
        co_await phone.end();
        co_await phone.readUntilClosed();
    };
    EXPECT_EQ(h.run(script), "");

    const std::vector<std::optional<FileAck>> expectedAcks = {ackOf("L", 0, FileAck::Result::stored),
        ackOf("L", 1, FileAck::Result::stored), ackOf("V", 0, FileAck::Result::stored),
        ackOf("E", 0, FileAck::Result::stored)};
    EXPECT_EQ(acks, expectedAcks);
    EXPECT_EQ(h.phone->pongCount, 5);
    EXPECT_EQ(h.sink->storedFiles["L/0"], still);
    EXPECT_EQ(h.sink->storedFiles["L/1"], movie);
    EXPECT_EQ(h.sink->storedFiles["V/0"], clip);
    EXPECT_EQ(h.sink->storedFiles.count("E/0"), 1u);
    EXPECT_TRUE(h.sink->storedFiles["E/0"].empty());
    EXPECT_EQ(h.sink->begunFiles.front().descriptor, assets[0]);
    EXPECT_EQ(h.sink->begunFiles.front().sessionID, sessionID);

    const std::vector<std::string> events = {"handshakeCompleted", "manifestNegotiated", "fileStarted", "fileStored",
        "fileStarted", "fileStored", "fileStarted", "fileStored", "fileStarted", "fileStored", "finished"};
    EXPECT_EQ(h.events.names(), events);
    EXPECT_EQ(h.events.last<ReceiveEvent::ManifestNegotiated>(), (ReceiveEvent::ManifestNegotiated{3, 0, 30}));
    const std::vector<ReceiveEvent::FileStored> stored = {
        {"IMG_1.HEIC", 10}, {"IMG_1.MOV", 7}, {"CLIP.MP4", 13}, {"EMPTY.JPG", 0}};
    EXPECT_EQ(h.events.all<ReceiveEvent::FileStored>(), stored);
    EXPECT_EQ(h.events.last<ReceiveEvent::Finished>(),
        (ReceiveEvent::Finished{SessionEnd::Reason::completed, ReceiveSummary{4, 0, 0, 30}}));

    // The live photo counts as one asset, at its second file.
    const TransferProgress last = h.events.last<ReceiveEvent::Progress>()->progress;
    EXPECT_EQ(last.completedAssetCount, 3);
    EXPECT_EQ(last.totalAssetCount, 3);
    EXPECT_EQ(last.completedByteCount, 30);
    EXPECT_EQ(last.totalByteCount, 30);
    EXPECT_EQ(last.currentFilename, "EMPTY.JPG");

    const std::vector<std::string> calls = {"prepareSession", "existingAssetIDs(3)", "beginFile(L/0)", "finishFile(L/0)",
        "beginFile(L/1)", "finishFile(L/1)", "beginFile(V/0)", "finishFile(V/0)", "beginFile(E/0)", "finishFile(E/0)",
        "finishSession(completed)"};
    EXPECT_EQ(withoutAppends(h.sink->calls), calls);
}

TEST(ReceiveSessionFilesTest, FaultyFilesAreRejectedAndTheSessionGoesOn)
{
    struct Case {
        std::string name;
        std::function<asio::awaitable<std::optional<FileAck>>(FakePhone&)> sendA;
        std::optional<FileAck> ack;
        std::vector<std::string> callsForA;
        std::vector<std::string> eventsForA;
        std::int64_t rejected;
    };
    auto faulty = [](std::function<void(FakeFile&)> fault) {
        return [fault](FakePhone& phone) -> asio::awaitable<std::optional<FileAck>> {
            FakeFile a = fileOf("A", 0, "A.JPG", fileA);
            fault(a);
            co_return co_await phone.sendFile(a);
        };
    };
    const std::vector<Case> cases = {
        {"bad CRC", faulty([](FakeFile& f) { f.endCRC = CRC32::value(fileA) ^ 1u; }),
            ackOf("A", 0, FileAck::Result::checksumMismatch), {"beginFile(A/0)", "abortFile(A/0,校验失败)"},
            {"fileStarted", "fileRejected"}, 1},
        {"count mismatch", faulty([](FakeFile& f) { f.endByteCount = 11; }),
            ackOf("A", 0, FileAck::Result::checksumMismatch), {"beginFile(A/0)", "abortFile(A/0,校验失败)"},
            {"fileStarted", "fileRejected"}, 1},
        {"phone could not read", faulty([](FakeFile& f) { f.endByteCount = -1; }), std::nullopt,
            {"beginFile(A/0)", "abortFile(A/0,发送端读取失败)"}, {"fileStarted"}, 0},
        // An end for another asset or index is no proof for this file; it is answered as it names.
        {"end names another asset", faulty([](FakeFile& f) { f.endAssetID = "G"; }),
            ackOf("G", 0, FileAck::Result::checksumMismatch), {"beginFile(A/0)", "abortFile(A/0,校验失败)"},
            {"fileStarted", "fileRejected"}, 1},
        {"end names another index", faulty([](FakeFile& f) { f.endFileIndex = 1; }),
            ackOf("A", 1, FileAck::Result::checksumMismatch), {"beginFile(A/0)", "abortFile(A/0,校验失败)"},
            {"fileStarted", "fileRejected"}, 1},
        {"second fileBegin",
            [](FakePhone& phone) -> asio::awaitable<std::optional<FileAck>> {
                FakeFile cut = fileOf("A", 0, "A.JPG", fileA);
                cut.cutAfterChunks = 1;
                co_await phone.sendFile(cut);
                FakeFile whole = fileOf("A", 0, "A.JPG", fileA);
                co_return co_await phone.sendFile(whole);
            },
            ackOf("A", 0, FileAck::Result::stored),
            {"beginFile(A/0)", "abortFile(A/0,同一文件重新开始传输)", "beginFile(A/0)", "finishFile(A/0)"},
            {"fileStarted", "fileStarted", "fileStored"}, 0},
        // The copy on disk is replaced: counted once, in the summary and in the progress.
        {"stored file sent again",
            [](FakePhone& phone) -> asio::awaitable<std::optional<FileAck>> {
                co_await phone.sendFile(fileOf("A", 0, "A.JPG", fileA));
                co_return co_await phone.sendFile(fileOf("A", 0, "A.JPG", fileA));
            },
            ackOf("A", 0, FileAck::Result::stored),
            {"beginFile(A/0)", "finishFile(A/0)", "beginFile(A/0)", "finishFile(A/0)"},
            {"fileStarted", "fileStored", "fileStarted", "fileStored"}, 0},
        // G, cut off after A was stored, takes only its own bytes out of the progress.
        {"a later file cut off and sent again",
            [](FakePhone& phone) -> asio::awaitable<std::optional<FileAck>> {
                std::optional<FileAck> ack = co_await phone.sendFile(fileOf("A", 0, "A.JPG", fileA));
                FakeFile cut = fileOf("G", 0, "G.JPG", fileG);
                cut.cutAfterChunks = 1;
                co_await phone.sendFile(cut);
                co_return ack;
            },
            ackOf("A", 0, FileAck::Result::stored),
            {"beginFile(A/0)", "finishFile(A/0)", "beginFile(G/0)", "abortFile(G/0,同一文件重新开始传输)"},
            {"fileStarted", "fileStored", "fileStarted"}, 0},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SessionHarness h;
        std::optional<FileAck> ackA;
        std::optional<FileAck> ackG;
        auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
            co_await greetAndOfferAG(phone);
            ackA = co_await c.sendA(phone);
            FakeFile g = fileOf("G", 0, "G.JPG", fileG);
            ackG = co_await phone.sendFile(g);
            co_await phone.end();
            co_await phone.readUntilClosed();
        };
        EXPECT_EQ(h.run(script), "");
        EXPECT_EQ(ackA, c.ack);
        EXPECT_EQ(ackG, ackOf("G", 0, FileAck::Result::stored));

        std::vector<std::string> calls = {"prepareSession", "existingAssetIDs(2)"};
        calls.insert(calls.end(), c.callsForA.begin(), c.callsForA.end());
        calls.insert(calls.end(), {"beginFile(G/0)", "finishFile(G/0)", "finishSession(completed)"});
        EXPECT_EQ(withoutAppends(h.sink->calls), calls);

        std::vector<std::string> events = {"handshakeCompleted", "manifestNegotiated"};
        events.insert(events.end(), c.eventsForA.begin(), c.eventsForA.end());
        events.insert(events.end(), {"fileStarted", "fileStored", "finished"});
        EXPECT_EQ(h.events.names(), events);

        const ReceiveSummary summary = h.events.last<ReceiveEvent::Finished>()->summary;
        EXPECT_EQ(summary.rejectedFileCount, c.rejected);
        const bool aStored = c.ack && c.ack->result == FileAck::Result::stored;
        EXPECT_EQ(summary.storedFileCount, aStored ? 2 : 1);
        // Bytes of a file that did not make it never stay in the progress.
        EXPECT_EQ(h.events.last<ReceiveEvent::Progress>()->progress.completedByteCount, aStored ? 16 : 6);
        if (aStored) {
            EXPECT_EQ(h.sink->storedFiles["A/0"], fileA);
        }
    }
}

TEST(ReceiveSessionFilesTest, FailingFinishRejectsOneFileWithTheSinksOwnWords)
{
    struct Case {
        std::string name;
        std::function<void()> fail;
        std::string abortReason;
        std::string ackMessage;
    };
    const std::vector<Case> cases = {
        {"disk full", [] { throw AssetSinkError::insufficientSpace(0); }, "电脑空间不足", "电脑空间不足"},
        {"write failed", [] { throw AssetSinkError::writeFailed("A.JPG", "无法写入 A.JPG"); }, "无法写入 A.JPG",
            "无法写入 A.JPG"},
        {"system error", [] { throw std::system_error(std::make_error_code(std::errc::no_space_on_device), "fsync"); },
            std::system_error(std::make_error_code(std::errc::no_space_on_device), "fsync").what(), "电脑空间不足"},
        {"anything else", [] { throw std::runtime_error("boom"); }, "boom", "出现问题，请重试"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SessionHarness h;
        h.sink->beforeCall = [&](std::string_view operation, const IncomingFile* file) {
            if (operation == "finishFile" && file->assetID == "A")
                c.fail();
        };
        std::optional<FileAck> ackA;
        std::optional<FileAck> ackG;
        auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
            co_await greetAndOfferAG(phone);
            FakeFile a = fileOf("A", 0, "A.JPG", fileA);
            ackA = co_await phone.sendFile(a);
            FakeFile g = fileOf("G", 0, "G.JPG", fileG);
            ackG = co_await phone.sendFile(g);
            co_await phone.end();
            co_await phone.readUntilClosed();
        };
        EXPECT_EQ(h.run(script), "");
        EXPECT_EQ(ackA, ackOf("A", 0, FileAck::Result::writeFailed, c.ackMessage));
        EXPECT_EQ(ackG, ackOf("G", 0, FileAck::Result::stored));
        const std::vector<std::string> calls = {"prepareSession", "existingAssetIDs(2)", "beginFile(A/0)",
            "finishFile(A/0)", "abortFile(A/0," + c.abortReason + ")", "beginFile(G/0)", "finishFile(G/0)",
            "finishSession(completed)"};
        EXPECT_EQ(withoutAppends(h.sink->calls), calls);
        EXPECT_EQ(h.events.last<ReceiveEvent::FileRejected>(),
            (ReceiveEvent::FileRejected{"A.JPG", FileAck::Result::writeFailed}));
        EXPECT_EQ(h.events.last<ReceiveEvent::Finished>()->summary, (ReceiveSummary{1, 1, 0, 6}));
        // A re-sent copy must not count twice: the failed file's bytes left the progress.
        EXPECT_EQ(h.events.last<ReceiveEvent::Progress>()->progress.completedByteCount, 6);
    }
}

TEST(ReceiveSessionFilesTest, FailuresInTheFileStageEndTheSession)
{
    struct Case {
        std::string name;
        std::function<void(RecordingSink&)> configure;
        std::function<asio::awaitable<void>(FakePhone&)> afterOffer;
        std::vector<std::string> tailCalls; // after prepareSession and existingAssetIDs
        std::optional<SessionEnd> toPhone;   // the last message the phone got
        std::string failure;
    };
    const std::string interrupted = "传输异常，请重试";
    auto sendMessage = [](Message message) {
        return [message](FakePhone& phone) -> asio::awaitable<void> {
            Message copy = message;
            co_await phone.send(std::move(copy));
            co_await phone.readUntilClosed();
        };
    };
    FileBegin unknown;
    unknown.assetID = "X";
    unknown.filename = "X.JPG";
    FileChunk strayChunk;
    strayChunk.bytes = {1, 2, 3};
    FileEnd strayEnd;
    strayEnd.assetID = "A";
    Hello lateHello;
    lateHello.protocolVersion = 1;

    const std::vector<Case> cases = {
        {"unknown asset", {}, sendMessage(unknown), {"finishSession(error)"},
            endOf(SessionEnd::Reason::error, interrupted), interrupted},
        {"chunk without a file", {}, sendMessage(strayChunk), {"finishSession(error)"},
            endOf(SessionEnd::Reason::error, interrupted), interrupted},
        {"end without a file", {}, sendMessage(strayEnd), {"finishSession(error)"},
            endOf(SessionEnd::Reason::error, interrupted), interrupted},
        {"hello in the file stage", {}, sendMessage(lateHello), {"finishSession(error)"},
            endOf(SessionEnd::Reason::error, interrupted), interrupted},
        {"frame of no known type", {},
            [](FakePhone& phone) -> asio::awaitable<void> {
                Bytes frame = FrameEncoder::encode(std::uint8_t{0}, Bytes{});
                co_await phone.sendRaw(std::move(frame));
                co_await phone.readUntilClosed();
            },
            {"finishSession(error)"}, endOf(SessionEnd::Reason::error, "出现问题，请重试"), "出现问题，请重试"},
        {"disconnect mid-file", {},
            [](FakePhone& phone) -> asio::awaitable<void> {
                FakeFile a = fileOf("A", 0, "A.JPG", fileA);
                a.cutAfterChunks = 2;
                co_await phone.sendFile(a);
                co_await phone.disconnect();
            },
            {"beginFile(A/0)", "abortFile(A/0,会话异常终止)", "finishSession(error)"}, std::nullopt, "连接已断开"},
        {"beginFile fails",
            [](RecordingSink& sink) {
                sink.beforeCall = [](std::string_view operation, const IncomingFile*) {
                    if (operation == "beginFile")
                        throw AssetSinkError::destinationUnavailable("目标文件夹不可用");
                };
            },
            [](FakePhone& phone) -> asio::awaitable<void> {
                FakeFile a = fileOf("A", 0, "A.JPG", fileA);
                a.cutAfterChunks = 0;
                co_await phone.sendFile(a);
                co_await phone.readUntilClosed();
            },
            {"beginFile(A/0)", "finishSession(error)"}, endOf(SessionEnd::Reason::error, "目标文件夹不可用"),
            "目标文件夹不可用"},
        {"appendChunk fails",
            [](RecordingSink& sink) {
                sink.beforeCall = [](std::string_view operation, const IncomingFile*) {
                    if (operation == "appendChunk")
                        throw std::system_error(std::make_error_code(std::errc::no_space_on_device));
                };
            },
            [](FakePhone& phone) -> asio::awaitable<void> {
                FakeFile a = fileOf("A", 0, "A.JPG", fileA);
                a.cutAfterChunks = 1;
                co_await phone.sendFile(a);
                co_await phone.readUntilClosed();
            },
            {"beginFile(A/0)", "abortFile(A/0,会话异常终止)", "finishSession(error)"},
            endOf(SessionEnd::Reason::error, "电脑空间不足"), "电脑空间不足"},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SessionHarness h;
        if (c.configure)
            c.configure(*h.sink);
        auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
            co_await greetAndOfferAG(phone);
            co_await c.afterOffer(phone);
        };
        EXPECT_EQ(h.run(script), "");
        std::vector<std::string> calls = {"prepareSession", "existingAssetIDs(2)"};
        calls.insert(calls.end(), c.tailCalls.begin(), c.tailCalls.end());
        EXPECT_EQ(withoutAppends(h.sink->calls), calls);
        const Message& last = h.phone->received.back();
        if (c.toPhone)
            EXPECT_EQ(std::get_if<SessionEnd>(&last) ? *std::get_if<SessionEnd>(&last) : SessionEnd{}, *c.toPhone);
        else
            EXPECT_FALSE(std::holds_alternative<SessionEnd>(last));
        EXPECT_EQ(h.events.names().back(), "failed");
        EXPECT_EQ(h.events.last<ReceiveEvent::Failed>()->message, c.failure);
        EXPECT_FALSE(h.events.last<ReceiveEvent::Finished>());
    }
}

TEST(ReceiveSessionFilesTest, TheSendersEndIsAFinishWhateverItsReason)
{
    for (SessionEnd::Reason reason : {SessionEnd::Reason::completed, SessionEnd::Reason::error}) {
        SCOPED_TRACE(std::string(rawValue(reason)));
        SessionHarness h;
        auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
            co_await greetAndOfferAG(phone);
            FakeFile a = fileOf("A", 0, "A.JPG", fileA);
            a.cutAfterChunks = 1;
            co_await phone.sendFile(a);
            std::optional<std::string> message = "手机出错了";
            co_await phone.end(reason, message);
            co_await phone.readUntilClosed();
        };
        EXPECT_EQ(h.run(script), "");
        const std::vector<std::string> calls = {"prepareSession", "existingAssetIDs(2)", "beginFile(A/0)",
            "abortFile(A/0,对端结束会话)", "finishSession(" + std::string(rawValue(reason)) + ")"};
        EXPECT_EQ(withoutAppends(h.sink->calls), calls);
        EXPECT_EQ(h.events.names().back(), "finished");
        EXPECT_EQ(h.events.last<ReceiveEvent::Finished>(),
            (ReceiveEvent::Finished{reason, ReceiveSummary{}, std::string("手机出错了")}));
        // Nothing is sent back at the end: the skip list's end is the last message.
        EXPECT_TRUE(std::holds_alternative<SkipListEnd>(h.phone->received.back()));
    }
}

TEST(ReceiveSessionFilesTest, ChunkProgressIsThrottledByTheInterval)
{
    SessionHarness h; // interval 0.1 s
    h.sink->beforeCall = [&](std::string_view operation, const IncomingFile*) {
        if (operation == "appendChunk")
            h.now += std::chrono::milliseconds(40);
    };
    const std::vector<AssetDescriptor> assets = {FakePhone::photo("A", "A.JPG", 40)};
    auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
        co_await phone.greet();
        co_await phone.offer(sessionID, assets);
        FakeFile a = fileOf("A", 0, "A.JPG", FakePhone::patternBytes(40));
        co_await phone.sendFile(a); // ten chunks, 40 ms apart
        co_await phone.end();
        co_await phone.readUntilClosed();
    };
    EXPECT_EQ(h.run(script), "");
    std::vector<std::int64_t> reported;
    for (const ReceiveEvent::Progress& p : h.events.all<ReceiveEvent::Progress>())
        reported.push_back(p.progress.completedByteCount);
    // Forced at the start and at the store; in between at 120, 240 and 360 ms.
    EXPECT_EQ(reported, (std::vector<std::int64_t>{0, 12, 24, 36, 40}));
}

TEST(ReceiveSessionFilesTest, AnAssetWithoutFilesIsNeverCompletedByAWrappedIndex)
{
    SessionHarness h;
    AssetDescriptor empty = FakePhone::photo("N", "N.JPG", 0);
    empty.files.clear();
    const std::vector<AssetDescriptor> assets = {empty};
    std::optional<FileAck> ack;
    auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
        co_await phone.greet();
        co_await phone.offer(sessionID, assets);
        FakeFile n = fileOf("N", -1, "N.JPG", FakePhone::patternBytes(3));
        ack = co_await phone.sendFile(n);
        co_await phone.end();
        co_await phone.readUntilClosed();
    };
    EXPECT_EQ(h.run(script), "");
    EXPECT_EQ(ack, ackOf("N", -1, FileAck::Result::stored));
    EXPECT_EQ(h.session->progress().completedAssetCount, 0);
    EXPECT_EQ(h.events.last<ReceiveEvent::Finished>()->summary, (ReceiveSummary{1, 0, 0, 3}));
}

// False when the session ended instead of acknowledging.
namespace {

asio::awaitable<bool> sendAnswered(FakePhone& phone, FakeFile file)
{
    try {
        co_await phone.sendFile(std::move(file));
    } catch (const std::runtime_error&) {
        co_return false;
    }
    co_return true;
}

} // namespace

// While the sink writes, the session reads on into a queue of bounded size; a chunk that fails
// there ends the session as a failed write always did, and nothing after it reaches the sink.
TEST(ReceiveSessionFilesTest, ChunksWaitForTheSinkInABoundedQueue)
{
    struct Case {
        const char* name;
        int failingAppend; // 0: none
        std::vector<std::string> tailCalls; // without the appends
        std::optional<FileAck> ack;
        std::optional<SessionEnd> end;
    };
    const std::vector<Case> cases = {
        {"every chunk lands", 0,
            {"beginFile(A/0)", "appendChunk.released(A/0)", "finishFile(A/0)", "finishSession(completed)"},
            ackOf("A", 0, FileAck::Result::stored), std::nullopt},
        // The held chunk fails with two more queued behind it.
        {"the held chunk fails while later ones wait", 1,
            {"beginFile(A/0)", "appendChunk.released(A/0)", "abortFile(A/0,会话异常终止)", "finishSession(error)"},
            std::nullopt,
            endOf(SessionEnd::Reason::error, "电脑空间不足")},
    };
    const std::int64_t limit = 12;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SessionHarness::Options options;
        std::int64_t mostQueued = 0;
        RecordingSink* sink = nullptr;
        options.limits.maximumQueuedChunkByteCount = limit;
        options.limits.onQueuedChunkBytes = [&](std::int64_t queued) {
            mostQueued = std::max(mostQueued, queued);
            if (queued >= limit && sink->holdAppends)
                sink->releaseAppends(); // the first chunk was held until the queue filled
        };
        SessionHarness h(options);
        sink = h.sink.get();
        sink->holdAppends = true;
        int appends = 0;
        sink->beforeCall = [&](std::string_view operation, const IncomingFile*) {
            if (operation == "appendChunk" && ++appends == c.failingAppend)
                throw std::system_error(std::make_error_code(std::errc::no_space_on_device));
        };
        const Bytes bytes = FakePhone::patternBytes(64, 3);
        const std::vector<AssetDescriptor> assets = {FakePhone::photo("A", "A.JPG", 64)};
        const FakeFile file = fileOf("A", 0, "A.JPG", bytes); // 16 chunks of 4 bytes
        auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
            co_await phone.greet();
            co_await phone.offer(sessionID, assets);
            if (co_await sendAnswered(phone, file))
                co_await phone.end();
            co_await phone.readUntilClosed();
        };
        EXPECT_EQ(h.run(script), "");
        std::vector<std::string> calls = {"prepareSession", "existingAssetIDs(1)"};
        calls.insert(calls.end(), c.tailCalls.begin(), c.tailCalls.end());
        EXPECT_EQ(withoutAppends(sink->calls), calls);
        EXPECT_EQ(mostQueued, limit);
        EXPECT_EQ(appends, c.failingAppend ? c.failingAppend : 16);
        if (c.ack) {
            EXPECT_EQ(sink->storedFiles["A/0"], bytes);
        }
        std::optional<FileAck> ack;
        std::optional<SessionEnd> end;
        for (const Message& message : h.phone->received) {
            if (const FileAck* a = std::get_if<FileAck>(&message))
                ack = *a;
            if (const SessionEnd* e = std::get_if<SessionEnd>(&message))
                end = *e;
        }
        EXPECT_EQ(ack, c.ack);
        EXPECT_EQ(end, c.end);
    }
}
