// The receive model against fake transports on a real transfer thread: phases of both roads,
// pairing across reconnects, the phone's error end, cancel, retry, stale reports, teardown and a
// drive that hangs.

#include "app/services/receive/PeerReceiveModel.h"

#include "app/services/library/LibraryStore.h"

#include "support/app/Eventually.h"
#include "support/app/FakeLibraryServices.h"
#include "support/app/FakeReceiveTransports.h"
#include "support/app/QtPrinters.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

#include <thread>

using namespace app;
using namespace app::testing;
using p2p::testing::FakeFile;
using p2p::testing::FakePhone;
using Phase = PeerReceiveModel::Phase;
using p2p::PairingRequest;

namespace {

const p2p::Uuid sessionID = *p2p::Uuid::parse("0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F0");
const QUuid libraryID = QUuid::fromString(QStringLiteral("{3B5C1E54-2F1A-4A51-9C1B-6A0C6E6D8E10}"));

QString phaseText(const Phase& phase);

std::string label(const Phase& phase)
{
    return phaseText(phase).toStdString();
}

QString phaseText(const Phase& phase)
{
    switch (phase.kind) {
    case Phase::Kind::choosingDestination: return "choosing";
    case Phase::Kind::waitingForPeer: return "waiting";
    case Phase::Kind::negotiating: return "negotiating(" + phase.peerName + ")";
    case Phase::Kind::transferring: return "transferring(" + phase.peerName + ")";
    case Phase::Kind::failed: return "failed(" + phase.message + ")";
    case Phase::Kind::finished:
        return QString("finished(%1,%2,%3,%4)")
            .arg(phase.summary.storedFileCount)
            .arg(phase.summary.skippedAssetCount)
            .arg(phase.summary.storedByteCount)
            .arg(phase.summary.wasCancelled ? "stopped" : "done");
    }
    return {};
}

FakeFile fileOf(const std::string& assetID, std::int64_t index, const std::string& name, p2p::Bytes bytes)
{
    FakeFile file;
    file.assetID = assetID;
    file.fileIndex = index;
    file.filename = name;
    file.bytes = std::move(bytes);
    return file;
}

// Pairs with `code`, offers photo A (10 bytes) and video B (6 bytes), sends what is not skipped, ends.
FakeReceiveWorld::Script backup(std::string code, p2p::SessionEnd::Reason reason = p2p::SessionEnd::Reason::completed,
    std::optional<std::string> message = std::nullopt)
{
    return [code, reason, message](FakePhone& phone) -> asio::awaitable<void> {
        co_await phone.greet();
        co_await phone.pair(code);
        const std::vector<p2p::AssetDescriptor> assets
            = {FakePhone::photo("A", "A.JPG", 10), FakePhone::video("B", "B.MOV", 6)};
        std::vector<p2p::SkipListBatch> skipped = co_await phone.offer(sessionID, assets);
        const bool skipsA = !skipped.empty();
        if (!skipsA)
            co_await phone.sendFile(fileOf("A", 0, "A.JPG", FakePhone::patternBytes(10, 1)));
        co_await phone.sendFile(fileOf("B", 0, "B.MOV", FakePhone::patternBytes(6, 2)));
        co_await phone.end(reason, message);
        co_await phone.readUntilClosed();
    };
}

// Guesses wrong until the desktop answers with its session end.
FakeReceiveWorld::Script guessesWrong()
{
    return [](FakePhone& phone) -> asio::awaitable<void> {
        co_await phone.greet();
        for (int i = 0; i < 20; ++i) {
            PairingRequest request;
            request.code = "zzz";
            co_await phone.send(std::move(request));
            std::optional<p2p::Message> answer = co_await phone.receive();
            if (!answer || std::holds_alternative<p2p::SessionEnd>(*answer))
                co_return;
        }
        throw std::runtime_error("guessing never ended");
    };
}

asio::awaitable<void> greetOnce(std::shared_ptr<FakePhone> phone, std::atomic<int>& answered)
{
    answered = (co_await phone->greet()).has_value() ? 1 : 0;
}

class PeerReceiveModelTest : public ::testing::Test {
protected:
    void make(PeerReceiveModel::Kind kind, LibraryStore* store = nullptr)
    {
        PeerReceiveModel::Environment environment;
        environment.store = store;
        environment.transports = world.transports();
        environment.device.settings = &settings;
        environment.device.machineInfoFile = dir.filePath("machine-info");
        environment.device.productNameFile = dir.filePath("none");
        environment.device.deviceTreeModelFile = dir.filePath("none");
        model = std::make_unique<PeerReceiveModel>(kind, environment);
        QObject::connect(model.get(), &PeerReceiveModel::phaseChanged, [this] { phases.push_back(label(model->phase())); });
    }

