#include "p2p/transport/UsbmuxClient.h"
#include "p2p/transport/WiredPeerListener.h"
#include "support/p2p/BackupOverStreams.h"
#include "support/p2p/FakeUsbmuxDaemon.h"
#include "support/p2p/TransportTesting.h"

#include <gtest/gtest.h>

using namespace p2p;
using namespace p2p::testing;

// The desktop reaches the phone through the multiplexer: the fake daemon lists one device and
// bridges Connect to the phone's wired listener; the backup then runs over the tunnel.
TEST(WiredEndToEnd, BackupThroughTheMultiplexerTunnel)
{
    asio::io_context io;
    WiredPeerListener phoneListener(io.get_executor(), 0);
    std::unique_ptr<ByteStream> phoneEnd;
    runUntilDone(io, phoneListener.start([&](std::unique_ptr<ByteStream> stream) { phoneEnd = std::move(stream); }));

    FakeUsbmuxDaemon daemon;
    daemon.script({
        {FakeUsbmuxDaemon::plistPacket(FakeUsbmuxDaemon::plistXML(
             "<key>DeviceList</key><array><dict><key>DeviceID</key><integer>3</integer><key>Properties</key><dict>"
             "<key>SerialNumber</key><string>PHONE-1</string><key>ConnectionType</key><string>USB</string></dict></dict></array>"))},
        {FakeUsbmuxDaemon::plistPacket(FakeUsbmuxDaemon::plistXML("<key>Number</key><integer>0</integer>")),
            FakeUsbmuxDaemon::After::bridge, *phoneListener.port()},
    });
    UsbmuxClient client(io.get_executor(), daemon.socketPath());
    const std::vector<UsbmuxDevice> devices = runUntilDone(io, client.listDevices());
    ASSERT_EQ(devices.size(), 1u);
    ASSERT_TRUE(devices[0].isUSB());
    std::unique_ptr<POSIXSocketByteStream> tunnel = runUntilDone(io, client.connect(devices[0].deviceID, 47077));
    ASSERT_TRUE(runUntil(io, [&] { return phoneEnd != nullptr; }));

    BackupOverStreams backup;
    EXPECT_EQ(backup.run(io, std::move(tunnel), std::move(phoneEnd)), "");
    EXPECT_EQ(backup.sink->storedFiles, BackupOverStreams::files());
    EXPECT_EQ(backup.events.names().back(), "finished");
}
