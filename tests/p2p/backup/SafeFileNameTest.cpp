#include "p2p/backup/SafeFileName.h"

#include <gtest/gtest.h>

#include <string>

using namespace p2p;

TEST(SafeFileName, HostileNamesBecomeOneSafeComponent)
{
    const std::string longStem(300, 'a');
    const std::string longChinese = [] {
        std::string text;
        for (int i = 0; i < 100; ++i)
            text += "照"; // three bytes each
        return text;
    }();
    struct Case {
        std::string name;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"IMG_0001.HEIC", "IMG_0001.HEIC"},
        {"../../x", "x"},
        {"/etc/passwd", "passwd"},
        {"a/b", "b"},
        {"dir/", "A-1_3"},
        {"", "A-1_3"},
        {".", "A-1_3"},
        {"..", "A-1_3"},
        {". .", "A-1_3"},
        {std::string("a\0b.jpg", 7), "a_b.jpg"},
        {"a:b*c?d\"e<f>g|h\\i.jpg", "a_b_c_d_e_f_g_h_i.jpg"},
        {"tab\there\x7f.jpg", "tab_here_.jpg"},
        {"bad\xff\xfe.jpg", "bad__.jpg"},
        {"overlong\xc0\xaf.jpg", "overlong__.jpg"},
        {"unit\x1fsep.jpg", "unit_sep.jpg"},
        {"surrogate\xed\xa0\x80.jpg", "surrogate___.jpg"},
        {"x.part", "x.part_"},
        {"x.PART", "x.PART"},
        {".hidden", ".hidden"},
        {longStem + ".HEIC", std::string(245, 'a') + ".HEIC"},
        {longStem, std::string(250, 'a')},
        {longChinese + ".JPG", longChinese.substr(0, 246) + ".JPG"}, // 82 whole characters
        {std::string(245, 'b') + ".part", std::string(245, 'b') + ".par_"},
    };
    for (const Case& c : cases) {
        const std::string safe = safeFileComponent(c.name, "A-1", 3);
        EXPECT_EQ(safe, c.expected) << c.name;
        EXPECT_LE(safe.size(), maximumStoredNameByteCount) << c.name;
    }
    // The fallback comes from the asset, itself made safe; an unusable asset identifier still
    // gives a name.
    EXPECT_EQ(safeFileComponent("..", "../evil/ID", 0), ".._evil_ID_0");
    EXPECT_EQ(safeFileComponent("", "", 7), "file_7");
}

TEST(SafeFileName, NumberedNamesKeepTheExtensionAndTheLimit)
{
    EXPECT_EQ(numberedFileName("IMG_0001.HEIC", 2), "IMG_0001_2.HEIC");
    EXPECT_EQ(numberedFileName("noext", 10), "noext_10");
    EXPECT_EQ(numberedFileName(".hidden", 3), ".hidden_3");
    const std::string full = std::string(245, 'a') + ".HEIC";
    EXPECT_EQ(numberedFileName(full, 2), std::string(243, 'a') + "_2.HEIC");
    EXPECT_EQ(fileStem("IMG_1.live.HEIC"), "IMG_1.live");
    EXPECT_EQ(fileExtension(".hidden"), "");
}
