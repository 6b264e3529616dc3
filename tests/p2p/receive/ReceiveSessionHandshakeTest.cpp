// The session's first stages: greeting, pairing, session begin and the manifest with its skip list.

#include "p2p/protocol/framing/CRC32.h"
#include "p2p/protocol/framing/MessageCoder.h"
#include "support/p2p/SessionHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace p2p;
using namespace p2p::testing;

namespace {

SessionEnd sessionEnd(SessionEnd::Reason reason, std::optional<std::string> message = std::nullopt)
{
    SessionEnd end;
    end.reason = reason;
    end.message = std::move(message);
    return end;
}

std::vector<std::string> typeNames(const std::vector<Message>& messages)
{
    std::vector<std::string> names;
    for (const Message& message : messages)
        names.emplace_back(messageTypeName(messageType(message)));
    return names;
}

asio::awaitable<void> yieldTimes(int count)
{
    auto executor = co_await asio::this_coro::executor;
    for (int i = 0; i < count; ++i)
        co_await asio::post(executor, asio::use_awaitable);
}

const Uuid fixedSessionID = *Uuid::parse("a1b2c3d4-e5f6-4a7b-8c9d-0e1f2a3b4c5d");

// A session begin for one asset and the manifest batch of photo P (5 bytes), without the manifest's end.
asio::awaitable<void> beginWithPhotoP(FakePhone& phone)
{
    SessionBegin begin;
    begin.sessionID = fixedSessionID;
    begin.assetCount = 1;
    co_await phone.send(std::move(begin));
    ManifestBatch batch;
    batch.sessionID = fixedSessionID;
    batch.entries.push_back(FakePhone::photo("P", "IMG.JPG", 5));
    co_await phone.send(std::move(batch));
}

} // namespace

TEST(ReceiveSessionHandshakeTest, RefusedGreetingsEndWithOneFailure)
{
    struct Case {
        std::string name;
        SessionHarness::Options options;
        SessionHarness::Script script;
        std::vector<std::string> phoneReceives; // message types, pongs aside
        std::optional<SessionEnd> lastSessionEnd;
        std::vector<std::string> events;
        std::string failure;
    };
    const std::string incompatible = "协议版本不兼容，请更新 Tessivarnholm 或 Brevanholt";
    const std::string interrupted = "传输异常，请重试";
    SessionHarness::Options pairingOptions;
    pairingOptions.requiresPairing = true;

    std::vector<Case> cases;
    for (std::uint16_t version : {std::uint16_t{0}, std::uint16_t{2}}) {
        cases.push_back({"version " + std::to_string(version), {},
            [version](FakePhone& phone) -> asio::awaitable<void> {
                co_await phone.greet(version);
                co_await phone.readUntilClosed();
            },
            // Refused versions get the incompatibility end, then the failure report's end.
            {"sessionEnd", "sessionEnd"}, sessionEnd(SessionEnd::Reason::error, incompatible), {"failed"}, incompatible});
    }
    cases.push_back({"sessionEnd instead of hello", {},
        [](FakePhone& phone) -> asio::awaitable<void> {
            co_await phone.end(SessionEnd::Reason::completed);
            co_await phone.readUntilClosed();
        },
        {"sessionEnd"}, sessionEnd(SessionEnd::Reason::error, interrupted), {"failed"}, interrupted});
    cases.push_back({"pairing request when none is required", {},
        [](FakePhone& phone) -> asio::awaitable<void> {
            co_await phone.greet();
            PairingRequest request;
            request.code = "123";
            co_await phone.send(std::move(request));
            co_await phone.readUntilClosed();
        },
        {"helloAck", "sessionEnd"}, sessionEnd(SessionEnd::Reason::error, interrupted),
        {"handshakeCompleted", "failed"}, interrupted});
    cases.push_back({"oversized frame before pairing", pairingOptions,
        [](FakePhone& phone) -> asio::awaitable<void> {
            co_await phone.greet();
            PairingRequest request;
            request.code = std::string(70'000, '1');
            co_await phone.send(std::move(request));
            co_await phone.readUntilClosed();
        },
        {"helloAck", "sessionEnd"}, sessionEnd(SessionEnd::Reason::error, "出现问题，请重试"), {"failed"},
        "出现问题，请重试"});

    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        SessionHarness h(c.options);
        EXPECT_EQ(h.run(c.script), "");
        EXPECT_EQ(typeNames(h.phone->received), c.phoneReceives);
        ASSERT_FALSE(h.phone->received.empty());
        EXPECT_EQ(std::get_if<SessionEnd>(&h.phone->received.back()) ? std::optional(std::get<SessionEnd>(h.phone->received.back())) : std::nullopt,
            c.lastSessionEnd);
        EXPECT_EQ(h.events.names(), c.events);
        EXPECT_EQ(h.events.last<ReceiveEvent::Failed>()->message, c.failure);
        EXPECT_TRUE(h.sink->calls.empty());
    }
}

