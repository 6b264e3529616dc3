// A whole backup through the receive model into a new library on disk: real fixture files from a
// fake phone, the file-system sink with its folder, marker and index, the library store; then the
// same phone again, which skips everything. Over a fake announcement, and over the cable through the
// real multiplexer client, a fake daemon and the phone's wired listener on loopback. Drives pulled,
// put back and swapped while the receive waits, with real mounts in a mount namespace of its own.

#include "app/platform/volumes/LinuxBookmarkService.h"
#include "app/platform/volumes/LinuxMountTable.h"
#include "app/platform/volumes/MountInfoVolumeMonitor.h"
#include "app/services/receive/PeerReceiveModel.h"
#include "app/services/receive/ReceiveServices.h"

#include "p2p/transport/WiredPeerListener.h"
#include "support/app/Eventually.h"
#include "support/app/FakeReceiveTransports.h"
#include "support/app/PhoneBackup.h"
#include "support/app/QtPrinters.h"
#include "support/app/ShellTestContext.h"
#include "support/p2p/FakeUsbmuxDaemon.h"
#include "support/NamespaceSandbox.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFileInfo>

#include <sys/mount.h>

#include <cstring>
#include <fstream>


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
        environment.store = shell.store.get();
        return environment;
    }

    // Adds the folder the receive made as a library named `name`, as the program does.
    PeerReceiveModel::LibraryCreated addsLibrary(const QString& name)
    {
        return [store = shell.store.get(), name](const QString& folder, const FolderDriveAnswer& drive) -> std::optional<QUuid> {
            const auto library = store->addLibrary(folder, name, drive);
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
        std::optional<PhotoLibrary> library;
        if (!c.isNew)
            library = store->addLibrary(folder, "旅行");
        const qsizetype libraries = store->libraries().size();
        receive(model, [&] {
            if (c.isNew)
                startNew(model, folder, "旅行");
            else
                startExisting(model, folder, library->id, library->displayPath);
            QDir(drive).removeRecursively();
        });
        ASSERT_EVENTUALLY(model.phase().is(Phase::Kind::finished) || model.phase().is(Phase::Kind::failed));
        EXPECT_EQ(model.phase().message, QString("找不到「旅行」的文件夹，移动硬盘可能没有连接。"));
        EXPECT_FALSE(QFileInfo::exists(drive));
        EXPECT_EQ(store->libraries().size(), libraries);
    }
}

namespace drives {

namespace fs = std::filesystem;

const QString gone = "找不到「旅行」的文件夹，移动硬盘可能没有连接。";

// A receive of the test phone through the receive model, its real sinks and a library store that
// reads the real mount table, inside the child's own mount namespace. A drive is a tmpfs whose
// source is a file that a by-uuid folder of the test's own links to, so the mount table gives it a
// file-system UUID as it gives one to a real drive; mounted again under its UUID it is the same
// drive, empty.
class Receives {
public:
    Receives(const fs::path& scratch, PeerReceiveModel::Kind kind)
        : scratch_(scratch)
        , kind_(kind)
        , mounts_(LinuxMountTable::Paths {"/proc/self/mountinfo", QFile::decodeName((scratch / "by-uuid").c_str()),
              "/sys/dev/block"})
        , bookmarks_(mounts_)
        , store_(LibraryStore::Services {&bookmarks_, &volumes_, nullptr, nullptr,
                     [](const std::function<void()>& probe) { probe(); }},
              QFile::decodeName((scratch / "store").c_str()))
    {
        fs::create_directories(scratch / "by-uuid");
        fs::create_directories(scratch / "devices");
        world_.pollInterval = std::chrono::milliseconds(5);
        world_.pollAttemptLimit = 1'000'000;
        transports_ = world_.transports();
        useFileSystemSinks(transports_, sinks_);
        world_.listScript = [this](int) {
            return phoneMayCome_ ? FakeReceiveWorld::ListStep {{{1, true}}} : FakeReceiveWorld::ListStep {};
        };
        PeerReceiveModel::Environment environment;
        environment.transports = transports_;
        environment.store = &store_;
        model_ = std::make_unique<PeerReceiveModel>(kind, environment);
    }

