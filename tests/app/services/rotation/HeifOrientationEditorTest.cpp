#include "app/services/rotation/HeifOrientationEditor.h"
#include "app/services/rotation/OrientationEditing.h"

#include "support/app/CraftedHeif.h"
#include "support/app/Fixtures.h"

#include <gtest/gtest.h>

#include <QFile>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using namespace app;

namespace {

std::string bytesOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

std::size_t irotCount(const std::string& file)
{
    std::size_t count = 0;
    for (std::size_t at = file.find("irot"); at != std::string::npos; at = file.find("irot", at + 4))
        ++count;
    return count;
}

} // namespace

// The image's own irot is rewritten, so turning again and again never grows the file; one is added
// only where the image has none.
TEST(HeifOrientationEditor, TurnsRewriteTheIrotTheImageUses)
{
    for (const char* fixture : {"rotation/orientation-1.heic", "rotation/orientation-6.heic",
                                "rotation/layout-shared-irot-orientation-6.heic", "rotation/grid-orientation-5.heic"}) {
        SCOPED_TRACE(fixture);
        const std::string original = bytesOf(app::test::fixturePath(fixture));
        ASSERT_FALSE(original.empty());
        const std::size_t irots = std::max<std::size_t>(irotCount(original), 1);
        std::string file = HeifOrientationEditor::rotated(original, 1);
        const std::size_t size = file.size();
        for (int turn = 1; turn <= 4; ++turn) {
            if (turn > 1)
                file = HeifOrientationEditor::rotated(file, 1);
            EXPECT_EQ(file.size(), size) << "turn " << turn;
            EXPECT_EQ(irotCount(file), irots) << "turn " << turn;
        }
        EXPECT_EQ(HeifOrientationEditor::transforms(file), HeifOrientationEditor::transforms(original));
    }
}

// Crafted files of the fuzz corpus: each is refused with the editor's error instead of costing
// memory or coming back broken.
TEST(HeifOrientationEditor, CraftedStructuresAreRefused)
{
    struct Case {
        const char* file;
        const char* reason;
    };
    const Case cases[] = {
        // Field widths of 0: each extent takes no bytes, so 8 KB could declare millions.
        {"iloc-zero-widths.heic", "iloc 无法完整读取"},
        {"iloc-zero-widths-8k.heic", "iloc 无法完整读取"},
        // Turning the Exif tag rewrites the property box's size: only reading it back shows that.
        {"exif-over-the-property-box.heic", "HEIF 结构无法处理"},
    };
    // Crafted here under the item limit, so that each is refused by its own rule: one item placed
    // twice (which place holds?), and extents whose fields have no width (so cost no bytes).
    using Locations = ::test::craftedheif::Shape::Locations;
    std::map<std::string, QByteArray> crafted;
    for (const auto& [name, locations] : {std::pair {"primary placed twice", Locations::primaryTwice},
             std::pair {"three zero-width extents", Locations::zeroWidthExtents}}) {
        ::test::craftedheif::Shape shape;
        shape.quarterTurns = 1;
        shape.locations = locations;
        crafted[name] = ::test::craftedheif::build(shape);
    }
    std::vector<Case> all(std::begin(cases), std::end(cases));
    if (!crafted.begin()->second.isEmpty()) {
        for (const auto& [name, bytes] : crafted)
            all.push_back({name.c_str(), "iloc 无法完整读取"});
    }
    for (const Case& c : all) {
        SCOPED_TRACE(c.file);
        const auto made = crafted.find(c.file);
        const std::string file = made != crafted.end()
            ? made->second.toStdString()
            : bytesOf(QStringLiteral(TESS_TESTS_DIR "/../fuzz/corpus/orientation_editor/") + c.file);
        ASSERT_FALSE(file.empty());
        try {
            HeifOrientationEditor::rotated(file, 1);
            ADD_FAILURE() << "not refused";
        } catch (const OrientationEditError& e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
        }
    }
}
