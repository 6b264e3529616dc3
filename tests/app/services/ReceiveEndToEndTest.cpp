// A whole backup through the receive model into a new library on disk: real fixture files from a
// fake phone, the file-system sink with its folder, marker and index, the library store; then the
// same phone again, which skips everything. Over a fake announcement, and over the cable through the
// real multiplexer client, a fake daemon and the phone's wired listener on loopback.

#include "app/services/PeerReceiveModel.h"
#include "app/services/ReceiveServices.h"

#include "p2p/backup/BackupFolderLayout.h"
#include "p2p/backup/BackupIndex.h"
#include "p2p/transport/WiredPeerListener.h"
#include "support/app/Eventually.h"
#include "support/app/FakeReceiveTransports.h"
#include "support/app/Fixtures.h"
#include "support/app/QtPrinters.h"
#include "support/app/ShellTestContext.h"
#include "support/p2p/FakeUsbmuxDaemon.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

using namespace app;
using namespace app::testing;
using p2p::testing::FakeFile;
using p2p::testing::FakePhone;
using Phase = PeerReceiveModel::Phase;

namespace {

struct SentFile {
    std::string assetID;
    std::int64_t index;
    std::string name;
    QString fixture;
};

const std::vector<SentFile> sentFiles = {
    {"L1", 0, "IMG_0001.HEIC", "media/live-photo-pair/IMG_0001.HEIC"},
    {"L1", 1, "IMG_0001.MOV", "media/live-photo-pair/IMG_0001.MOV"},
    {"H1", 0, "IMG_0002.HEIC", "media/heic-with-exif.heic"},
    {"V1", 0, "IMG_0003.MOV", "media/mov-quicktime-date-iso6709.mov"},
};

p2p::Bytes fixtureBytes(const QString& relative)
{
    QFile file(app::test::fixturePath(relative));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << relative.toStdString();
    const QByteArray data = file.readAll();
    return p2p::Bytes(data.begin(), data.end());
}

std::vector<p2p::AssetDescriptor> manifest()
{
    const auto size = [](std::size_t i) { return std::int64_t(fixtureBytes(sentFiles[i].fixture).size()); };
    return {FakePhone::livePhoto("L1", "IMG_0001.HEIC", size(0), "IMG_0001.MOV", size(1)),
        FakePhone::photo("H1", "IMG_0002.HEIC", size(2)), FakePhone::video("V1", "IMG_0003.MOV", size(3))};
}

// The phone pairs with the code it is given, offers the manifest and sends what is not skipped.
FakeReceiveWorld::Script phoneBackup(std::shared_future<std::string> code)
{
    return [code](FakePhone& phone) -> asio::awaitable<void> {
        co_await phone.greet();
        co_await phone.pair(code.get());
        const p2p::Uuid sessionID = p2p::Uuid::random();
        const std::vector<p2p::AssetDescriptor> assets = manifest();
        const std::vector<p2p::SkipListBatch> batches = co_await phone.offer(sessionID, assets);
        std::set<std::string> skipped;
        for (const p2p::SkipListBatch& batch : batches)
            skipped.insert(batch.assetIDs.begin(), batch.assetIDs.end());
        for (const SentFile& sent : sentFiles) {
            if (skipped.count(sent.assetID))
                continue;
            FakeFile file;
            file.assetID = sent.assetID;
            file.fileIndex = sent.index;
            file.filename = sent.name;
            file.bytes = fixtureBytes(sent.fixture);
            file.chunkByteCount = 4096;
            std::optional<p2p::FileAck> ack = co_await phone.sendFile(file);
            if (!ack || ack->result != p2p::FileAck::Result::stored)
                throw std::runtime_error("not stored: " + sent.name);
        }
        co_await phone.end();
        co_await phone.readUntilClosed();
    };
}

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
    PeerReceiveModel::Environment environment;
    environment.transports = transports;
    environment.device.settings = shell.settings.get();
    PeerReceiveModel model(GetParam(), environment);
    LibraryStore* store = shell.store.get();
    auto onCreated = [store](const QString& folder) -> std::optional<QUuid> {
        const auto library = store->addLibrary(folder, "Trip");
        return library ? std::optional(library->id) : std::nullopt;
    };