    std::string code() const { return model->pairingCode().toStdString(); }

    QTemporaryDir dir;
    QSettings settings{dir.filePath("settings.ini"), QSettings::IniFormat};
    FakeReceiveWorld world; // outlives the model
    std::unique_ptr<PeerReceiveModel> model;
    std::vector<std::string> phases;
};

TEST_F(PeerReceiveModelTest, AWirelessBackupRunsThroughItsPhasesAndTearsDown)
{
    world.backupRoot = "/media/disk/Family/Kalvenstroud_Phone";
    make(PeerReceiveModel::Kind::wireless);
    model->startAdvertising("/media/disk/Family", libraryID, "Family");
    EXPECT_EQ(label(model->phase()), "waiting");
    EXPECT_EQ(model->destinationDescription(), "Family");
    EXPECT_EQ(model->destinationLibraryID(), libraryID);
    EXPECT_EQ(model->pairingCode().size(), 3);
    ASSERT_EVENTUALLY_EQ(world.starts.load(), 1);

    world.connectPhone(backup(code()));
    ASSERT_EVENTUALLY_EQ(model->phase().kind, Phase::Kind::finished);
    EXPECT_EQ(phases, (std::vector<std::string>{"waiting", "negotiating(测试手机)", "transferring(测试手机)",
                          "finished(2,0,16,done)"}));
    EXPECT_EQ(model->destinationDescription(), "/media/disk/Family/Kalvenstroud_Phone");
    EXPECT_EQ(model->progress().completedByteCount, 16);
    EXPECT_EQ(model->progress().totalAssetCount, 2);
    EXPECT_EQ(model->remainingTimeText(), std::nullopt);
    // The finish frees the slot and withdraws the announcement.
    ASSERT_EVENTUALLY_EQ(world.stops.load(), 1);
    EXPECT_EQ(world.sessionEnds.load(), 1);
    ASSERT_EVENTUALLY_EQ(world.phonesDone.load(), 1);
    EXPECT_TRUE(world.phoneErrors.empty()) << world.phoneErrors.front();
    // The identity sent is stable and stored.
    ASSERT_TRUE(world.announcedDevice);
    EXPECT_EQ(world.announcedDevice->identifier, settings.value("peerDeviceIdentifier").toString().toStdString());
}

TEST_F(PeerReceiveModelTest, HowASessionEndsIsWhatTheSheetShows)
{
    using Reason = p2p::SessionEnd::Reason;
    struct Case {
        const char* name;
        Reason reason;
        std::optional<std::string> message;
        std::string phase;
    };
    const Case cases[] = {
        {"completed", Reason::completed, std::nullopt, "finished(2,0,16,done)"},
        {"stopped on the phone", Reason::cancelledByUser, std::nullopt, "finished(2,0,16,stopped)"},
        {"phone error with words", Reason::error, "相册读取失败", "failed(对方已结束传输：相册读取失败)"},
        {"phone error without words", Reason::error, std::nullopt, "failed(对方已结束传输)"},
        {"incompatible", Reason::incompatibleVersion, "", "failed(对方已结束传输)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        phases.clear();
        make(PeerReceiveModel::Kind::wireless);
        const int stopsBefore = world.stops.load();
        model->startAdvertising(dir.path(), libraryID, "Family");
        ASSERT_EVENTUALLY(world.announcing);
        world.connectPhone(backup(code(), c.reason, c.message));
        ASSERT_EVENTUALLY_EQ(phases.back(), c.phase);
        // Either way the road is torn down afterwards.
        ASSERT_EVENTUALLY_EQ(world.stops.load(), stopsBefore + 1);
        model.reset();
    }
}

TEST_F(PeerReceiveModelTest, TenWrongCodesFailTheRoad)
{
    make(PeerReceiveModel::Kind::wireless);
    model->startAdvertising(dir.path(), libraryID, "Family");
    ASSERT_EVENTUALLY(world.announcing);
    QStringList codes{model->pairingCode()};
    QObject::connect(model.get(), &PeerReceiveModel::pairingCodeChanged, [&] { codes << model->pairingCode(); });
    world.connectPhone(guessesWrong());
    ASSERT_EVENTUALLY_EQ(label(model->phase()), std::string("failed(配对码校验未通过)"));
    // Every third wrong code draws a new one, and the screen shows each.
    EXPECT_EQ(codes.size(), 4);
    ASSERT_EVENTUALLY_EQ(world.stops.load(), 1);
    ASSERT_EVENTUALLY_EQ(world.phonesDone.load(), 1);
    EXPECT_TRUE(world.phoneErrors.empty());
}

TEST_F(PeerReceiveModelTest, AnAnnouncementThatFailsShowsItsText)
{
    world.startFailure = "没有 avahi";
    make(PeerReceiveModel::Kind::wireless);
    model->startAdvertising(dir.path(), libraryID, "Family");
    ASSERT_EVENTUALLY_EQ(label(model->phase()), std::string("failed(广播失败：没有 avahi)"));
    EXPECT_EQ(world.stops.load(), 1); // withdrawn, nothing left announced

    // Later failure of a running announcement: failed, then torn down.
    world.startFailure.reset();
    model->retryLastDestination();
    ASSERT_EVENTUALLY(world.announcing);
    world.failAnnouncement("广播失败：网络已断开");
    ASSERT_EVENTUALLY_EQ(label(model->phase()), std::string("failed(广播失败：网络已断开)"));
    ASSERT_EVENTUALLY_EQ(world.stops.load(), 2);
}

TEST_F(PeerReceiveModelTest, TheWiredRoadPollsUntilItFindsAPhoneOrGivesUp)
{
    using Device = ReceiveMultiplexer::Device;
    struct Case {
        const char* name;
        std::function<FakeReceiveWorld::ListStep(int)> list;
        std::function<std::optional<std::string>(int)> connect;
        QString lastStatus;
        std::string phase;
        std::vector<std::int64_t> connectedIDs;
    };
    const QString notDetected = "未检测到 USB iPhone。请确认已插线，并在手机上点「信任此电脑」。";
    const QString refused = "已检测到 iPhone，但连接被拒绝。请确认手机一线备份已显示「正在等待电脑经数据线连入」。";
    const QString timeout = "等待超时。请确认已用数据线连接 iPhone、已点「信任此电脑」，并在 iPhone 上打开一线备份并点「准备连接」。";
    const auto none = [](int) { return std::optional<std::string>(); };
    const Case cases[] = {
        {"nothing attached", [](int) { return FakeReceiveWorld::ListStep{}; }, none, notDetected,
            "failed(" + timeout.toStdString() + ")", {}},
        {"daemon fails last", [](int a) {
             return a < 3 ? FakeReceiveWorld::ListStep{} : FakeReceiveWorld::ListStep{{}, "daemon gone"};
         }, none, "USB 连接失败：daemon gone", "failed(USB 连接失败：daemon gone)", {}},
        {"phone refuses", [](int) { return FakeReceiveWorld::ListStep{{Device{5, true}}, {}}; },
            [](int) { return std::optional<std::string>("refused"); }, refused, "failed(出现问题，请重试)",
            {5, 5, 5, 5}},
        {"network device listed first", [](int) {
             return FakeReceiveWorld::ListStep{{Device{3, false}, Device{8, true}, Device{9, true}}, {}};
         }, none, "USB 已接通，开始协商…", "waiting", {8}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeReceiveWorld localWorld;
        localWorld.pollAttemptLimit = 4;
        localWorld.listScript = c.list;
        localWorld.connectScript = c.connect;
        localWorld.wiredPhone = [](FakePhone& phone) -> asio::awaitable<void> {
            co_await phone.greet();
            co_await phone.readUntilClosed();
        };
        PeerReceiveModel::Environment environment;
        environment.transports = localWorld.transports();
        environment.device.settings = &settings;
        PeerReceiveModel wired(PeerReceiveModel::Kind::wired, environment);
        wired.startWiredReceive(dir.path(), libraryID, "Family");
        EXPECT_EQ(wired.wiredStatusMessage(), "正在通过 USB 查找 iPhone…");
        EXPECT_TRUE(wired.isWiredMode());
        ASSERT_EVENTUALLY_EQ(label(wired.phase()) + " / " + wired.wiredStatusMessage().toStdString(),
            c.phase + " / " + c.lastStatus.toStdString());
        EXPECT_EQ(localWorld.phoneErrors, std::vector<std::string>{});
        std::lock_guard guard(localWorld.lock);
        EXPECT_EQ(localWorld.connectedDeviceIDs, c.connectedIDs);
    }
}

TEST_F(PeerReceiveModelTest, CancelEndsTheWiredPollingWhereverItIs)
{
    for (bool duringRequest : {false, true}) {
        SCOPED_TRACE(duringRequest ? "request in flight" : "sleeping");
        FakeReceiveWorld localWorld;
        localWorld.pollInterval = std::chrono::hours(1);
        localWorld.listScript = [](int) {
            return FakeReceiveWorld::ListStep{{ReceiveMultiplexer::Device{4, true}}, {}};
        };
        localWorld.connectScript = [](int a) { return a == 0 ? std::optional<std::string>("refused") : std::nullopt; };
        if (duringRequest)
            localWorld.holdList();
        PeerReceiveModel::Environment environment;
        environment.transports = localWorld.transports();
        environment.device.settings = &settings;
        PeerReceiveModel wired(PeerReceiveModel::Kind::wired, environment);
        wired.startWiredReceive(dir.path(), libraryID, "Family");
        if (duringRequest)
            ASSERT_EVENTUALLY_EQ(localWorld.listsInFlight.load(), 1);
        else
            ASSERT_EVENTUALLY_EQ(localWorld.connects.load(), 1); // refused, now asleep for an hour

        bool done = false;
        wired.cancel([&] { done = true; });
        EXPECT_EQ(label(wired.phase()), "choosing");
        if (duringRequest)
            localWorld.releaseList(); // it lists a phone now, but must not go on to connect
        ASSERT_EVENTUALLY(done);
        ASSERT_EVENTUALLY_EQ(localWorld.listsReturned.load(), 1);
        localWorld.flush(); // whatever the loop does after its request or its sleep has run
        EXPECT_EQ(localWorld.lists.load(), 1);
        EXPECT_EQ(localWorld.connects.load(), duringRequest ? 0 : 1);
        EXPECT_EQ(label(wired.phase()), "choosing");
    }
}

TEST_F(PeerReceiveModelTest, ARetryIsNotUndoneByTheTeardownTheFailureScheduled)
{
    make(PeerReceiveModel::Kind::wireless);
    model->startAdvertising(dir.path(), libraryID, "Family");
    ASSERT_EVENTUALLY(world.announcing);
    // The failure schedules a teardown; the retry runs before it, right as the failure shows.
    bool retried = false;
    QObject::connect(model.get(), &PeerReceiveModel::phaseChanged, model.get(), [&] {
        if (model->phase().kind == Phase::Kind::failed && !retried) {
            retried = true;
            model->retryLastDestination();
        }
    });
    world.failAnnouncement("广播失败：一时断开");
    ASSERT_EVENTUALLY(retried);
    EXPECT_EQ(label(model->phase()), "waiting");
    ASSERT_EVENTUALLY_EQ(world.starts.load(), 2);
    bool flushed = false;
    QMetaObject::invokeMethod(model.get(), [&] { flushed = true; }, Qt::QueuedConnection);
    ASSERT_EVENTUALLY(flushed);
    world.flush();
    // Only the first road was stopped; the second one still announces and takes a phone.
    EXPECT_EQ(world.stops.load(), 1);
    EXPECT_EQ(label(model->phase()), "waiting");
    world.connectPhone(backup(code()));
    ASSERT_EVENTUALLY_EQ(model->phase().kind, Phase::Kind::finished);
}

TEST_F(PeerReceiveModelTest, AStreamThatArrivesForAnOldRoadIsClosed)
{
    for (bool reportQueued : {false, true}) {
        SCOPED_TRACE(reportQueued ? "its report already queued" : "handed over after the teardown");
        make(PeerReceiveModel::Kind::wireless);
        model->startAdvertising(dir.path(), libraryID, "Family");
        ASSERT_EVENTUALLY(world.announcing);
        std::promise<ReceiveAdvertiser::ConnectionHandler> kept;
        asio::post(world.runtime.executor(), [&] { kept.set_value(world.onConnection); });
        ReceiveAdvertiser::ConnectionHandler oldHandler = kept.get_future().get();

        std::atomic<int> answered = -1;
        auto dial = [&] {
            asio::post(world.runtime.executor(), [&, oldHandler] {
                auto [desktop, phone] = p2p::InMemoryByteStream::makePair(world.runtime.executor());
                oldHandler(std::move(desktop));
                auto fake = std::make_shared<FakePhone>(std::move(phone));
                asio::co_spawn(world.runtime.executor(), greetOnce(fake, answered), asio::detached);
            });
        };
        if (reportQueued) {
            dial();
            world.flush(); // the connection's report waits in the main thread's queue
        }
        model->startAdvertising(dir.path(), libraryID, "Family"); // tears the first road down
        if (!reportQueued)
            dial();
        ASSERT_EVENTUALLY_EQ(answered.load(), 0); // the stream was closed: no answer
        EXPECT_EQ(label(model->phase()), "waiting");
        model.reset();
    }
}

TEST_F(PeerReceiveModelTest, TheModelCanGoAwayWhileWaitingOrTransferring)
{
    for (bool transferring : {false, true}) {
        SCOPED_TRACE(transferring ? "transferring" : "waiting");
        make(PeerReceiveModel::Kind::wireless);
        const int stopsBefore = world.stops.load();
        model->startAdvertisingForNewLibrary(dir.path(), "Trip", [](const QString&, const FolderDriveAnswer&) { return std::nullopt; });
        ASSERT_EVENTUALLY(world.announcing);
        if (transferring) {
            const std::string pairing = code();
            world.connectPhone([pairing](FakePhone& phone) -> asio::awaitable<void> {
                co_await phone.greet();
                co_await phone.pair(pairing);
                const std::vector<p2p::AssetDescriptor> assets = {FakePhone::photo("A", "A.JPG", 100)};
                co_await phone.offer(sessionID, assets);
                FakeFile file = fileOf("A", 0, "A.JPG", FakePhone::patternBytes(100, 1));
                file.cutAfterChunks = 3;
                co_await phone.sendFile(file);
                co_await phone.readUntilClosed();
            });
            ASSERT_EVENTUALLY_EQ(model->phase().kind, Phase::Kind::transferring);
        }
        model.reset();
        // The road shuts itself down on the transfer thread: announcement withdrawn, phone hung up.
        ASSERT_EVENTUALLY_EQ(world.stops.load(), stopsBefore + 1);
        if (transferring)
            ASSERT_EVENTUALLY_EQ(world.phonesDone.load(), 1);
    }
}

TEST_F(PeerReceiveModelTest, ANewLibraryIsRegisteredWhenItsFolderAppearsAndRetriedInto)
{
    world.pollAttemptLimit = 2;
    make(PeerReceiveModel::Kind::wired);
    QStringList registered;
    std::optional<QUuid> answer; // the first registration fails
    auto onCreated = [&](const QString& folder, const FolderDriveAnswer&) {
        registered << folder;
        return answer;
    };
    model->startWiredReceiveForNewLibrary(dir.path(), "Trip", onCreated);
    const QString target = QDir::cleanPath(dir.path() + "/Trip");
    EXPECT_EQ(model->destinationDescription(), target);
    EXPECT_EQ(model->destinationLibraryID(), std::nullopt);
    ASSERT_EVENTUALLY_EQ(model->phase().kind, Phase::Kind::failed); // nothing attached
    EXPECT_TRUE(registered.isEmpty());

    // Nothing was created yet: the retry starts a new library again, on the wired road.
    std::promise<std::string> shownCode;
    std::shared_future<std::string> codeOnScreen = shownCode.get_future().share();
    world.listScript = [](int) { return FakeReceiveWorld::ListStep{{ReceiveMultiplexer::Device{1, true}}, {}}; };
    world.wiredPhone = [codeOnScreen](FakePhone& phone) -> asio::awaitable<void> {
        co_await phone.greet();
        co_await phone.pair(codeOnScreen.get());
        const std::vector<p2p::AssetDescriptor> assets = {FakePhone::photo("A", "A.JPG", 10)};
        co_await phone.offer(sessionID, assets);
        FakeFile file = fileOf("A", 0, "A.JPG", FakePhone::patternBytes(10, 1));
        file.cutAfterChunks = 1;
        co_await phone.sendFile(file);
        co_await phone.disconnect(); // the cable is pulled
    };
    model->retryLastDestination();
    shownCode.set_value(code());
    ASSERT_EVENTUALLY_EQ(label(model->phase()), std::string("failed(连接已断开)"));
    EXPECT_EQ(registered, QStringList{target});
    EXPECT_EQ(model->destinationLibraryID(), std::nullopt);

    // The folder exists now: the retry registers it and receives into it as an existing library.
    answer = libraryID;
    world.listScript = [](int) { return FakeReceiveWorld::ListStep{}; };
    model->retryLastDestination();
    EXPECT_EQ(registered, (QStringList{target, target}));
    EXPECT_EQ(model->destinationLibraryID(), libraryID);
    EXPECT_EQ(model->destinationDescription(), "Trip");
    EXPECT_EQ(label(model->phase()), "waiting");

    // Retrying in any other phase does nothing.
    const QString codeBefore = model->pairingCode();
    model->retryLastDestination();
    EXPECT_EQ(model->pairingCode(), codeBefore);
}

// The drive questions of a start, of 重试 and of registering a new library's folder run off the
// window's thread: while the drive hangs the window goes on, and after the store's time-out the
// receive says the drive is not connected and registers nothing; nor does a late answer for a
// receive cancelled meanwhile.
TEST_F(PeerReceiveModelTest, ADriveThatHangsNeverHoldsUpTheWindow)
{
    enum class When { start, retry, firstFile, cancelled };
    struct Case {
        const char* name;
        When when;
        bool isNew;
        QString library;
        int roadsOpened;
    };
    const Case cases[] = {
        {"existing library's start", When::start, false, "旅行", 0},
        {"new library's start", When::start, true, "旅行", 0},
        {"重试 registering the folder the failed attempt made", When::retry, true, "新家", 1},
        {"the first file registering the new library's folder", When::firstFile, true, "照片", 1},
        {"a receive cancelled while its folder is registered", When::cancelled, true, "相册", 1},
    };
    const QString folder = dir.filePath("旅行");
    QDir().mkpath(folder);
    QDir().mkpath(dir.filePath("新家"));
    GatedBookmarks drive;
    drive.setOpen(true);
    FakeVolumeMonitor volumes;
    std::vector<std::jthread> questions; // joined however the test ends
    // Every question asked so far answered, and its answer taken on this thread.
    const auto answerAll = [&] {
        drive.setOpen(true);
        for (std::jthread& question : questions)
            question.join();
        questions.clear();
        QCoreApplication::processEvents();
    };
    LibraryStore store({&drive, &volumes, nullptr, nullptr,
                           [&](std::function<void()> question) { questions.emplace_back(std::move(question)); }},
        dir.filePath("store"));
    const PhotoLibrary library = *store.addLibrary(folder, "旅行");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        make(PeerReceiveModel::Kind::wireless, &store);
        const int startsBefore = world.starts.load();
        if (c.when == When::start)
            drive.setOpen(false);
        if (c.when == When::retry)
            world.startFailure = "announcement refused";
        if (c.isNew) {
            model->startAdvertisingForNewLibrary(dir.path(), c.library,
                [&store, name = c.library](const QString& made, const FolderDriveAnswer& answer) {
                    const std::optional<PhotoLibrary> added = store.addLibrary(made, name, answer);
                    return added ? std::optional(added->id) : std::nullopt;
                });
        } else {
            model->startAdvertising(folder, library.id, "旅行");
        }
        if (c.when == When::retry) {
            ASSERT_EVENTUALLY_EQ(model->phase().kind, Phase::Kind::failed);
            world.startFailure.reset();
            drive.closeToMaking();
            model->retryLastDestination();
        } else if (c.when == When::firstFile) {
            ASSERT_EVENTUALLY(world.announcing);
            drive.closeToMaking();
            world.connectPhone(backup(code()));
        } else if (c.when == When::cancelled) {
            ASSERT_EVENTUALLY(world.announcing);
            drive.closeToMaking();
            world.connectPhone([pairing = code()](FakePhone& phone) -> asio::awaitable<void> {
                co_await phone.greet();
                co_await phone.pair(pairing);
                const std::vector<p2p::AssetDescriptor> assets = {FakePhone::photo("A", "A.JPG", 10)};
                co_await phone.offer(sessionID, assets);
                co_await phone.sendFile(fileOf("A", 0, "A.JPG", FakePhone::patternBytes(10, 1)));
                co_await phone.readUntilClosed(); // the receive runs on
            });
        }
        if (c.when == When::cancelled) {
            ASSERT_EVENTUALLY_EQ(drive.waiting(), 1);
            model->cancel();
            answerAll();
            EXPECT_EQ(label(model->phase()), "choosing");
        } else {
            ASSERT_EVENTUALLY_EQ(label(model->phase()),
                "failed(找不到「" + c.library.toStdString() + "」的文件夹，移动硬盘可能没有连接。)");
        }
        EXPECT_EQ(drive.waitedOut(), 0); // the window went on while the drive still hung
        EXPECT_EQ(world.starts.load(), startsBefore + c.roadsOpened);
        EXPECT_EQ(store.libraries().size(), 1);
        answerAll();
    }
}

} // namespace