TEST(ReceiveSessionHandshakeTest, PingBeforeHelloIsAnsweredAndAPongIsIgnored)
{
    SessionHarness h;
    std::optional<HelloAck> ack;
    const std::vector<AssetDescriptor> none;
    auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
        co_await phone.ping();
        Message pong = Pong();
        co_await phone.send(std::move(pong));
        ack = co_await phone.greet();
        co_await phone.offer(fixedSessionID, none);
        co_await phone.end();
        co_await phone.readUntilClosed();
    };
    EXPECT_EQ(h.run(script), "");
    EXPECT_EQ(h.phone->pongCount, 1);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->protocolVersion, 1);
    EXPECT_FALSE(ack->requiresPairing);
    EXPECT_EQ(ack->device.name, "测试电脑");
    // An empty manifest: only the skip list's end, and nothing to come.
    ASSERT_TRUE(h.phone->lastSkipListEnd);
    EXPECT_EQ(h.phone->lastSkipListEnd->batchCount, 0);
    EXPECT_EQ(h.events.last<ReceiveEvent::ManifestNegotiated>(), (ReceiveEvent::ManifestNegotiated{0, 0, 0}));
    EXPECT_EQ(h.events.last<ReceiveEvent::HandshakeCompleted>()->peer, FakePhone::device());
    EXPECT_EQ(h.sink->preparedSessionID, fixedSessionID);
    EXPECT_EQ(h.sink->preparedPeer, FakePhone::device());
}

TEST(ReceiveSessionHandshakeTest, WrongCodesThenRegeneratedThenRightCode)
{
    SessionHarness::Options options;
    options.requiresPairing = true;
    SessionHarness h(options);
    std::vector<PairingResult> results;
    std::string rightCode;
    // One batch far above the 64 KiB allowed before pairing: it passes once pairing raised the limit.
    std::vector<AssetDescriptor> assets;
    for (int i = 0; i < 1000; ++i)
        assets.push_back(FakePhone::photo("ASSET-" + std::to_string(i) + std::string(60, 'x'), "IMG.JPG", 1));
    auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
        std::optional<HelloAck> ack = co_await phone.greet();
        if (!ack || !ack->requiresPairing)
            throw std::runtime_error("no pairing asked for");
        // A named list: g++ 12 mishandles a braced list that lives across a suspension.
        const std::vector<std::string> wrongCodes = {"000", "999", " 555\n"};
        for (const std::string& wrong : wrongCodes)
            results.push_back(co_await phone.pair(wrong));
        rightCode = h.verifier->code().value();
        results.push_back(co_await phone.pair(rightCode));
        co_await phone.offer(fixedSessionID, assets, 1000);
        co_await phone.end();
        co_await phone.readUntilClosed();
    };
    EXPECT_EQ(h.run(script), "");
    using Outcome = PairingResult::Outcome;
    const std::vector<PairingResult> expected = {
        {Outcome::rejected, 2}, {Outcome::rejected, 1}, {Outcome::rejectedCodeRegenerated, 3}, {Outcome::accepted, 3}};
    EXPECT_EQ(results, expected);
    const std::vector<std::string> names = {"pairingRejected", "pairingRejected", "pairingRejected", "pairingCodeChanged",
        "pairingAccepted", "handshakeCompleted", "manifestNegotiated", "finished"};
    EXPECT_EQ(h.events.names(), names);
    const std::vector<ReceiveEvent::PairingRejected> rejections = {{2, false}, {1, false}, {3, true}};
    EXPECT_EQ(h.events.all<ReceiveEvent::PairingRejected>(), rejections);
    EXPECT_EQ(h.events.last<ReceiveEvent::PairingCodeChanged>()->code, rightCode);
    EXPECT_EQ(h.session->pairingCode().value(), rightCode);
    EXPECT_EQ(h.events.last<ReceiveEvent::ManifestNegotiated>()->totalAssetCount, 1000);
}

