// A whole backup through the receive model into a new library on disk: real fixture files from a
// fake phone, the file-system sink with its folder, marker and index, the library store; then the
// same phone again, which skips everything. Over a fake announcement, and over the cable through the
// real multiplexer client, a fake daemon and the phone's wired listener on loopback.

#include "app/services/receive/PeerReceiveModel.h"
#include "app/services/receive/ReceiveServices.h"

#include "p2p/transport/WiredPeerListener.h"
#include "support/app/Eventually.h"
#include "support/app/FakeReceiveTransports.h"
#include "support/app/PhoneBackup.h"
#include "support/app/QtPrinters.h"
#include "support/app/ShellTestContext.h"
#include "support/p2p/FakeUsbmuxDaemon.h"

#include <gtest/gtest.h>

#include <QFileInfo>


using namespace app;
using namespace app::testing;
using Phase = PeerReceiveModel::Phase;

namespace {

class ReceiveEndToEndTest : public ::testing::TestWithParam<PeerReceiveModel::Kind> {
protected:
    ReceiveEndToEndTest()
    {
        transports = world.transports();
        useFileSystemSinks(transports, sinks);
        if (wired())
            startPhoneListener();
    }

    ~ReceiveEndToEndTest() override
    {
        // The listener belongs to the transfer thread; it goes there.
        asio::post(world.runtime.executor(), [listener = std::move(phoneListener)]() mutable { listener.reset(); });
        world.flush();
        // As the program ends: the transfer thread stops, then the sinks' queued work drains while
        // the transfer context it resumes on still exists (the world goes before the sinks).
        world.runtime.stop();
        sinks.drain();
    }

    // The phone listens on loopback; the daemon lists it and bridges each Connect to it, twice.
    void startPhoneListener()
    {
        useUsbmux(transports, daemon.socketPath());
        std::promise<std::uint16_t> port;
        asio::post(world.runtime.executor(), [&] {
            phoneListener = std::make_shared<p2p::WiredPeerListener>(world.runtime.executor(), 0);
            asio::co_spawn(world.runtime.executor(),
                phoneListener->start([this](std::unique_ptr<p2p::ByteStream> stream) {
                    world.playPhone(std::move(stream), world.wiredPhone);
                }),
                [&](std::exception_ptr) { port.set_value(phoneListener->port().value_or(0)); });
        });
        const std::uint16_t phonePort = port.get_future().get();
        ASSERT_NE(phonePort, 0);
        using Daemon = p2p::testing::FakeUsbmuxDaemon;
        const Daemon::Reply list{Daemon::plistPacket(Daemon::plistXML(
            "<key>DeviceList</key><array><dict><key>DeviceID</key><integer>3</integer><key>Properties</key><dict>"
            "<key>SerialNumber</key><string>PHONE-1</string><key>ConnectionType</key><string>USB</string></dict>"
            "</dict></array>"))};
        const Daemon::Reply connected{
            Daemon::plistPacket(Daemon::plistXML("<key>Number</key><integer>0</integer>")), Daemon::After::bridge, phonePort};
        daemon.script({list, connected, list, connected});
    }

    bool wired() const { return GetParam() == PeerReceiveModel::Kind::wired; }

    PeerReceiveModel::Environment environment()
    {
        PeerReceiveModel::Environment environment;
        environment.transports = transports;
        environment.device.settings = shell.settings.get();
        return environment;
    }

    // Adds the folder the receive made as a library named `name`, as the program does.
    PeerReceiveModel::LibraryCreated addsLibrary(const QString& name)
    {
        return [store = shell.store.get(), name](const QString& folder) -> std::optional<QUuid> {
            const auto library = store->addLibrary(folder, name);
            return library ? std::optional(library->id) : std::nullopt;
        };
    }

    // Starts this road into a new library under `parent`, or into the existing one at `folder`.
    void startNew(PeerReceiveModel& model, const QString& parent, const QString& name)
    {
        if (wired())
            model.startWiredReceiveForNewLibrary(parent, name, addsLibrary(name));
        else
            model.startAdvertisingForNewLibrary(parent, name, addsLibrary(name));
    }
    void startExisting(PeerReceiveModel& model, const QString& folder, const QUuid& id, const QString& name)
    {
        if (wired())
            model.startWiredReceive(folder, id, name);
        else
            model.startAdvertising(folder, id, name);
    }