    receive(model, [&] {
        if (wired())
            model.startWiredReceiveForNewLibrary(parent, "Trip", onCreated);
        else
            model.startAdvertisingForNewLibrary(parent, "Trip", onCreated);
    });
    ASSERT_EVENTUALLY(model.phase().is(Phase::Kind::finished) || model.phase().is(Phase::Kind::failed));
    ASSERT_EQ(model.phase().message, "");

    std::int64_t totalBytes = 0;
    for (const SentFile& sent : sentFiles)
        totalBytes += std::int64_t(fixtureBytes(sent.fixture).size());
    EXPECT_EQ(model.phase().summary, (PeerReceiveModel::FinishSummary{4, 0, totalBytes, false}));

    // The new library is registered and shown as the destination.
    const QString libraryFolder = parent + "/Trip";
    ASSERT_EQ(store->libraries().size(), 1);
    EXPECT_EQ(store->libraries().first().name, "Trip");
    EXPECT_EQ(model.destinationLibraryID(), store->libraries().first().id);
    const QString backupRoot = libraryFolder + "/Kalvenstroud_测试手机";
    EXPECT_EQ(model.destinationDescription(), backupRoot);

    // Files, byte for byte; the live photo's movie beside its still.
    const QStringList stored = {"Photos/IMG_0001.HEIC", "Photos/IMG_0001.MOV", "Photos/IMG_0002.HEIC", "Videos/IMG_0003.MOV"};
    for (int i = 0; i < stored.size(); ++i) {
        QFile file(backupRoot + "/" + stored[i]);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << stored[i].toStdString();
        const QByteArray bytes = file.readAll();
        EXPECT_EQ(p2p::Bytes(bytes.begin(), bytes.end()), fixtureBytes(sentFiles[std::size_t(i)].fixture));
    }
    EXPECT_TRUE(QDir(backupRoot + "/Photos").entryList({"*.part"}, QDir::Files | QDir::Hidden).isEmpty());

    // The marker names the phone; the index has every asset.
    QFile marker(backupRoot + "/" + QString::fromUtf8(p2p::BackupFolderLayout::markerFileName.data()));
    ASSERT_TRUE(marker.open(QIODevice::ReadOnly));
    EXPECT_EQ(QJsonDocument::fromJson(marker.readAll()).object().value("deviceId").toString(), "PHONE-0001");
    {
        p2p::BackupIndex index(QFile::encodeName(backupRoot + "/.backupdb/backup_records.sqlite").toStdString());
        EXPECT_EQ(index.knownAssetIDs(), (std::unordered_set<std::string>{"L1", "H1", "V1"}));
    }

    // The same phone again, into the library that now exists: nothing is sent twice.
    const QUuid libraryID = store->libraries().first().id;
    receive(model, [&] {
        if (wired())
            model.startWiredReceive(libraryFolder, libraryID, "Trip");
        else
            model.startAdvertising(libraryFolder, libraryID, "Trip");
    });
    ASSERT_EVENTUALLY(model.phase().is(Phase::Kind::finished) || model.phase().is(Phase::Kind::failed));
    EXPECT_EQ(model.phase().summary, (PeerReceiveModel::FinishSummary{0, 3, 0, false}));
    EXPECT_EQ(store->libraries().size(), 1);
    ASSERT_EVENTUALLY_EQ(world.phonesDone.load(), 2);
    std::lock_guard guard(world.lock);
    EXPECT_EQ(world.phoneErrors, std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Roads, ReceiveEndToEndTest,
    ::testing::Values(PeerReceiveModel::Kind::wireless, PeerReceiveModel::Kind::wired),
    [](const auto& info) { return info.param == PeerReceiveModel::Kind::wired ? "wired" : "wireless"; });

} // namespace
