// Receiving a backup onto the local disk: 500 files of 1 MB and 5 files of 200 MB from a scripted
// phone through the in-memory stream, the framed channel and the receiving session into the
// file-system sink (a .part file per file, fsync of the file and of its folder, an index row in
// SQLite), against a durable peer in the same run: the same bytes from memory made durable the same
// way per file (write, fsync, rename, fsync of the folder), with `cp -r` + `sync` beside it.
//
// Every set runs several times (TESS_BENCH_RUNS, 5 unless set), the runs interleaved, medians
// printed. Run from a Release build; the data goes to $TESS_BENCH_DIR, else a folder in the
// current directory, and is removed afterwards. An argument "small" or "large" runs one set alone.

#include "support/BenchInputs.h"
#include "support/ReceivePipeline.h"

#include "p2p/backup/FileSystemAssetSink.h"
#include "p2p/backup/SinkThread.h"
#include "p2p/protocol/framing/CRC32.h"
#include "p2p/protocol/streams/FramedMessageChannel.h"
#include "p2p/protocol/framing/Framing.h"
#include "p2p/protocol/streams/InMemoryByteStream.h"
#include "p2p/protocol/framing/MessageCoder.h"
#include "p2p/protocol/P2PLog.h"
#include "p2p/protocol/messages/PairingCode.h"
#include "p2p/protocol/messages/SessionConfiguration.h"
#include "p2p/protocol/streams/TransferRuntime.h"
#include "p2p/receive/ReceiveSession.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

// g++ 12 pairs Asio's coroutine-frame operator delete with the global operator new in some frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

using namespace p2p;
using bench::awaitMessage;
using bench::sendFrame;
namespace fs = std::filesystem;