    // Starts the road and lets the phone (announcement or cable) play the backup with the code shown.
    void receive(PeerReceiveModel& model, const std::function<void()>& start)
    {
        std::promise<std::string> code;
        FakeReceiveWorld::Script script = phoneBackup(code.get_future().share());
        if (wired()) {
            world.wiredPhone = script;
            // The phone's last backup is over: its listener takes the next connection.
            asio::post(world.runtime.executor(), [this] { phoneListener->sessionDidEnd(); });
        }
        start();
        code.set_value(model.pairingCode().toStdString());
        if (!wired()) {
            ASSERT_EVENTUALLY(world.announcing);
            world.connectPhone(script);
        }
    }

    ShellTestContext shell;
    p2p::testing::FakeUsbmuxDaemon daemon;
    p2p::SinkThread sinks; // drained after the transfer thread stopped
    FakeReceiveWorld world;
    ReceiveTransports transports;
    std::shared_ptr<p2p::WiredPeerListener> phoneListener;
};

TEST_P(ReceiveEndToEndTest, ABackupLandsInANewLibraryAndTheSecondSkipsIt)
{
    const QString parent = shell.folder("Drive");
    PeerReceiveModel model(GetParam(), environment());
    LibraryStore* store = shell.store.get();

    receive(model, [&] { startNew(model, parent, "Trip"); });
    ASSERT_EVENTUALLY(model.phase().is(Phase::Kind::finished) || model.phase().is(Phase::Kind::failed));
    ASSERT_EQ(model.phase().message, "");

    const QString libraryFolder = parent + "/Trip";
    expectBackupLanded(model, *store, libraryFolder);

    // The same phone again, into the library that now exists: nothing is sent twice.
    const QUuid libraryID = store->libraries().first().id;
    receive(model, [&] { startExisting(model, libraryFolder, libraryID, "Trip"); });
    ASSERT_EVENTUALLY(model.phase().is(Phase::Kind::finished) || model.phase().is(Phase::Kind::failed));
    EXPECT_EQ(model.phase().summary, (PeerReceiveModel::FinishSummary{0, 3, 0, false}));
    EXPECT_EQ(store->libraries().size(), 1);
    ASSERT_EVENTUALLY_EQ(world.phonesDone.load(), 2);
    std::lock_guard guard(world.lock);
    EXPECT_EQ(world.phoneErrors, std::vector<std::string>{});
}

// The drive was pulled after the library was chosen: the receive fails with the library's text,
// and nothing is made where the drive's folders were (on the system disk under a mount point).
TEST_P(ReceiveEndToEndTest, AReceiveWhoseDriveWentAwayFailsAndWritesNothing)
{
    struct Case {
        const char* name;
        bool isNew;
    };
    PeerReceiveModel model(GetParam(), environment());
    LibraryStore* store = shell.store.get();
    for (const Case c : {Case{"an existing library", false}, Case{"a new library", true}}) {
        SCOPED_TRACE(c.name);
        const QString drive = shell.folder(QString("Drive-") + (c.isNew ? "new" : "existing"));
        const QString folder = drive + (c.isNew ? "/备份" : "/照片2024");
        ASSERT_TRUE(QDir().mkpath(folder));
        receive(model, [&] {
            if (c.isNew)
                startNew(model, folder, "旅行");
            else
                startExisting(model, folder, QUuid::createUuid(), "旅行");
            QDir(drive).removeRecursively();
        });
        ASSERT_EVENTUALLY(model.phase().is(Phase::Kind::finished) || model.phase().is(Phase::Kind::failed));
        EXPECT_EQ(model.phase().message, QString("找不到「旅行」的文件夹，移动硬盘可能没有连接。"));
        EXPECT_FALSE(QFileInfo::exists(drive));
        EXPECT_TRUE(store->libraries().isEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(Roads, ReceiveEndToEndTest,
    ::testing::Values(PeerReceiveModel::Kind::wireless, PeerReceiveModel::Kind::wired),
    [](const auto& info) { return info.param == PeerReceiveModel::Kind::wired ? "wired" : "wireless"; });

} // namespace
