#pragma once

// A phone's backup of real fixture files (a live photo pair, a HEIC, a video), and the checks that
// it landed in a new library: files byte for byte, marker, index rows, the library in the store,
// the summary. Shared by the end-to-end tests of the receive model on every road.

#include "app/services/library/LibraryStore.h"
#include "app/services/receive/PeerReceiveModel.h"

#include "p2p/backup/BackupFolderLayout.h"
#include "p2p/backup/BackupIndex.h"
#include "support/app/FakeReceiveTransports.h"
#include "support/app/Fixtures.h"
#include "support/app/QtPrinters.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <future>
#include <set>

namespace app::testing {

using p2p::testing::FakeFile;
using p2p::testing::FakePhone;

struct SentFile {
    std::string assetID;
    std::int64_t index;
    std::string name;
    QString fixture;
};

inline const std::vector<SentFile> sentFiles = {
    {"L1", 0, "IMG_0001.HEIC", "media/live-photo-pair/IMG_0001.HEIC"},
    {"L1", 1, "IMG_0001.MOV", "media/live-photo-pair/IMG_0001.MOV"},
    {"H1", 0, "IMG_0002.HEIC", "media/heic-with-exif.heic"},
    {"V1", 0, "IMG_0003.MOV", "media/mov-quicktime-date-iso6709.mov"},
};

inline p2p::Bytes fixtureBytes(const QString& relative)
{
    QFile file(app::test::fixturePath(relative));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << relative.toStdString();
    const QByteArray data = file.readAll();
    return p2p::Bytes(data.begin(), data.end());
}

inline std::vector<p2p::AssetDescriptor> manifest()
{
    const auto size = [](std::size_t i) { return std::int64_t(fixtureBytes(sentFiles[i].fixture).size()); };
    return {FakePhone::livePhoto("L1", "IMG_0001.HEIC", size(0), "IMG_0001.MOV", size(1)),
        FakePhone::photo("H1", "IMG_0002.HEIC", size(2)), FakePhone::video("V1", "IMG_0003.MOV", size(3))};
}

// The phone pairs with the code it is given, offers the manifest and sends what is not skipped.
inline FakeReceiveWorld::Script phoneBackup(std::shared_future<std::string> code)
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

// The first backup of the phone into the new library "Trip" at `libraryFolder` is all there.
inline void expectBackupLanded(const PeerReceiveModel& model, const LibraryStore& store, const QString& libraryFolder)
{
    std::int64_t totalBytes = 0;
    for (const SentFile& sent : sentFiles)
        totalBytes += std::int64_t(fixtureBytes(sent.fixture).size());
    EXPECT_EQ(model.phase().summary, (PeerReceiveModel::FinishSummary{4, 0, totalBytes, false}));

    // The new library is registered and shown as the destination.
    ASSERT_EQ(store.libraries().size(), 1);
    EXPECT_EQ(store.libraries().first().name, "Trip");
    EXPECT_EQ(model.destinationLibraryID(), store.libraries().first().id);
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
    QFile marker(backupRoot + "/" + QString::fromUtf8(p2p::BackupFolderLayout::markerFileName.data(), qsizetype(p2p::BackupFolderLayout::markerFileName.size())));
    ASSERT_TRUE(marker.open(QIODevice::ReadOnly));
    EXPECT_EQ(QJsonDocument::fromJson(marker.readAll()).object().value("deviceId").toString(), "PHONE-0001");
    {
        p2p::BackupIndex index(QFile::encodeName(backupRoot + "/.backupdb/backup_records.sqlite").toStdString());
        EXPECT_EQ(index.knownAssetIDs(), (std::unordered_set<std::string>{"L1", "H1", "V1"}));
    }
}

} // namespace app::testing
