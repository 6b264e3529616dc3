#pragma once
// Which name each received file gets when names collide: one table, run on the test's own folder
// and on a real exFAT volume.

#include "p2p/backup/BackupFolderLayout.h"
#include "support/p2p/FakePhone.h"

#include "SinkTestSupport.h"

#include <fstream>

namespace p2p::testing {

struct NameStep {
    AssetDescriptor asset;
    std::int64_t index;
    std::uint8_t seed;
    std::string sentAs = {}; // the file begin's name when it differs from the manifest's
};

struct NameCollisionCase {
    const char* name;
    std::map<std::string, std::uint8_t> existing; // unindexed files already in Photos; seed 0: a folder
    std::vector<NameStep> steps;
    std::map<std::string, std::uint8_t> expectedFiles; // Photos afterwards (Videos as "Videos/…"); seed 0: a folder's file
    std::map<std::string, std::string> expectedRows;   // asset → stored name
    bool caseInsensitive = false; // emulated where the volume is not
    std::vector<NameStep> earlier = {};     // stored by an earlier backup, before the steps
    std::vector<std::string> lostRows = {}; // that backup's rows lost since (a power cut, a crash before the row)
};

inline Bytes nameCaseBytes(std::uint8_t seed)
{
    return FakePhone::patternBytes(seed == 0 ? 3 : 64, seed == 0 ? 200 : seed);
}

inline AssetDescriptor photoOf(std::string id, std::vector<std::string> names)
{
    AssetDescriptor asset = FakePhone::photo(std::move(id), names.front(), 64);
    for (std::size_t i = 1; i < names.size(); ++i)
        asset.files.push_back({FileDescriptor::Role::primary, names[i], 64});
    return asset;
}

inline std::vector<NameCollisionCase> nameCollisionCases()
{
    const AssetDescriptor a = FakePhone::photo("A", "IMG_1.JPG", 64);
    const AssetDescriptor b = FakePhone::photo("B", "IMG_1.JPG", 64);
    const AssetDescriptor stillOnly = FakePhone::photo("P", "IMG_1.HEIC", 64);
    const AssetDescriptor movieNamed = FakePhone::photo("M", "IMG_1.MOV", 64);
    const AssetDescriptor live = FakePhone::livePhoto("L", "IMG_1.HEIC", 64, "IMG_1_video.mp4", 64);
    const AssetDescriptor lower = FakePhone::photo("A", "img_0001.jpg", 64);
    const AssetDescriptor edited = photoOf("E", {"IMG_0001.JPG", "IMG_E0001.JPG"});
    const AssetDescriptor rawAndJpeg = photoOf("R", {"IMG_0002.DNG", "IMG_0002.JPG"});
    const AssetDescriptor png = FakePhone::photo("Y", "a.png", 64);
    const AssetDescriptor resent = FakePhone::photo("X", "x.png", 64);
    const AssetDescriptor plain = FakePhone::photo("N", "img_1", 64);
    const AssetDescriptor sameName = photoOf("S", {"IMG_1.JPG", "IMG_1.JPG"});
    const AssetDescriptor clip = FakePhone::video("V", "CLIP.MOV", 64);
    const AssetDescriptor otherClip = FakePhone::video("W", "CLIP.MP4", 64);
    return {
        {"two assets, one name", {}, {{a, 0, 1}, {b, 0, 2}}, {{"IMG_1.JPG", 1}, {"IMG_1_2.JPG", 2}},
            {{"A", "IMG_1.JPG"}, {"B", "IMG_1_2.JPG"}}},
        {"a re-sent file of the same asset replaces its own copy", {}, {{a, 0, 1}, {a, 0, 3}}, {{"IMG_1.JPG", 3}},
            {{"A", "IMG_1.JPG"}}},
        {"the paired video follows its still's new stem", {}, {{stillOnly, 0, 1}, {live, 0, 2}, {live, 1, 3}},
            {{"IMG_1.HEIC", 1}, {"IMG_1_2.HEIC", 2}, {"IMG_1_2.MOV", 3}}, {{"P", "IMG_1.HEIC"}, {"L", "IMG_1_2.HEIC"}}},
        {"a still moves when its video's name is another asset's", {}, {{movieNamed, 0, 1}, {live, 0, 2}, {live, 1, 3}},
            {{"IMG_1.MOV", 1}, {"IMG_1_2.HEIC", 2}, {"IMG_1_2.MOV", 3}}, {{"M", "IMG_1.MOV"}, {"L", "IMG_1_2.HEIC"}}},
        {"the same bytes left unrecorded by a cut-off backup are taken over", {{"IMG_1.JPG", 1}}, {{a, 0, 1}},
            {{"IMG_1.JPG", 1}}, {{"A", "IMG_1.JPG"}}},
        {"other bytes left unrecorded are kept", {{"IMG_1.JPG", 9}}, {{a, 0, 1}}, {{"IMG_1.JPG", 9}, {"IMG_1_2.JPG", 1}},
            {{"A", "IMG_1_2.JPG"}}},
        {"a folder at the name is left alone", {{"IMG_1.JPG", 0}}, {{a, 0, 1}},
            {{"IMG_1.JPG/inside", 0}, {"IMG_1_2.JPG", 1}}, {{"A", "IMG_1_2.JPG"}}},
        {"a case-insensitive volume sees the other case", {{"IMG_0001.JPG", 9}}, {{lower, 0, 1}},
            {{"IMG_0001.JPG", 9}, {"img_0001_2.jpg", 1}}, {{"A", "img_0001_2.jpg"}}, true},
        {"an original and its edit keep their own names", {}, {{edited, 0, 1}, {edited, 1, 2}},
            {{"IMG_0001.JPG", 1}, {"IMG_E0001.JPG", 2}}, {{"E", "IMG_0001.JPG"}}},
        {"RAW and JPEG of one stem: only the taken one is numbered", {{"IMG_0002.DNG", 9}},
            {{rawAndJpeg, 0, 1}, {rawAndJpeg, 1, 2}}, {{"IMG_0002.DNG", 9}, {"IMG_0002_2.DNG", 1}, {"IMG_0002.JPG", 2}},
            {{"R", "IMG_0002_2.DNG"}}},
        {"a movie put there by hand is kept; the live photo moves as a pair", {{"IMG_1.MOV", 9}},
            {{live, 0, 2}, {live, 1, 3}}, {{"IMG_1.MOV", 9}, {"IMG_1_2.HEIC", 2}, {"IMG_1_2.MOV", 3}},
            {{"L", "IMG_1_2.HEIC"}}},
        {"another photo takes the movie's name between still and movie", {},
            {{live, 0, 2}, {movieNamed, 0, 1}, {live, 1, 3}}, {{"IMG_1.MOV", 1}, {"IMG_1_2.HEIC", 2}, {"IMG_1_2.MOV", 3}},
            {{"M", "IMG_1.MOV"}, {"L", "IMG_1_2.HEIC"}}},
        {"a re-sent file naming another asset's file stays its own", {},
            {{png, 0, 1}, {resent, 0, 2}, {resent, 0, 3, "a.png"}}, {{"a.png", 1}, {"x.png", 3}},
            {{"Y", "a.png"}, {"X", "x.png"}}},
        {"a stored name ending in .PART outlives a partial of another case", {{"IMG_1.PART", 9}}, {{plain, 0, 1}},
            {{"IMG_1.PART", 9}, {"img_1", 1}}, {{"N", "img_1"}}},
        {"an original and its edit of one name keep both", {}, {{sameName, 0, 1}, {sameName, 1, 2}},
            {{"IMG_1.JPG", 1}, {"IMG_1_2.JPG", 2}}, {{"S", "IMG_1.JPG"}}},
        {"a recorded asset sent again keeps its second file off its first", {}, {{sameName, 1, 2}, {sameName, 0, 1}},
            {{"IMG_1.JPG", 1}, {"IMG_1_2.JPG", 2}}, {{"S", "IMG_1.JPG"}}, false, {{sameName, 0, 1}, {sameName, 1, 2}}},
        // Another asset's file of the same stem says nothing about whose the movie is.
        {"a live photo whose row was lost takes its pair over beside a photo of its stem", {},
            {{live, 0, 2}, {live, 1, 3}}, {{"IMG_1.JPG", 1}, {"IMG_1.HEIC", 2}, {"IMG_1.MOV", 3}},
            {{"A", "IMG_1.JPG"}, {"L", "IMG_1.HEIC"}}, false, {{a, 0, 1}, {live, 0, 2}, {live, 1, 3}}, {"L"}},
        {"a video whose row was lost is taken over beside a video of its stem", {}, {{clip, 0, 2}},
            {{"Videos/CLIP.MP4", 1}, {"Videos/CLIP.MOV", 2}}, {{"W", "CLIP.MP4"}, {"V", "CLIP.MOV"}}, false,
            {{otherClip, 0, 1}, {clip, 0, 2}}, {"V"}},
    };
}

// The files in Photos and each row's stored name after the case's steps in `library`.
struct NameOutcome {
    std::map<std::string, std::uint32_t> files;
    std::map<std::string, std::string> rows;
    friend bool operator==(const NameOutcome&, const NameOutcome&) = default;
};

inline NameOutcome expectedOutcome(const NameCollisionCase& c)
{
    NameOutcome outcome;
    for (const auto& [name, seed] : c.expectedFiles)
        outcome.files[name] = CRC32::value(nameCaseBytes(seed));
    outcome.rows = c.expectedRows;
    return outcome;
}

inline NameOutcome runNameCollisionCase(
    const NameCollisionCase& c, const std::filesystem::path& library, FileSystemSinkEnvironment environment)
{
    namespace fs = std::filesystem;
    const fs::path root = BackupFolderLayout::resolveBackupRoot(library, FakePhone::device());
    for (const auto& [name, seed] : c.existing) {
        const fs::path path = seed == 0 ? root / "Photos" / name / "inside" : root / "Photos" / name;
        fs::create_directories(path.parent_path());
        const Bytes bytes = nameCaseBytes(seed);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    SinkDriver driver;
    auto backup = [&](const std::vector<NameStep>& steps) {
        auto sink = std::make_shared<FileSystemAssetSink>(driver.worker.executor(), library, environment);
        driver.prepare(*sink, FakePhone::device());
        for (const NameStep& step : steps)
            driver.store(*sink, step.asset, step.index, nameCaseBytes(step.seed), step.sentAs);
        driver.run(sink->finishSession(Uuid(), SessionEnd::Reason::completed));
    };
    if (!c.earlier.empty())
        backup(c.earlier);
    for (const std::string& assetID : c.lostRows)
        deleteIndexRow(root, assetID);
    backup(c.steps);

    NameOutcome outcome;
    outcome.files = filesUnder(root / "Photos");
    for (const auto& [name, crc] : filesUnder(root / "Videos"))
        outcome.files["Videos/" + name] = crc;
    for (const IndexRow& row : indexRows(root))
        outcome.rows[row.id] = fs::path(row.path).filename().string();
    return outcome;
}

} // namespace p2p::testing