    ~Receives()
    {
        model_.reset();
        world_.flush();
        world_.runtime.stop();
        sinks_.drain();
    }

    static bool mount(const fs::path& at, const fs::path& devices, const std::string& uuid)
    {
        const fs::path device = devices / "devices" / uuid;
        std::ofstream(device).put('\n');
        std::error_code ignored;
        fs::create_symlink(device, devices / "by-uuid" / uuid, ignored);
        fs::create_directories(at);
        return ::mount(device.c_str(), at.c_str(), "tmpfs", 0, "size=16m") == 0;
    }
    bool mount(const fs::path& at, const std::string& uuid) const { return mount(at, scratch_, uuid); }
    static void unmount(const fs::path& at) { ::umount2(at.c_str(), MNT_DETACH); }

    LibraryStore& store() { return store_; }
    PeerReceiveModel& model() { return *model_; }
    PeerReceiveModel::LibraryCreated addsLibrary()
    {
        return [this](const QString& folder, const FolderDriveAnswer& drive) -> std::optional<QUuid> {
            const auto library = store_.addLibrary(folder, "旅行", drive);
            return library ? std::optional(library->id) : std::nullopt;
        };
    }

    // Starts a wait with `start`; unless it failed at once, runs `whileWaiting` and lets the phone in,
    // then waits for the receive's end.
    void attempt(const std::function<void()>& start, const std::function<void()>& whileWaiting = {})
    {
        std::promise<std::string> code;
        FakeReceiveWorld::Script script = phoneBackup(code.get_future().share());
        const bool wired = kind_ == PeerReceiveModel::Kind::wired;
        phoneMayCome_ = false;
        // The road of the last attempt is down before the next opens (its announcement included).
        QCoreApplication::processEvents();
        world_.flush();
        if (wired)
            asio::post(world_.runtime.executor(), [this, script] { world_.wiredPhone = script; });
        world_.flush();
        start();
        if (!model_->phase().is(Phase::Kind::waitingForPeer))
            return;
        code.set_value(model_->pairingCode().toStdString());
        if (!wired)
            ASSERT_EVENTUALLY(world_.announcing);
        if (whileWaiting)
            whileWaiting();
        if (wired)
            phoneMayCome_ = true;
        else
            world_.connectPhone(script);
        ASSERT_EVENTUALLY(model_->phase().is(Phase::Kind::finished) || model_->phase().is(Phase::Kind::failed));
    }

    void retry() { attempt([this] { model_->retryLastDestination(); }); }
    void startExisting(const PhotoLibrary& library)
    {
        // As the sheet does: the folder the store resolved, and the path the sidebar shows under the name.
        const std::optional<QString> folder = store_.resolvedURL(library);
        ASSERT_TRUE(folder.has_value());
        if (kind_ == PeerReceiveModel::Kind::wired)
            model_->startWiredReceive(*folder, library.id, library.displayPath);
        else
            model_->startAdvertising(*folder, library.id, library.displayPath);
    }
    void startNew(const fs::path& parent)
    {
        const QString path = QFile::decodeName(parent.c_str());
        if (kind_ == PeerReceiveModel::Kind::wired)
            model_->startWiredReceiveForNewLibrary(path, "旅行", addsLibrary());
        else
            model_->startAdvertisingForNewLibrary(path, "旅行", addsLibrary());
    }

private:
    fs::path scratch_;
    PeerReceiveModel::Kind kind_;
    LinuxMountTable mounts_;
    LinuxBookmarkService bookmarks_;
    MountInfoVolumeMonitor volumes_;
    LibraryStore store_;
    p2p::SinkThread sinks_; // drained after the transfer thread stopped
    FakeReceiveWorld world_;
    ReceiveTransports transports_;
    std::atomic<bool> phoneMayCome_ = false;
    std::unique_ptr<PeerReceiveModel> model_;
};

// Whatever the phone sent that is under `folder` (the system disk's empty mount point once the
// drive is gone, or another drive), and anything else made there.
void expectNothingUnder(const fs::path& folder)
{
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        for (const SentFile& sent : sentFiles)
            EXPECT_NE(entry.path().filename().string(), sent.name) << "landed: " << entry.path();
    }
    EXPECT_TRUE(fs::is_empty(folder)) << folder;
}

