// The wireless road for real, inside the test's own network namespace: the advertiser announces
// this computer through the namespace's avahi-daemon, a test phone dials it on loopback, pairs with
// the code the model shows and backs real files up into a new library; a second backup skips them.

#include "app/services/receive/PeerReceiveModel.h"
#include "app/services/receive/ReceiveServices.h"

#include "p2p/protocol/framing/MessageCoder.h"
#include "p2p/transport/NWConnectionByteStream.h"
#include "support/NamespaceSandbox.h"
#include "support/app/Eventually.h"
#include "support/app/PhoneBackup.h"
#include "support/app/ShellTestContext.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

using namespace app;
using namespace app::testing;
using Phase = PeerReceiveModel::Phase;

namespace {

// Every line avahi-browse resolves for the service, parsable form.
QString browseService()
{
    QProcess browse;
    browse.start("avahi-browse", {"-rtp", "_kalvenstroud._tcp"});
    if (!browse.waitForFinished(20000))
        return "avahi-browse did not finish";
    return QString::fromUtf8(browse.readAllStandardOutput());
}

class ReceiveNetworkTest : public ::testing::Test {
protected:
    ReceiveNetworkTest()
    {
        transports = world.transports();
        useFileSystemSinks(transports, sinks);
        useNetworkAdvertiser(transports, [this](std::uint16_t announced) { port = announced; });
    }

    PeerReceiveModel::Environment environment()
    {
        PeerReceiveModel::Environment environment;
        environment.transports = transports;
        environment.device.settings = shell.settings.get();
        environment.store = shell.store.get();
        return environment;
    }

    // The wait for a phone, into a new library "Trip" inside `parent`.
    void waitIntoNewLibrary(PeerReceiveModel& model, const QString& parent)
    {
        LibraryStore* store = shell.store.get();
        model.startAdvertisingForNewLibrary(parent, "Trip", [store](const QString& folder, const FolderDriveAnswer& drive) -> std::optional<QUuid> {
            const auto library = store->addLibrary(folder, "Trip", drive);
            return library ? std::optional(library->id) : std::nullopt;
        });
    }

    // A phone on loopback dials the announced port and plays the backup with the code shown.
    void dial(const PeerReceiveModel& model)
    {
        std::promise<std::string> code;
        code.set_value(model.pairingCode().toStdString());
        FakeReceiveWorld::Script script = phoneBackup(code.get_future().share());
        const std::uint16_t target = port;
        asio::post(world.runtime.executor(), [this, script, target] {
            asio::ip::tcp::socket socket(world.runtime.executor());
            std::error_code error;
            socket.connect({asio::ip::make_address_v4("127.0.0.1"), target}, error);
            if (error)
                throw std::runtime_error("cannot dial the announced port: " + error.message());
            world.playPhone(std::make_unique<p2p::NWConnectionByteStream>(std::move(socket), 65536, 30.0), script);
        });
    }

    ~ReceiveNetworkTest() override
    {
        // As the program ends: the transfer thread stops, then the sinks' queued work drains while
        // the transfer context it resumes on still exists (the world goes before the sinks).
        world.runtime.stop();
        sinks.drain();
    }