namespace {

struct FileSet {
    const char* name;
    int count;
    std::size_t byteCount;
};

constexpr std::size_t chunkBytes = 256u << 10;

// Incompressible bytes, as photos and videos are.
Bytes randomBytes(std::size_t count, unsigned seed)
{
    Bytes bytes(count);
    std::mt19937_64 random(seed);
    for (std::size_t i = 0; i + 8 <= count; i += 8) {
        const std::uint64_t value = random();
        std::memcpy(bytes.data() + i, &value, 8);
    }
    return bytes;
}

std::string fileName(int index)
{
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%04d.JPG", index);
    return name;
}

// The phone: greeting, manifest, each file in 256 KiB chunks, waiting for each acknowledgement
// as the phone does, then the end.
asio::awaitable<void> sendBackup(ByteStream& stream, const FileSet& set, const Bytes& content)
{
    FrameDecoder decoder(SessionConfiguration::defaults().maximumFrameByteCount);
    const Uuid sessionID = Uuid::random();
    const std::uint32_t crc = CRC32::value(content);

    Hello hello;
    hello.protocolVersion = 1;
    hello.device.name = "bench";
    hello.device.identifier = "BENCH";
    co_await sendFrame(stream, hello);
    co_await awaitMessage(stream, decoder, MessageType::helloAck);

    SessionBegin begin;
    begin.sessionID = sessionID;
    begin.assetCount = set.count;
    begin.declaredByteCount = static_cast<std::int64_t>(set.byteCount) * set.count;
    co_await sendFrame(stream, begin);
    ManifestBatch batch;
    batch.sessionID = sessionID;
    for (int i = 0; i < set.count; ++i) {
        AssetDescriptor asset;
        asset.assetID = std::string(set.name) + "-" + std::to_string(i);
        asset.creationDate = 1700000000.0 + i;
        asset.files.push_back(FileDescriptor{FileDescriptor::Role::primary, fileName(i), static_cast<std::int64_t>(set.byteCount)});
        batch.entries.push_back(std::move(asset));
    }
    co_await sendFrame(stream, batch);
    ManifestEnd manifestEnd;
    manifestEnd.sessionID = sessionID;
    manifestEnd.batchCount = 1;
    co_await sendFrame(stream, manifestEnd);
    co_await awaitMessage(stream, decoder, MessageType::skipListEnd);

    for (int i = 0; i < set.count; ++i) {
        FileBegin fileBegin;
        fileBegin.assetID = std::string(set.name) + "-" + std::to_string(i);
        fileBegin.filename = fileName(i);
        fileBegin.declaredByteCount = static_cast<std::int64_t>(content.size());
        co_await sendFrame(stream, fileBegin);
        for (std::size_t offset = 0; offset < content.size(); offset += chunkBytes) {
            FileChunk chunk;
            chunk.bytes.assign(content.begin() + static_cast<std::ptrdiff_t>(offset),
                content.begin() + static_cast<std::ptrdiff_t>(std::min(content.size(), offset + chunkBytes)));
            co_await sendFrame(stream, std::move(chunk));
        }
        FileEnd fileEnd;
        fileEnd.assetID = fileBegin.assetID;
        fileEnd.byteCount = static_cast<std::int64_t>(content.size());
        fileEnd.crc32 = crc;
        co_await sendFrame(stream, fileEnd);
        co_await awaitMessage(stream, decoder, MessageType::fileAck);
    }
    const SessionEnd end{};
    co_await sendFrame(stream, end);
    co_await stream.close();
}

// One backup through the session into the sink; returns the seconds it took and the files stored.
std::pair<double, std::int64_t> receiveIntoSink(const fs::path& library, const FileSet& set, const Bytes& content)
{
    TransferRuntime transfer;
    SinkThread sinkThread;
    auto sink = std::make_shared<FileSystemAssetSink>(sinkThread.executor(), library);
    auto [sessionEnd, phoneEnd] = InMemoryByteStream::makePair(transfer.executor());
    auto channel = std::make_unique<FramedMessageChannel>(std::move(sessionEnd), SessionConfiguration::automatic());
    DeviceInfo desktop;
    desktop.name = "desktop";
    desktop.identifier = "DESKTOP";
    std::int64_t stored = 0;
    auto onEvent = [&stored](const ReceiveEvent& event) {
        if (const auto* finished = event.getIf<ReceiveEvent::Finished>())
            stored = finished->summary.storedFileCount;
        if (const auto* failed = event.getIf<ReceiveEvent::Failed>())
            std::fprintf(stderr, "BackupSinkBench: %s\n", failed->message.c_str());
    };
    auto session = std::make_shared<ReceiveSession>(transfer.executor(), std::move(channel), sink, desktop,
        SessionConfiguration::automatic(), std::make_shared<PairingVerifier>(PairingCode::random(), 3), false, onEvent);

    std::promise<void> sessionDone;
    std::promise<void> phoneDone;
    const auto started = std::chrono::steady_clock::now();
    asio::co_spawn(transfer.executor(), session->run(), [&](std::exception_ptr) { sessionDone.set_value(); });
    asio::co_spawn(transfer.executor(), sendBackup(*phoneEnd, set, content), [&](std::exception_ptr error) {
        if (error)
            std::fprintf(stderr, "BackupSinkBench: the phone's script failed\n");
        phoneDone.set_value();
    });
    sessionDone.get_future().wait();
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
    phoneDone.get_future().wait();
    transfer.stop();
    return {seconds.count(), stored};
}

// The durable peer: each file made durable the way the sink does it (write, fsync, rename, fsync of
// the folder) from the same bytes in memory, nothing else. Returns the seconds for the whole set.
double durablePeerSeconds(const fs::path& folder, const FileSet& set, const Bytes& content)
{
    fs::create_directories(folder);
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < set.count; ++i) {
        const std::string partial = fileName(i) + ".part";
        const int fd = ::openat(folderFd, partial.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0 || ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) || ::fsync(fd) != 0
            || ::close(fd) != 0 || ::renameat(folderFd, partial.c_str(), folderFd, fileName(i).c_str()) != 0
            || ::fsync(folderFd) != 0)
            throw std::runtime_error("durable write failed");
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
    ::close(folderFd);
    return seconds.count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void writeSources(const fs::path& folder, const FileSet& set, const Bytes& content)
{
    fs::create_directories(folder);
    for (int i = 0; i < set.count; ++i)
        std::ofstream(folder / fileName(i), std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

} // namespace

int main(int argc, char** argv)
{
    // An argument "small" or "large" runs that set alone.
    const std::string only = argc > 1 ? argv[1] : "";
    setLogSink([](LogLevel level, std::string_view, std::string_view, std::string_view message) {
        if (level == LogLevel::error)
            std::fprintf(stderr, "%.*s\n", int(message.size()), message.data());
    });
    const char* base = std::getenv("TESS_BENCH_DIR");
    const fs::path work = fs::path(base ? base : ".") / "backup-sink-bench-data";
    fs::remove_all(work);

    const FileSet sets[] = {{"small", 500, 1'000'000}, {"large", 5, 200'000'000}};
    // Each set several times, the three runs interleaved, the median of each kept: the disk is
    // shared with other work, and a run alone says little.
    const char* runsText = std::getenv("TESS_BENCH_RUNS");
    const int runs = std::max(1, runsText ? std::atoi(runsText) : 5);
    std::printf("BackupSinkBench: into %s, median of %d runs\n", fs::absolute(work).c_str(), runs);
    for (const FileSet& set : sets) {
        if (!only.empty() && only != set.name)
            continue;
        const Bytes content = randomBytes(set.byteCount, 42);
        const double megabytes = double(set.byteCount) * set.count / 1e6;
        writeSources(work / "source" / set.name, set, content);
        std::vector<double> sinkRuns, peerRuns, copyRuns, sinkCpuRuns;
        for (int run = 0; run < runs; ++run) {
            bench::runShell("sync"); // nobody's dirty pages are left to the measured runs
            // The library's folder is there, as one the user chose is: the sink never makes it.
            fs::create_directories(work / "library" / set.name);
            const double cpuBefore = bench::cpuSeconds();
            const auto [sinkSeconds, stored] = receiveIntoSink(work / "library" / set.name, set, content);
            sinkCpuRuns.push_back(bench::cpuSeconds() - cpuBefore);
            if (stored != set.count) {
                std::fprintf(stderr, "BackupSinkBench: stored %lld of %d files\n", static_cast<long long>(stored), set.count);
                return EXIT_FAILURE;
            }
            sinkRuns.push_back(sinkSeconds);
            bench::runShell("sync");
            peerRuns.push_back(durablePeerSeconds(work / "durable" / set.name, set, content));
            bench::runShell("sync");
            fs::create_directories(work / "copy");
            const bench::Run copy = bench::runShell(QString::fromStdString("cp -r " + (work / "source" / set.name).string()
                + " " + (work / "copy" / set.name).string() + " && sync"));
            if (!fs::exists(work / "copy" / set.name / fileName(set.count - 1))) {
                std::fprintf(stderr, "BackupSinkBench: cp did not copy\n");
                return EXIT_FAILURE;
            }
            copyRuns.push_back(copy.wallSeconds);
            for (const char* folder : {"library", "durable", "copy"})
                fs::remove_all(work / folder / set.name);
        }
        const double sinkSeconds = median(sinkRuns), peerSeconds = median(peerRuns), copySeconds = median(copyRuns);
        auto line = [&](const char* what, double seconds) {
            std::printf("    %-52s %7.1f MB/s  %7.1f files/s  (%.2f s)\n", what, megabytes / seconds, set.count / seconds, seconds);
        };
        std::printf("  %d files of %.0f MB (%.0f MB):\n", set.count, double(set.byteCount) / 1e6, megabytes);
        line("session + sink (index row included)", sinkSeconds);
        std::printf("      (%.2f CPU s with the phone)\n", median(sinkCpuRuns));
        line("durable peer: write + fsync + rename + folder fsync", peerSeconds);
        line("cp -r + sync (for comparison, not durable per file)", copySeconds);
        std::printf("    ratio sink / durable peer: %.2f (target >= 0.8); sink / (cp + sync): %.2f\n",
            peerSeconds / sinkSeconds, copySeconds / sinkSeconds);
        std::fflush(stdout);
        fs::remove_all(work / "source" / set.name);
    }
    fs::remove_all(work);
    return EXIT_SUCCESS;
}
