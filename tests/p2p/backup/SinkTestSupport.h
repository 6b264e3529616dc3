#pragma once
// Driving a FileSystemAssetSink call by call, and reading back what it left on disk.

#include "p2p/backup/FileSystemAssetSink.h"
#include "p2p/backup/SinkThread.h"
#include "p2p/protocol/framing/CRC32.h"
#include "support/p2p/RunAwaitable.h"

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <memory>
#include <string>
#include <vector>

namespace p2p::testing {

inline IncomingFile incomingFile(const AssetDescriptor& asset, std::int64_t index)
{
    IncomingFile file;
    file.assetID = asset.assetID;
    file.fileIndex = index;
    file.filename = asset.files.at(static_cast<std::size_t>(index)).filename;
    file.declaredByteCount = asset.files.at(static_cast<std::size_t>(index)).byteCount;
    file.descriptor = asset;
    return file;
}

// The transfer side is `io`, run on the test's thread; the sink works on its own thread.
struct SinkDriver {
    asio::io_context io;
    SinkThread worker;

    template <typename T>
    T run(asio::awaitable<T> work) { return runAwaitable(io, std::move(work)); }
    void run(asio::awaitable<void> work) { runAwaitable(io, std::move(work)); }

    void prepare(FileSystemAssetSink& sink, const DeviceInfo& peer) { run(sink.prepareSession(Uuid(), peer)); }

    // begin, the bytes in two chunks, finish; `sentAs` the file begin's name when not the manifest's.
    void store(FileSystemAssetSink& sink, const AssetDescriptor& asset, std::int64_t index, const Bytes& bytes,
        const std::string& sentAs = {})
    {
        IncomingFile file = incomingFile(asset, index);
        if (!sentAs.empty())
            file.filename = sentAs;
        run(sink.beginFile(file));
        const auto half = static_cast<std::ptrdiff_t>(bytes.size() / 2);
        run(sink.appendChunk(Bytes(bytes.begin(), bytes.begin() + half), file));
        run(sink.appendChunk(Bytes(bytes.begin() + half, bytes.end()), file));
        run(sink.finishFile(file));
    }
};

struct IndexRow {
    std::string id;
    std::string filename;
    std::int64_t size = 0;
    std::string path;
    int mediaType = 0;
    friend bool operator==(const IndexRow&, const IndexRow&) = default;
};

inline std::vector<IndexRow> indexRows(const std::filesystem::path& backupRoot)
{
    std::vector<IndexRow> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((backupRoot / ".backupdb" / "backup_records.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr)
        != SQLITE_OK) {
        sqlite3_close(db);
        return rows;
    }
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db,
        "SELECT local_identifier, original_filename, file_size, backup_path, media_type FROM backup_records "
        "ORDER BY local_identifier",
        -1, &statement, nullptr);
    while (statement && sqlite3_step(statement) == SQLITE_ROW) {
        rows.push_back({reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)),
            reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)), sqlite3_column_int64(statement, 2),
            reinterpret_cast<const char*>(sqlite3_column_text(statement, 3)), sqlite3_column_int(statement, 4)});
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

// The asset's row gone, as a power cut or a crash before the row leaves the index.
inline void deleteIndexRow(const std::filesystem::path& backupRoot, const std::string& assetID)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2((backupRoot / ".backupdb" / "backup_records.sqlite").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    const std::string statement = "DELETE FROM backup_records WHERE local_identifier = '" + assetID + "'";
    const bool deleted = sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK && sqlite3_changes(db) == 1;
    sqlite3_close(db);
    if (!deleted)
        throw std::runtime_error("no row of " + assetID + " to delete");
}

// Every file under `root`, by path relative to it, with its bytes' CRC-32.
inline std::map<std::string, std::uint32_t> filesUnder(const std::filesystem::path& root)
{
    std::map<std::string, std::uint32_t> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        files[std::filesystem::relative(entry.path(), root).string()] = CRC32::value(bytes);
    }
    return files;
}

} // namespace p2p::testing
