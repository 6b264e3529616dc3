#include "support/p2p/SessionHarness.h"

#include <chrono>

namespace p2p::testing {

SessionHarness::SessionHarness()
    : SessionHarness(Options{})
{
}

SessionHarness::SessionHarness(Options options)
{
    sink = std::make_shared<RecordingSink>(io.get_executor());
    verifier = options.verifier ? options.verifier
                                : std::make_shared<PairingVerifier>(*PairingCode::parse("123"), 3);
    auto [sessionEnd, phoneEnd] = InMemoryByteStream::makePair(io.get_executor());
    phone = std::make_unique<FakePhone>(std::move(phoneEnd));
    auto framed = std::make_unique<FramedMessageChannel>(std::move(sessionEnd), options.configuration);

    ReceiveSessionTiming timing;
    timing.now = [this] { return now; };
    timing.wrongCodeDelay = options.wrongCodeDelay;
    DeviceInfo desktop;
    desktop.name = "测试电脑";
    desktop.identifier = "DESKTOP-0001";
    std::shared_ptr<AssetSink> sessionSink = options.sink ? options.sink : sink;
    session = std::make_shared<ReceiveSession>(io.get_executor(), std::move(framed), sessionSink, desktop,
        options.configuration, verifier, options.requiresPairing, events.handler(), timing, options.limits);
}

asio::awaitable<void> SessionHarness::drive(Script& script, std::string& error, bool& done)
{
    try {
        co_await script(*phone);
    } catch (const std::exception& e) {
        error = e.what();
    }
    co_await phone->close();
    done = true;
}

std::string SessionHarness::run(Script script)
{
    std::string error;
    bool scriptDone = false;
    std::exception_ptr sessionFailure;
    asio::co_spawn(io, session->run(), [this, &sessionFailure](std::exception_ptr failure) {
        sessionFailure = failure;
        sessionReturned = true;
    });
    asio::co_spawn(io, drive(script, error, scriptDone), asio::detached);
    io.run_for(std::chrono::seconds(30));
    if (!sessionReturned)
        return "the session did not return";
    if (sessionFailure)
        return "the session threw"; // run() must end every session itself
    if (!scriptDone)
        return "the phone's script did not end";
    return error;
}

namespace {

// co_spawn starts a coroutine inline when called on the context's own thread; a hook of the
// sink wants it to run later, as a call from another task would.
asio::awaitable<void> startLater(asio::awaitable<void> work)
{
    auto executor = co_await asio::this_coro::executor;
    co_await asio::post(executor, asio::use_awaitable);
    co_await std::move(work);
}

} // namespace

void SessionHarness::spawn(asio::awaitable<void> work)
{
    asio::co_spawn(io, startLater(std::move(work)), asio::detached);
}

} // namespace p2p::testing
