#pragma once

#include "p2p/protocol/streams/ByteStream.h"
#include "p2p/protocol/messages/SessionConfiguration.h"
#include "support/p2p/EventRecorder.h"
#include "support/p2p/RecordingSink.h"

#include <map>
#include <memory>
#include <string>

namespace p2p::testing {

class FakePhone;

// One paired backup of two photos, the fake phone on one stream and a receiving session (code
// "123") into a recording sink on the other, on `io` while other work there stays pending. For the
// end-to-end tests of the transports.
struct BackupOverStreams {
    // The files the phone sends, by sink key ("A/0").
    static std::map<std::string, Bytes> files();

    // The phone's side: greet, pair with "123", offer and send files(), end. "" or what went wrong.
    static asio::awaitable<std::string> phoneScript(FakePhone& phone);

    // "" or what went wrong on the phone's side.
    std::string run(asio::io_context& io, std::unique_ptr<ByteStream> desktopEnd, std::unique_ptr<ByteStream> phoneEnd,
        const SessionConfiguration& configuration = SessionConfiguration::defaults());
    // The desktop's end arrives only once the phone has greeted (an advertiser hands it over then):
    // `desktopEnd` is filled while the phone plays.
    std::string runOnceGreeted(asio::io_context& io, std::unique_ptr<ByteStream>& desktopEnd, std::unique_ptr<ByteStream> phoneEnd,
        const SessionConfiguration& configuration = SessionConfiguration::defaults());

    std::shared_ptr<RecordingSink> sink;
    EventRecorder events;
};

} // namespace p2p::testing