    ShellTestContext shell;
    p2p::SinkThread sinks;
    FakeReceiveWorld world; // its transfer thread runs inside the namespace like the rest
    ReceiveTransports transports;
    std::atomic<std::uint16_t> port = 0;
};

TEST_F(ReceiveNetworkTest, APhoneFindsThisComputerAndBacksUpIntoANewLibrary)
{
    TESS_SKIP_WITHOUT_SANDBOX();
    const QString parent = shell.folder("Drive");
    PeerReceiveModel model(PeerReceiveModel::Kind::wireless, environment());
    LibraryStore* store = shell.store.get();
    waitIntoNewLibrary(model, parent);
    ASSERT_EVENTUALLY(port != 0);

    // The namespace's avahi lists the service with this computer's TXT record.
    const QString identifier = shell.settings->value("peerDeviceIdentifier").toString();
    const QString announced = browseService();
    EXPECT_TRUE(announced.contains("\"v=1\"")) << announced.toStdString();
    EXPECT_TRUE(announced.contains("\"id=" + identifier + "\"")) << announced.toStdString();
    EXPECT_TRUE(announced.contains(QString(";%1;").arg(int(port)))) << announced.toStdString();

    dial(model);
    ASSERT_EVENTUALLY(model.phase().is(Phase::Kind::finished) || model.phase().is(Phase::Kind::failed));
    ASSERT_EQ(model.phase().message, "");
    const QString libraryFolder = parent + "/Trip";
    expectBackupLanded(model, *store, libraryFolder);

    // The finish withdrew the announcement; a new wait announces again and the phone skips all.
    port = 0;
    model.startAdvertising(libraryFolder, store->libraries().first().id, "Trip");
    ASSERT_EVENTUALLY(port != 0);
    dial(model);
    ASSERT_EVENTUALLY(model.phase().is(Phase::Kind::finished) || model.phase().is(Phase::Kind::failed));
    EXPECT_EQ(model.phase().summary, (PeerReceiveModel::FinishSummary{0, 3, 0, false}));

    // Cancelling withdraws the announcement from the network.
    bool cancelled = false;
    model.startAdvertising(libraryFolder, store->libraries().first().id, "Trip");
    ASSERT_EVENTUALLY(browseService().contains("_kalvenstroud._tcp"));
    model.cancel([&] { cancelled = true; });
    ASSERT_EVENTUALLY(cancelled);
    ASSERT_EVENTUALLY(!browseService().contains("_kalvenstroud._tcp"));
    std::lock_guard guard(world.lock);
    EXPECT_EQ(world.phoneErrors, std::vector<std::string>{});
}

// Counts the log lines written while it lives; from any thread.
class LogLineCounter {
public:
    LogLineCounter()
    {
        p2p::setLogSink([this](p2p::LogLevel, std::string_view, std::string_view, std::string_view) { ++count; });
    }
    ~LogLineCounter() { p2p::setLogSink({}); }
    std::atomic<int> count = 0;
};

// A port scanner or another program on the announced port must not end the user's wait: each
// connection that ends before a valid hello is closed, the wait keeps its code and its
// announcement, and a phone then backs up as usual.
TEST_F(ReceiveNetworkTest, StrangersOnThePortLeaveTheWaitAsItIs)
{
    TESS_SKIP_WITHOUT_SANDBOX();
    transports.handshakeTimeout = 0.2; // the silent stranger is closed this soon
    useNetworkAdvertiser(transports, [this](std::uint16_t announced) { port = announced; });
    const QString parent = shell.folder("Drive");
    PeerReceiveModel model(PeerReceiveModel::Kind::wireless, environment());
    LibraryStore* store = shell.store.get();
    waitIntoNewLibrary(model, parent);
    ASSERT_EVENTUALLY(port != 0);
    const QString code = model.pairingCode();

    using tcp = asio::ip::tcp;
    const auto readToEnd = [](tcp::socket& socket) {
        std::error_code error;
        std::vector<char> rest(4096);
        while (!error)
            socket.read_some(asio::buffer(rest), error);
    };
    const auto sendAndWait = [readToEnd](p2p::Bytes bytes) {
        return [readToEnd, bytes](tcp::socket& socket) {
            asio::write(socket, asio::buffer(bytes));
            readToEnd(socket);
        };
    };
    const std::string text = "GET / HTTP/1.0\r\n\r\n";
    p2p::SessionBegin begin;
    begin.sessionID = p2p::Uuid::random();
    struct Stranger {
        const char* what;
        std::function<void(tcp::socket&)> act;
    };
    const std::vector<Stranger> strangers = {
        {"connects and closes", [](tcp::socket& socket) { socket.close(); }},
        {"resets",
            [](tcp::socket& socket) {
                socket.set_option(asio::socket_base::linger(true, 0));
                socket.close();
            }},
        {"sends garbage", sendAndWait(p2p::Bytes(text.begin(), text.end()))},
        {"sends another frame first", sendAndWait(p2p::MessageCoder::encode(p2p::Message(begin)))},
        {"stays silent", readToEnd},
    };
    for (std::size_t i = 0; i < strangers.size(); ++i) {
        SCOPED_TRACE(strangers[i].what);
        // Off the main thread: the model hands each connection over to its session from there.
        std::future<void> stranger = std::async(std::launch::async, [&, act = strangers[i].act] {
            asio::io_context io;
            tcp::socket socket(io);
            socket.connect({asio::ip::address_v4::loopback(), port});
            act(socket);
        });
        stranger.get(); // closed by this computer, or by the stranger itself
        EXPECT_EQ(model.phase(), Phase::waitingForPeer());
        EXPECT_EQ(model.pairingCode(), code);
    }
    EXPECT_TRUE(browseService().contains(QString(";%1;").arg(int(port))));

    dial(model);
    ASSERT_EVENTUALLY(model.phase().is(Phase::Kind::finished) || model.phase().is(Phase::Kind::failed));
    ASSERT_EQ(model.phase().message, "");
    expectBackupLanded(model, *store, parent + "/Trip");
}

// Strangers flood the port: forty connect and stay silent, two reconnect as fast as they can (one
// closing at once, one waiting until it is closed). None of them takes the wait: the phone's backup
// starts right after it connects and lands byte for byte, and the log says little about them.
TEST_F(ReceiveNetworkTest, AFloodedPortStillTakesThePhoneAtOnce)
{
    TESS_SKIP_WITHOUT_SANDBOX();
    const QString parent = shell.folder("Drive");
    PeerReceiveModel model(PeerReceiveModel::Kind::wireless, environment());
    waitIntoNewLibrary(model, parent);
    ASSERT_EVENTUALLY(port != 0);
    LogLineCounter log;
    QElapsedTimer flooding;
    flooding.start();
    const asio::ip::tcp::endpoint address(asio::ip::address_v4::loopback(), port);
    asio::io_context io;
    std::vector<asio::ip::tcp::socket> silent;
    for (int i = 0; i < 40; ++i)
        silent.emplace_back(io).connect(address);
    std::atomic<bool> stop = false;
    std::atomic<int> reconnects = 0;
    const auto reconnectLoop = [&](bool waitUntilClosed) {
        asio::io_context loopIO;
        for (char byte; !stop; ++reconnects) {
            asio::ip::tcp::socket socket(loopIO);
            std::error_code error;
            socket.connect(address, error);
            while (waitUntilClosed && !error && !stop)
                socket.read_some(asio::buffer(&byte, 1), error);
        }
    };
    std::thread closing(reconnectLoop, false), waiting(reconnectLoop, true);
    const auto endFlood = qScopeGuard([&] {
        stop = true;
        closing.join();
        waiting.join();
    });
    ASSERT_EVENTUALLY(reconnects > 1000);
    // Long enough to see the log's rate; the wait stays as it was.
    QTest::qWait(int(std::max<qint64>(20000 - flooding.elapsed(), 0)));
    EXPECT_EQ(model.phase(), Phase::waitingForPeer());

    QElapsedTimer sinceDial;
    sinceDial.start();
    dial(model);
    ASSERT_EVENTUALLY(!model.phase().is(Phase::Kind::waitingForPeer));
    EXPECT_LT(sinceDial.elapsed(), 2000);
    ASSERT_EVENTUALLY(model.phase().is(Phase::Kind::finished) || model.phase().is(Phase::Kind::failed));
    ASSERT_EQ(model.phase().message, "");
    expectBackupLanded(model, *shell.store, parent + "/Trip");
    EXPECT_LT(log.count, 100.0 * double(flooding.elapsed()) / 60000.0) << log.count << " lines";
}

} // namespace
