#include "p2p/backup/BackupFolderLayout.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

using namespace p2p;
using p2p::testing::TempFolder;
using p2p::testing::writeTextFile;
namespace fs = std::filesystem;

namespace {

DeviceInfo phone(std::string name, std::string identifier)
{
    DeviceInfo info;
    info.name = std::move(name);
    info.identifier = std::move(identifier);
    return info;
}

void makeBackupFolder(const fs::path& folder, const std::string& markerText)
{
    fs::create_directories(folder);
    if (!markerText.empty())
        writeTextFile(folder / BackupFolderLayout::markerFileName, markerText);
}

std::string markerOf(const std::string& id)
{
    return BackupFolderLayout::DeviceMarker{id, "别的手机", 700000000.25}.encode();
}

bool hasSubfolders(const fs::path& root)
{
    return fs::is_directory(root / "Photos") && fs::is_directory(root / "Videos") && fs::is_directory(root / ".backupdb");
}

} // namespace

TEST(BackupFolderLayout, RulesApplyInOrder)
{
    struct Case {
        const char* name;
        std::string libraryName;
        std::function<void(const fs::path& library)> arrange;
        DeviceInfo peer;
        std::string expected;       // relative to the library; "." is the library itself
        std::string expectedMarker; // deviceId of the chosen folder's marker afterwards; "" none
    };
    const DeviceInfo me = phone("小明的手机", "ME");
    auto nothing = [](const fs::path&) {};
    const std::vector<Case> cases = {
        {"library named like a backup folder is used for any phone", "Kalvenstroud_Old",
            [](const fs::path& lib) { writeTextFile(lib / ".Quintarelo_device", markerOf("OTHER")); }, me, ".",
            "OTHER"},
        {"library holding a marker, even a folder, is used without listing", "Lib",
            [](const fs::path& lib) {
                fs::create_directories(lib / ".Quintarelo_device");
                makeBackupFolder(lib / "Kalvenstroud_小明的手机", markerOf("ME"));
            },
            me, ".", ""},
        {"marker beats name", "Lib",
            [](const fs::path& lib) {
                makeBackupFolder(lib / "Kalvenstroud_小明的手机", "");
                makeBackupFolder(lib / "Kalvenstroud_旧名字", markerOf("ME"));
            },
            me, "Kalvenstroud_旧名字", "ME"},
        {"corrupt marker: found by name, not rewritten", "Lib",
            [](const fs::path& lib) { makeBackupFolder(lib / "Kalvenstroud_小明的手机", "{\"deviceId\": 5"); }, me,
            "Kalvenstroud_小明的手机", ""},
        {"name taken by another phone's folder: next free number", "Lib",
            [](const fs::path& lib) { makeBackupFolder(lib / "Kalvenstroud_小明的手机", markerOf("OTHER")); }, me,
            "Kalvenstroud_小明的手机_2", "ME"},
        {"name taken by files: _2 and _3 skipped", "Lib",
            [](const fs::path& lib) {
                writeTextFile(lib / "Kalvenstroud_小明的手机", "");
                writeTextFile(lib / "Kalvenstroud_小明的手机_2", "");
            },
            me, "Kalvenstroud_小明的手机_3", "ME"},
        {"hidden folders are never candidates", "Lib",
            [](const fs::path& lib) { makeBackupFolder(lib / ".Kalvenstroud_x", markerOf("ME")); }, me,
            "Kalvenstroud_小明的手机", "ME"},
        {"separators in the device name", "Lib", nothing, phone("A/B:C", "ME"), "Kalvenstroud_A_B_C", "ME"},
        {"doubled separators stay doubled", "Lib", nothing, phone("a//b", "ME"), "Kalvenstroud_a__b", "ME"},
        {"empty device name", "Lib", nothing, phone("", "ME"), "Kalvenstroud_", "ME"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder temp;
        const fs::path library = temp / c.libraryName;
        fs::create_directories(library);
        c.arrange(library);
        const fs::path root = BackupFolderLayout::resolveBackupRoot(library, c.peer);
        EXPECT_EQ(root, c.expected == "." ? library : library / c.expected);
        EXPECT_TRUE(hasSubfolders(root));
        const auto marker = BackupFolderLayout::readMarker(root);
        EXPECT_EQ(marker ? marker->deviceId : "", c.expectedMarker);
    }
}

TEST(BackupFolderLayout, TwoPhonesWithOneNameKeepTheirOwnFolders)
{
    TempFolder library;
    const DeviceInfo first = phone("iPhone", "FIRST");
    const DeviceInfo second = phone("iPhone", "SECOND");
    const fs::path firstRoot = BackupFolderLayout::resolveBackupRoot(library.path(), first);
    const fs::path secondRoot = BackupFolderLayout::resolveBackupRoot(library.path(), second);
    EXPECT_EQ(firstRoot, library / "Kalvenstroud_iPhone");
    EXPECT_EQ(secondRoot, library / "Kalvenstroud_iPhone_2");
    EXPECT_EQ(BackupFolderLayout::resolveBackupRoot(library.path(), first), firstRoot);
    EXPECT_EQ(BackupFolderLayout::resolveBackupRoot(library.path(), second), secondRoot);
    EXPECT_EQ(BackupFolderLayout::readMarker(firstRoot)->deviceId, "FIRST");
    EXPECT_EQ(BackupFolderLayout::readMarker(secondRoot)->deviceId, "SECOND");
    EXPECT_EQ(BackupFolderLayout::readMarker(secondRoot)->deviceName, "iPhone");
}

TEST(BackupFolderLayout, DeviceNamesWithNulAndOverlongNamesMakeUsableFolders)
{
    std::string longName;
    for (int i = 0; i < 100; ++i)
        longName += "机"; // 300 bytes
    struct Case {
        std::string deviceName;
        std::string folder;
        std::string secondPhonesFolder; // another phone of the same name
    };
    const std::vector<Case> cases = {
        {std::string("a\0b", 3), "Kalvenstroud_a_b", "Kalvenstroud_a_b_2"},
        {"tab\there\x1f\x7f", "Kalvenstroud_tab_here__", "Kalvenstroud_tab_here___2"}, // exFAT refuses them
        // 13 bytes of prefix leave 242, which is 80 whole characters.
        {longName, "Kalvenstroud_" + longName.substr(0, 240), "Kalvenstroud_" + longName.substr(0, 240) + "_2"},
        {std::string(300, 'L'), "Kalvenstroud_" + std::string(242, 'L'), "Kalvenstroud_" + std::string(240, 'L') + "_2"},
    };
    for (const Case& c : cases) {
        TempFolder library;
        const DeviceInfo peer = phone(c.deviceName, "ID");
        EXPECT_EQ(BackupFolderLayout::folderName(peer), c.folder);
        const fs::path root = BackupFolderLayout::resolveBackupRoot(library.path(), peer);
        EXPECT_EQ(root, library / c.folder);
        EXPECT_TRUE(hasSubfolders(root));
        EXPECT_EQ(BackupFolderLayout::readMarker(root)->deviceName, c.deviceName);
        EXPECT_EQ(BackupFolderLayout::resolveBackupRoot(library.path(), phone(c.deviceName, "ID-2")),
            library / c.secondPhonesFolder);
    }
}

TEST(BackupFolderLayout, MarkerCoding)
{
    const BackupFolderLayout::DeviceMarker marker{"ID-1", "手机\"1\"", 123456789.5};
    EXPECT_EQ(marker.encode(), R"({"deviceId":"ID-1","deviceName":"手机\"1\"","createdAt":123456789.5})");
    EXPECT_EQ(BackupFolderLayout::DeviceMarker::decode(marker.encode()), marker);

    struct Case {
        std::string text;
        bool valid;
    };
    const std::vector<Case> cases = {
        {R"({"createdAt":1,"deviceName":"n","deviceId":"i","extra":true})", true},
        {R"({"deviceId":"i","deviceName":"n"})", false},
        {R"({"deviceId":1,"deviceName":"n","createdAt":1})", false},
        {R"({"deviceId":"i","deviceName":"n","createdAt":"yesterday"})", false},
        {R"(["i","n",1])", false},
        {"not json", false},
        {"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BackupFolderLayout::DeviceMarker::decode(c.text).has_value(), c.valid) << c.text;

    // A new folder's marker dates from now, counted from 2001.
    TempFolder library;
    const fs::path root = BackupFolderLayout::resolveBackupRoot(library.path(), phone("P", "ID"));
    const std::chrono::duration<double> now = std::chrono::system_clock::now().time_since_epoch();
    EXPECT_NEAR(BackupFolderLayout::readMarker(root)->createdAt, now.count() - 978307200.0, 60.0);
    EXPECT_FALSE(fs::exists(root / ".Quintarelo_device.tmp"));
}