void expectPhoneFilesIn(const fs::path& backupRoot)
{
    for (const char* stored : {"Photos/IMG_0001.HEIC", "Photos/IMG_0001.MOV", "Photos/IMG_0002.HEIC", "Videos/IMG_0003.MOV"})
        EXPECT_TRUE(fs::exists(backupRoot / stored)) << backupRoot / stored;
}

void expectFailed(PeerReceiveModel& model)
{
    EXPECT_TRUE(model.phase().is(Phase::Kind::failed));
    EXPECT_EQ(model.phase().message, gone);
}

const std::string phoneFolder = "Kalvenstroud_测试手机";

} // namespace drives

// arguments: a scratch folder and the road. 0 when every case held (failures are printed).
TESS_CHILD_BODY(receivesWhileDrivesChange)
{
    using namespace drives;
    int argc = 1;
    char name[] = "drives";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    const fs::path scratch = arguments.at(0);
    const auto kind = arguments.at(1) == "wired" ? PeerReceiveModel::Kind::wired : PeerReceiveModel::Kind::wireless;
    const auto expectNoLibrary = [](LibraryStore& store) { EXPECT_TRUE(store.libraries().isEmpty()); };

    [&] {
        SCOPED_TRACE("an existing library at a mount point, unmounted while waiting, then mounted again");
        Receives r(scratch / "a", kind);
        const fs::path drive = scratch / "a/media/旅行";
        ASSERT_TRUE(r.mount(drive, "AAAA-0001"));
        const PhotoLibrary library = *r.store().addLibrary(QFile::decodeName(drive.c_str()), "旅行");
        r.attempt([&] { r.startExisting(library); }, [&] { Receives::unmount(drive); });
        expectFailed(r.model());
        expectNothingUnder(drive);
        r.retry();
        expectFailed(r.model());
        expectNothingUnder(drive);
        ASSERT_TRUE(r.mount(drive, "AAAA-0001"));
        ASSERT_EVENTUALLY(r.store().isAvailable(library));
        r.retry();
        EXPECT_TRUE(r.model().phase().is(Phase::Kind::finished)) << r.model().phase().message.toStdString();
        expectPhoneFilesIn(drive / phoneFolder);
        Receives::unmount(drive);
    }();
    [&] {
        SCOPED_TRACE("a new library whose parent is a mount point, unmounted while waiting, then mounted again");
        Receives r(scratch / "b1", kind);
        const fs::path drive = scratch / "b1/media/DRIVE";
        ASSERT_TRUE(r.mount(drive, "BBBB-0001"));
        r.attempt([&] { r.startNew(drive); }, [&] { Receives::unmount(drive); });
        expectFailed(r.model());
        expectNothingUnder(drive);
        expectNoLibrary(r.store());
        r.retry();
        expectFailed(r.model());
        expectNothingUnder(drive);
        expectNoLibrary(r.store());
        ASSERT_TRUE(r.mount(drive, "BBBB-0001"));
        r.retry();
        EXPECT_TRUE(r.model().phase().is(Phase::Kind::finished)) << r.model().phase().message.toStdString();
        expectPhoneFilesIn(drive / "旅行" / phoneFolder);
        EXPECT_EQ(r.store().libraries().size(), 1);
        Receives::unmount(drive);
    }();
    [&] {
        SCOPED_TRACE("a new library that is a drive's mount folder, unmounted while waiting, then mounted again");
        Receives r(scratch / "b2", kind);
        const fs::path drive = scratch / "b2/media/旅行";
        ASSERT_TRUE(r.mount(drive, "BBBB-0002"));
        r.attempt([&] { r.startNew(drive.parent_path()); }, [&] { Receives::unmount(drive); });
        expectFailed(r.model());
        expectNothingUnder(drive);
        expectNoLibrary(r.store());
        r.retry();
        expectFailed(r.model());
        expectNothingUnder(drive);
        expectNoLibrary(r.store());
        // With the drive in place it receives as any new library does.
        ASSERT_TRUE(r.mount(drive, "BBBB-0002"));
        r.retry();
        EXPECT_TRUE(r.model().phase().is(Phase::Kind::finished)) << r.model().phase().message.toStdString();
        expectPhoneFilesIn(drive / phoneFolder);
        EXPECT_EQ(r.store().libraries().size(), 1);
        Receives::unmount(drive);
    }();
    [&] {
        SCOPED_TRACE("drive A unmounted and drive B mounted at the library's folder while waiting");
        Receives r(scratch / "c", kind);
        const fs::path drive = scratch / "c/media/旅行";
        ASSERT_TRUE(r.mount(drive, "CCCC-000A"));
        const PhotoLibrary library = *r.store().addLibrary(QFile::decodeName(drive.c_str()), "旅行");
        r.attempt([&] { r.startExisting(library); }, [&] {
            Receives::unmount(drive);
            ASSERT_TRUE(r.mount(drive, "CCCC-000B"));
        });
        expectFailed(r.model());
        expectNothingUnder(drive);
        r.retry();
        expectFailed(r.model());
        expectNothingUnder(drive);
        Receives::unmount(drive);
    }();
    [&] {
        SCOPED_TRACE("a first start right after an unmount, before the store looked again");
        Receives r(scratch / "d", kind);
        const fs::path drive = scratch / "d/media/旅行";
        ASSERT_TRUE(r.mount(drive, "DDDD-0001"));
        const PhotoLibrary library = *r.store().addLibrary(QFile::decodeName(drive.c_str()), "旅行");
        const std::optional<QString> folder = r.store().resolvedURL(library);
        ASSERT_TRUE(folder.has_value());
        Receives::unmount(drive);
        ASSERT_TRUE(r.store().isAvailable(library));
        r.attempt([&] {
            if (kind == PeerReceiveModel::Kind::wired)
                r.model().startWiredReceive(*folder, library.id, library.displayPath);
            else
                r.model().startAdvertising(*folder, library.id, library.displayPath);
        });
        expectFailed(r.model());
        expectNothingUnder(drive);
    }();
    for (const std::string how : {"link", "dots"}) {
        [&] {
            SCOPED_TRACE("a new library chosen through a parent reached by a symbolic link or by \"..\": " + how);
            Receives r(scratch / how, kind);
            const fs::path drive = scratch / how / "media/DRIVE";
            ASSERT_TRUE(r.mount(drive, "EEEE-" + how));
            fs::path parent = drive / "sub/..";
            fs::create_directories(drive / "sub");
            if (how == "link")
                fs::create_symlink(drive, parent = scratch / how / "link");
            r.attempt([&] { r.startNew(parent); });
            EXPECT_TRUE(r.model().phase().is(Phase::Kind::finished)) << r.model().phase().message.toStdString();
            expectPhoneFilesIn(drive / "旅行" / phoneFolder);
            EXPECT_EQ(r.store().libraries().size(), 1);
            Receives::unmount(drive);
        }();
    }
    return ::testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed() ? 1 : 0;
}

// A library's drive pulled, put back or swapped for another while the receive waits, a first start
// the moment after a pull, and a new library's parent reached through a symbolic link or "..": the
// phone's files land on the library's own drive or nowhere, never on the system disk under the
// empty mount point nor on the other drive, and 重试 runs the same checks as the first start.
TEST_P(ReceiveEndToEndTest, ABackupLandsOnlyOnItsLibrarysOwnDrive)
{
    TESS_SKIP_WITHOUT_UNSHARE();
    QTemporaryDir scratch;
    tess::testing::ChildProcess child("receivesWhileDrivesChange",
        {.mountNamespace = true, .arguments = {QFile::encodeName(scratch.path()).toStdString(), wired() ? "wired" : "wireless"}});
    EXPECT_EQ(child.wait(), (tess::testing::ExitStatus{true, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(Roads, ReceiveEndToEndTest,
    ::testing::Values(PeerReceiveModel::Kind::wireless, PeerReceiveModel::Kind::wired),
    [](const auto& info) { return info.param == PeerReceiveModel::Kind::wired ? "wired" : "wireless"; });

} // namespace