TEST(ReceiveSessionHandshakeTest, TenWrongCodesAcrossReconnectsEndTheRoad)
{
    // One verifier for the road; every session on it counts the same wrong codes.
    auto verifier = std::make_shared<PairingVerifier>(*PairingCode::parse("123"), 3);
    SessionHarness::Options options;
    options.requiresPairing = true;
    options.verifier = verifier;

    auto guess = [](int count) {
        return [count](FakePhone& phone) -> asio::awaitable<void> {
            co_await phone.greet();
            for (int i = 0; i < count; ++i) {
                PairingRequest request;
                request.code = "abc";
                co_await phone.send(std::move(request));
                std::optional<Message> answer = co_await phone.receive();
                if (!answer || !std::holds_alternative<PairingResult>(*answer))
                    break;
            }
            co_await phone.close(); // the phone gives up, if the session has not ended first
            co_await phone.readUntilClosed();
        };
    };

    SessionHarness first(options);
    EXPECT_EQ(first.run(guess(6)), "");
    EXPECT_EQ(first.events.names().back(), "failed"); // the phone hung up
    EXPECT_EQ(verifier->totalFailedAttempts(), 6);

    SessionHarness second(options);
    EXPECT_EQ(second.run(guess(10)), "");
    // Wrong codes 7, 8 and 9 are answered; the tenth ends the session.
    EXPECT_EQ(std::count_if(second.phone->received.begin(), second.phone->received.end(),
                  [](const Message& m) { return std::holds_alternative<PairingResult>(m); }),
        3);
    ASSERT_TRUE(std::holds_alternative<SessionEnd>(second.phone->received.back()));
    EXPECT_EQ(std::get<SessionEnd>(second.phone->received.back()),
        sessionEnd(SessionEnd::Reason::pairingFailed, "配对码校验未通过"));
    EXPECT_EQ(second.events.last<ReceiveEvent::Failed>()->message, "配对码校验未通过");
    EXPECT_EQ(second.events.names().back(), "failed");

    // The road takes no more guesses, not even the right one.
    SessionHarness third(options);
    auto rightCode = [&](FakePhone& phone) -> asio::awaitable<void> {
        co_await phone.greet();
        PairingRequest request;
        request.code = verifier->code().value();
        co_await phone.send(std::move(request));
        co_await phone.readUntilClosed();
    };
    EXPECT_EQ(third.run(rightCode), "");
    EXPECT_EQ(third.events.names(), std::vector<std::string>{"failed"});
    EXPECT_TRUE(third.sink->calls.empty());
}

TEST(ReceiveSessionHandshakeTest, ShutdownCutsTheWrongCodeDelayShort)
{
    SessionHarness::Options options;
    options.requiresPairing = true;
    options.wrongCodeDelay = std::chrono::hours(1);
    SessionHarness h(options);
    auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
        co_await phone.greet();
        PairingRequest request;
        request.code = "000";
        co_await phone.send(std::move(request));
        co_await yieldTimes(10); // the session takes the request and starts waiting
        co_await h.session->shutdown();
        co_await phone.readUntilClosed();
    };
    EXPECT_EQ(h.run(script), "");
    EXPECT_EQ(typeNames(h.phone->received), std::vector<std::string>{"helloAck"});
    EXPECT_EQ(h.events.names(), std::vector<std::string>{"finished"});
    EXPECT_EQ(h.events.last<ReceiveEvent::Finished>()->reason, SessionEnd::Reason::cancelledByUser);
}

