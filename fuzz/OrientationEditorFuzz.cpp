// Hostile HEIF and TIFF files through the orientation editors: each either refuses the file or
// gives one that reads back with exactly the intended turn; nothing else may happen.
#include "app/services/rotation/HeifOrientationEditor.h"
#include "app/services/rotation/OrientationEditing.h"
#include "app/services/rotation/TiffOrientationEditor.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace app;

namespace {

void heif(std::string_view file, int turns)
{
    std::string out;
    try {
        out = HeifOrientationEditor::rotated(file, turns);
    } catch (const OrientationEditError&) {
        return;
    }
    // An edit succeeds only for files whose transforms read, and it reads back as turned.
    const auto before = HeifOrientationEditor::transforms(file);
    const auto after = HeifOrientationEditor::transforms(out);
    if (before.size() != after.size() || out.size() < file.size())
        std::abort();
    for (const auto& [item, transform] : before)
        if (after.at(item) != HeifOrientationEditor::turned(transform, turns))
            std::abort();
}

void tiff(std::string_view file, int value)
{
    std::string out(file);
    try {
        TiffOrientationEditor::setOrientation(out, value);
    } catch (const OrientationEditError&) {
        if (out != file)
            std::abort();
        return;
    }
    if (TiffOrientationEditor::orientation(out) != value)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    for (int turns = 1; turns <= 3; ++turns)
        heif(file, turns);
    tiff(file, 6);
    return 0;
}
