// The test phone as a program of its own, to back a folder up into the real program on either road:
//   tess_test_phone wireless PORT CODE MANIFEST   dials 127.0.0.1:PORT
//   tess_test_phone wired SOCKET CODE MANIFEST    plays the multiplexer daemon on SOCKET and the
//                                                 phone's wired listener behind it
// MANIFEST has one line per file, tab-separated: asset, kind (photo, video, livePhoto), role
// (primary, pairedVideo), name as announced, path of its bytes. Exits 0 when every file not
// skipped was acknowledged as stored.

#include "p2p/transport/NWConnectionByteStream.h"
#include "p2p/transport/WiredPeerListener.h"
#include "support/p2p/FakePhone.h"
#include "support/p2p/FakeUsbmuxDaemon.h"

#include <asio/ip/tcp.hpp>

#include <cstdio>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <thread>

using namespace p2p;
using namespace p2p::testing;

namespace {

struct Source {
    AssetDescriptor asset;
    std::vector<std::string> paths; // by file index
};

std::vector<Source> readManifest(const std::string& path)
{
    std::vector<Source> sources;
    std::ifstream lines(path);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, '\t');)
            fields.push_back(field);
        if (fields.size() != 5)
            throw std::runtime_error("bad manifest line: " + line);
        if (sources.empty() || sources.back().asset.assetID != fields[0]) {
            Source source;
            source.asset.assetID = fields[0];
            source.asset.kind = fields[1] == "video" ? AssetKind::video
                : fields[1] == "livePhoto"           ? AssetKind::livePhoto
                                                     : AssetKind::photo;
            source.asset.creationDate = 1700000000.0;
            sources.push_back(source);
        }
        std::ifstream file(fields[4], std::ios::binary | std::ios::ate);
        if (!file)
            throw std::runtime_error("cannot read " + fields[4]);
        const auto role = fields[2] == "pairedVideo" ? FileDescriptor::Role::pairedVideo : FileDescriptor::Role::primary;
        sources.back().asset.files.push_back({role, fields[3], static_cast<std::int64_t>(file.tellg())});
        sources.back().paths.push_back(fields[4]);
    }
    return sources;
}

Bytes bytesOf(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

asio::awaitable<void> backup(FakePhone& phone, std::string code, std::vector<Source> sources)
{
    if (!co_await phone.greet())
        throw std::runtime_error("no greeting answer");
    const PairingResult paired = co_await phone.pair(code);
    if (paired.outcome != PairingResult::Outcome::accepted)
        throw std::runtime_error("pairing refused for code " + code);
    std::vector<AssetDescriptor> assets;
    for (const Source& source : sources)
        assets.push_back(source.asset);
    std::set<std::string> skipped;
    for (const SkipListBatch& batch : co_await phone.offer(Uuid::random(), assets))
        skipped.insert(batch.assetIDs.begin(), batch.assetIDs.end());
    int sent = 0;
    for (const Source& source : sources) {
        if (skipped.count(source.asset.assetID))
            continue;
        for (std::size_t i = 0; i < source.paths.size(); ++i) {
            FakeFile file;
            file.assetID = source.asset.assetID;
            file.fileIndex = static_cast<std::int64_t>(i);
            file.filename = source.asset.files[i].filename;
            file.bytes = bytesOf(source.paths[i]);
            file.chunkByteCount = 256 * 1024;
            const std::optional<FileAck> ack = co_await phone.sendFile(std::move(file));
            if (!ack || ack->result != FileAck::Result::stored)
                throw std::runtime_error("not stored: " + source.asset.files[i].filename);
            ++sent;
        }
    }
    co_await phone.end();
    co_await phone.readUntilClosed();
    std::printf("phone: %d files sent and stored, %zu assets skipped\n", sent, skipped.size());
}

std::string plist(const std::string& content)
{
    return FakeUsbmuxDaemon::plistXML(content);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s wireless PORT|wired SOCKET CODE MANIFEST\n", argv[0]);
        return 2;
    }
    const std::string road = argv[1];
    // "@FILE": the code is read from FILE once a connection comes (the screen shows it only then).
    const std::string codeArgument = argv[3];
    auto code = [codeArgument] {
        if (codeArgument.empty() || codeArgument.front() != '@')
            return codeArgument;
        for (int tries = 0; tries < 600; ++tries) {
            std::ifstream in(codeArgument.substr(1));
            std::string text;
            if (in >> text)
                return text;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        throw std::runtime_error("no code in " + codeArgument.substr(1));
    };
    asio::io_context io;
    std::promise<std::string> outcome;
    auto play = [&](std::unique_ptr<ByteStream> stream) {
        auto phone = std::make_shared<FakePhone>(std::move(stream));
        asio::co_spawn(io, backup(*phone, code(), readManifest(argv[4])), [&, phone](std::exception_ptr failure) {
            std::string text;
            try {
                if (failure)
                    std::rethrow_exception(failure);
            } catch (const std::exception& error) {
                text = error.what();
            }
            outcome.set_value(text);
            io.stop();
        });
    };

    std::unique_ptr<FakeUsbmuxDaemon> daemon;
    std::shared_ptr<WiredPeerListener> listener;
    if (road == "wireless") {
        asio::ip::tcp::socket socket(io);
        socket.connect({asio::ip::make_address_v4("127.0.0.1"), static_cast<std::uint16_t>(std::stoi(argv[2]))});
        play(std::make_unique<NWConnectionByteStream>(std::move(socket), 16 << 20, 30.0));
    } else {
        listener = std::make_shared<WiredPeerListener>(io.get_executor(), 0);
        asio::co_spawn(io, listener->start([&](std::unique_ptr<ByteStream> stream) { play(std::move(stream)); }),
            asio::detached);
        io.poll();
        if (!listener->port())
            return 1;
        daemon = std::make_unique<FakeUsbmuxDaemon>(argv[2]);
        const FakeUsbmuxDaemon::Reply list{FakeUsbmuxDaemon::plistPacket(plist(
            "<key>DeviceList</key><array><dict><key>DeviceID</key><integer>3</integer><key>Properties</key><dict>"
            "<key>SerialNumber</key><string>PHONE-1</string><key>ConnectionType</key><string>USB</string></dict>"
            "</dict></array>"))};
        const FakeUsbmuxDaemon::Reply connected{FakeUsbmuxDaemon::plistPacket(plist("<key>Number</key><integer>0</integer>")),
            FakeUsbmuxDaemon::After::bridge, *listener->port()};
        daemon->script({list, connected});
        std::printf("phone: daemon on %s, listening on %u\n", argv[2], *listener->port());
        std::fflush(stdout);
    }
    io.run();
    const std::string failure = outcome.get_future().get();
    if (!failure.empty()) {
        std::fprintf(stderr, "phone: %s\n", failure.c_str());
        return 1;
    }
    return 0;
}