TEST(ReceiveSessionHandshakeTest, SilentClientIsClosedByTheGreetingTimeout)
{
    SessionHarness::Options options;
    options.configuration.handshakeTimeout = 0.05;
    SessionHarness h(options);
    auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
        co_await phone.ping(); // pings do not hold the connection open
        co_await phone.readUntilClosed();
    };
    EXPECT_EQ(h.run(script), "");
    EXPECT_EQ(h.phone->pongCount, 1);
    EXPECT_EQ(h.events.names(), std::vector<std::string>{"failed"});
    EXPECT_EQ(h.events.last<ReceiveEvent::Failed>()->message, "连接已断开");
}

TEST(ReceiveSessionHandshakeTest, SkipListComesInBatchesOfTheSessionsOnlyAssets)
{
    SessionHarness h;
    std::vector<AssetDescriptor> assets;
    for (int i = 0; i < 12'005; ++i)
        assets.push_back(FakePhone::photo("A" + std::to_string(100000 + i), "IMG.JPG", 1));
    for (int i = 0; i < 12'000; ++i)
        h.sink->existing.insert("A" + std::to_string(100000 + i));
    h.sink->existing.insert("NOT-IN-THE-MANIFEST"); // the session must not count it
    std::vector<SkipListBatch> batches;
    auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
        co_await phone.greet();
        // Batches of 1000 entries are frames above 64 KiB: without pairing the full limit
        // applies right after the greeting.
        batches = co_await phone.offer(fixedSessionID, assets, 1000);
        co_await phone.end();
        co_await phone.readUntilClosed();
    };
    EXPECT_EQ(h.run(script), "");

    ASSERT_EQ(batches.size(), 3u);
    std::set<std::string> skipped;
    for (std::size_t k = 0; k < batches.size(); ++k) {
        EXPECT_EQ(batches[k].batchIndex, static_cast<std::int64_t>(k));
        EXPECT_EQ(batches[k].sessionID, fixedSessionID);
        skipped.insert(batches[k].assetIDs.begin(), batches[k].assetIDs.end());
    }
    EXPECT_EQ(batches[0].assetIDs.size(), 5000u);
    EXPECT_EQ(batches[1].assetIDs.size(), 5000u);
    EXPECT_EQ(batches[2].assetIDs.size(), 2000u);
    EXPECT_EQ(skipped.size(), 12'000u);
    EXPECT_FALSE(skipped.count("NOT-IN-THE-MANIFEST"));
    EXPECT_EQ(h.phone->lastSkipListEnd->batchCount, 3);

    // The session identifier travels upper-case.
    const std::string upper = "\"A1B2C3D4-E5F6-4A7B-8C9D-0E1F2A3B4C5D\"";
    int skipFrames = 0;
    for (const FrameDecoder::Frame& frame : h.phone->receivedFrames) {
        if (frame.type != rawValue(MessageType::skipListBatch) && frame.type != rawValue(MessageType::skipListEnd))
            continue;
        ++skipFrames;
        const std::string json(frame.payload.begin(), frame.payload.end());
        EXPECT_NE(json.find(upper), std::string::npos);
    }
    EXPECT_EQ(skipFrames, 4);

    EXPECT_EQ(h.events.last<ReceiveEvent::ManifestNegotiated>(), (ReceiveEvent::ManifestNegotiated{12'005, 12'000, 5}));
    EXPECT_EQ(h.events.last<ReceiveEvent::Finished>()->summary.skippedAssetCount, 12'000);
}

TEST(ReceiveSessionHandshakeTest, HostileAssetCountsAreOnlyAHint)
{
    for (std::int64_t assetCount : {std::int64_t{-1}, std::int64_t{1} << 62, INT64_MAX}) {
        SCOPED_TRACE(assetCount);
        SessionHarness h;
        std::vector<AssetDescriptor> assets = {FakePhone::photo("P", "IMG.JPG", 5)};
        // Byte counts near the limit saturate instead of wrapping.
        assets.push_back(FakePhone::video("BIG1", "A.MOV", INT64_MAX - 1));
        assets.push_back(FakePhone::video("BIG2", "B.MOV", INT64_MAX - 1));
        auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
            co_await phone.greet();
            co_await phone.offer(fixedSessionID, assets, 500, assetCount);
            co_await phone.end();
            co_await phone.readUntilClosed();
        };
        EXPECT_EQ(h.run(script), "");
        EXPECT_EQ(h.events.last<ReceiveEvent::ManifestNegotiated>(),
            (ReceiveEvent::ManifestNegotiated{3, 0, INT64_MAX}));
        EXPECT_EQ(h.events.names().back(), "finished");
    }
}

// A manifest that never ends must not grow without bound: past the asset count or the bytes held,
// the session ends as on malformed input. A replaced entry is not a second asset.
TEST(ReceiveSessionHandshakeTest, ManifestIsBounded)
{
    const std::string longName(1000, 'N');
    struct Case {
        std::string name;
        ReceiveSessionLimits limits;
        std::vector<std::vector<AssetDescriptor>> batches;
        std::vector<std::string> events;
        std::vector<std::string> phoneReceives;
    };
    const std::vector<std::string> kept = {"handshakeCompleted", "manifestNegotiated", "finished"};
    const std::vector<std::string> ended = {"handshakeCompleted", "failed"};
    const std::vector<Case> cases = {
        {"assets up to the limit", {3, 1 << 20},
            {{FakePhone::photo("A", "A.JPG", 1), FakePhone::photo("B", "B.JPG", 1)}, {FakePhone::photo("C", "C.JPG", 1)}}, kept, {"helloAck", "skipListEnd"}},
        {"one asset beyond it", {3, 1 << 20},
            {{FakePhone::photo("A", "A.JPG", 1), FakePhone::photo("B", "B.JPG", 1)},
                {FakePhone::photo("C", "C.JPG", 1), FakePhone::photo("D", "D.JPG", 1)}}, ended, {"helloAck", "sessionEnd"}},
        {"a replaced entry at the limit", {3, 1 << 20},
            {{FakePhone::photo("A", "A.JPG", 1), FakePhone::photo("B", "B.JPG", 1), FakePhone::photo("C", "C.JPG", 1)},
                {FakePhone::photo("B", "B2.JPG", 1)}}, kept, {"helloAck", "skipListEnd"}},
        {"descriptors beyond the bytes held", {1000, 8000},
            {{FakePhone::photo("A", longName, 1), FakePhone::photo("B", longName, 1)},
                {FakePhone::photo("C", longName, 1), FakePhone::photo("D", longName, 1), FakePhone::photo("E", longName, 1),
                    FakePhone::photo("F", longName, 1), FakePhone::photo("G", longName, 1), FakePhone::photo("H", longName, 1),
                    FakePhone::photo("I", longName, 1), FakePhone::photo("J", longName, 1)}}, ended, {"helloAck", "sessionEnd"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SessionHarness::Options options;
        options.limits = c.limits;
        SessionHarness h(options);
        auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
            co_await phone.greet();
            SessionBegin begin;
            begin.sessionID = fixedSessionID;
            co_await phone.send(std::move(begin));
            for (const auto& entries : c.batches) {
                ManifestBatch batch;
                batch.sessionID = fixedSessionID;
                batch.entries = entries;
                co_await phone.send(std::move(batch));
            }
            ManifestEnd manifestEnd;
            manifestEnd.sessionID = fixedSessionID;
            co_await phone.send(std::move(manifestEnd));
            const std::optional<Message> reply = co_await phone.receive();
            if (reply && std::holds_alternative<SkipListEnd>(*reply))
                co_await phone.end();
            co_await phone.readUntilClosed();
        };
        EXPECT_EQ(h.run(script), "");
        EXPECT_EQ(h.events.names(), c.events);
        EXPECT_EQ(typeNames(h.phone->received), c.phoneReceives);
        const auto failed = h.events.last<ReceiveEvent::Failed>();
        EXPECT_EQ(failed ? failed->message : "", c.events == ended ? "出现问题，请重试" : "");
    }
}

TEST(ReceiveSessionHandshakeTest, SenderEndsDuringTheManifest)
{
    SessionHarness h;
    auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
        co_await phone.greet();
        co_await beginWithPhotoP(phone);
        std::optional<std::string> message = "手机存储出错";
        co_await phone.end(SessionEnd::Reason::error, message);
        co_await phone.readUntilClosed();
    };
    EXPECT_EQ(h.run(script), "");
    // Reported as the sender's end, not as a failure; nothing is sent back; the sink hears "error".
    EXPECT_EQ(h.events.names(), (std::vector<std::string>{"handshakeCompleted", "finished"}));
    EXPECT_EQ(h.events.last<ReceiveEvent::Finished>()->reason, SessionEnd::Reason::error);
    EXPECT_EQ(h.events.last<ReceiveEvent::Finished>()->remoteMessage, "手机存储出错");
    EXPECT_EQ(typeNames(h.phone->received), std::vector<std::string>{"helloAck"});
    EXPECT_EQ(h.sink->calls, (std::vector<std::string>{"prepareSession", "existingAssetIDs(1)", "finishSession(error)"}));
}

TEST(ReceiveSessionHandshakeTest, SinkFailuresBeforeTheFiles)
{
    struct Case {
        std::string name;
        std::string failingCall;
        std::vector<std::string> calls;
        std::vector<std::string> events;
        std::vector<std::string> phoneReceives;
    };
    const std::vector<Case> cases = {
        // The sink cannot take this session: it still hears the end, with "error".
        {"prepareSession throws", "prepareSession", {"prepareSession", "finishSession(error)"},
            {"handshakeCompleted", "failed"}, {"helloAck", "sessionEnd"}},
        // Existing assets are only a saving: a failing answer counts as "none stored".
        {"existingAssetIDs throws", "existingAssetIDs",
            {"prepareSession", "existingAssetIDs(1)", "finishSession(completed)"},
            {"handshakeCompleted", "manifestNegotiated", "finished"}, {"helloAck", "skipListEnd"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SessionHarness h;
        h.sink->existing = {"P"};
        h.sink->beforeCall = [&](std::string_view operation, const IncomingFile*) {
            if (operation == c.failingCall)
                throw AssetSinkError::destinationUnavailable("备份文件夹不可用");
        };
        auto script = [&](FakePhone& phone) -> asio::awaitable<void> {
            co_await phone.greet();
            co_await beginWithPhotoP(phone);
            ManifestEnd manifestEnd;
            manifestEnd.sessionID = fixedSessionID;
            manifestEnd.batchCount = 1;
            co_await phone.send(std::move(manifestEnd));
            co_await phone.end();
            co_await phone.readUntilClosed();
        };
        EXPECT_EQ(h.run(script), "");
        EXPECT_EQ(h.sink->calls, c.calls);
        EXPECT_EQ(h.events.names(), c.events);
        EXPECT_EQ(typeNames(h.phone->received), c.phoneReceives);
        if (c.events.back() == "failed") {
            EXPECT_EQ(h.events.last<ReceiveEvent::Failed>()->message, "备份文件夹不可用");
            EXPECT_EQ(std::get<SessionEnd>(h.phone->received.back()),
                sessionEnd(SessionEnd::Reason::error, "备份文件夹不可用"));
        } else {
            EXPECT_EQ(h.events.last<ReceiveEvent::ManifestNegotiated>(), (ReceiveEvent::ManifestNegotiated{1, 0, 5}));
        }
    }
}
