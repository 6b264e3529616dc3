#pragma once

#include "p2p/protocol/streams/FramedMessageChannel.h"
#include "p2p/protocol/streams/InMemoryByteStream.h"
#include "p2p/protocol/messages/PairingCode.h"
#include "p2p/protocol/messages/SessionConfiguration.h"
#include "p2p/receive/ReceiveSession.h"
#include "support/p2p/EventRecorder.h"
#include "support/p2p/FakePhone.h"
#include "support/p2p/RecordingSink.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace p2p::testing {

// A receiving session and a fake phone joined by an in-memory stream pair on one io_context,
// with a recording sink, an event recorder and a clock the test moves by hand.
class SessionHarness {
public:
    struct Options {
        bool requiresPairing = false;
        std::shared_ptr<PairingVerifier> verifier;          // default: code "123", 3 attempts
        SessionConfiguration configuration = SessionConfiguration::defaults();
        ReceiveSession::Clock::duration wrongCodeDelay{};  // no delay unless asked for
        std::shared_ptr<AssetSink> sink;                    // the session's sink instead of `sink`
        ReceiveSessionLimits limits;
    };

    using Script = std::function<asio::awaitable<void>(FakePhone&)>;

    SessionHarness();
    explicit SessionHarness(Options options);

    // Runs the session and the script until both end (30 s at most); the phone closes its
    // side when the script ends. Returns "" or what went wrong with the script.
    std::string run(Script script);

    // Starts a coroutine on the harness's context after the current handler (from a sink hook).
    void spawn(asio::awaitable<void> work);

    asio::io_context io;
    ReceiveSession::Clock::time_point now{};
    std::shared_ptr<RecordingSink> sink;
    EventRecorder events;
    std::shared_ptr<PairingVerifier> verifier;
    std::unique_ptr<FakePhone> phone;
    std::shared_ptr<ReceiveSession> session;
    bool sessionReturned = false;

private:
    asio::awaitable<void> drive(Script& script, std::string& error, bool& done);
};

} // namespace p2p::testing
