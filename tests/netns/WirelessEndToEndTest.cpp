#include "p2p/transport/PeerAdvertiser.h"
#include "p2p/transport/PeerBrowser.h"
#include "support/NamespaceSandbox.h"
#include "support/p2p/BackupOverStreams.h"
#include "support/p2p/TransportTesting.h"

#include <gtest/gtest.h>

using namespace p2p;
using namespace p2p::testing;

// The test phone browses with the browser, finds the desktop's advertiser through avahi-daemon,
// dials it and runs a paired backup through the receiving session.
TEST(WirelessEndToEnd, PhoneFindsTheDesktopAndBacksUp)
{
    TESS_SKIP_WITHOUT_SANDBOX();
    asio::io_context io;
    const DeviceInfo desktop {"Studio", "Linux", std::nullopt, "DESKTOP-1"};
    PeerAdvertiser advertiser(io.get_executor(), desktop, true);
    std::unique_ptr<ByteStream> desktopEnd;
    runUntilDone(io, advertiser.start([&](std::unique_ptr<NWConnectionByteStream> stream) { desktopEnd = std::move(stream); }));

    PeerBrowser browser(io.get_executor(), true);
    int updates = 0;
    runUntilDone(io, browser.start([&](const std::vector<DiscoveredPeer>&) { ++updates; }));
    auto found = [&] {
        return !browser.peers().empty() && browser.peers()[0].deviceIdentifier && browser.peers()[0].model;
    };
    ASSERT_TRUE(runUntil(io, found));
    ASSERT_EQ(browser.peers().size(), 1u); // IPv4 and IPv6 sightings fold into one
    const DiscoveredPeer peer = browser.peers()[0];
    EXPECT_EQ(peer.name, "Studio");
    EXPECT_EQ(peer.id, "DESKTOP-1");
    EXPECT_EQ(peer.model, "Linux");
    EXPECT_TRUE(peer.isCompatible());
    EXPECT_TRUE(peer.endpoints.front().isLocal);

    std::unique_ptr<NWConnectionByteStream> phoneEnd = runUntilDone(io, browser.connect(peer, 30));
    // The desktop's end is handed over once the phone has greeted.
    BackupOverStreams backup;
    EXPECT_EQ(backup.runOnceGreeted(io, desktopEnd, std::move(phoneEnd)), "");
    EXPECT_EQ(backup.sink->storedFiles, BackupOverStreams::files());
    EXPECT_EQ(backup.events.names().back(), "finished");

    browser.stop();
    EXPECT_TRUE(browser.peers().empty());
    EXPECT_GT(updates, 0);
}
