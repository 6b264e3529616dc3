#pragma once

// Manifest-batch payloads of a chosen size: a normal one, and shapes that are cheap to send and dear
// to parse. Shared by the coder's tests and its benchmark, so both meet the same bytes.

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace p2p::hostile {

inline const char* const sessionText = "6F9619FF-8B86-D011-B42D-00C04FC964FF";

inline std::string batchHead()
{
    return std::string(R"({"sessionID":")") + sessionText + R"(","batchIndex":0,"entries":[)";
}

// A phone's manifest: live photos and photos with identifiers, dates, file lists and fingerprints.
inline std::string normalManifest(std::size_t size)
{
    std::string text = batchHead();
    char entry[512];
    for (int i = 0; text.size() + 400 < size; ++i) {
        const bool live = i % 3 == 0;
        std::snprintf(entry, sizeof entry,
            R"(%s{"assetID":"%08X-4B5A-6978-8796-A5B4C3D2E1F0/L0/001","kind":"%s","creationDate":%d.5,)"
            R"("modificationDate":%d,"files":[{"role":"primary","filename":"IMG_%04d.HEIC","byteCount":%d})"
            R"(%s],"fingerprint":"qf:%x"})",
            i == 0 ? "" : ",", static_cast<unsigned>(i) * 2654435761u, live ? "livePhoto" : "photo",
            1600000000 + i * 97, 1600000100 + i * 97, i % 10000, 1500000 + i,
            live ? R"(,{"role":"pairedVideo","filename":"IMG_0001.MOV","byteCount":2500000})" : "", i * 40503);
        text += entry;
    }
    return text + "]}";
}

// `[]` entries and an unknown key "x" whose value is `unit` repeated, comma separated, to fill `size`.
inline std::string wideUnknown(std::size_t size, const std::string& unit)
{
    std::string text = batchHead() + R"(],"x":[)";
    while (text.size() + 2 * unit.size() + 3 <= size) {
        text += unit;
        text += ',';
    }
    text += unit;
    return text + "]}";
}

inline std::string tinyMembers(std::size_t size)
{
    std::string text = batchHead() + R"(],"x":{)";
    for (std::size_t i = 0; text.size() + 24 < size; ++i) {
        text += "\"" + std::to_string(i) + "\":0,";
    }
    return text + R"("end":0}})";
}

inline std::string longString(std::size_t size)
{
    std::string text = batchHead() + R"(],"x":")";
    text.append(size > text.size() + 3 ? size - text.size() - 3 : 0, 'a');
    return text + "\"}";
}

// Arrays nested to the coder's depth limit (the object and "x" take two levels), side by side.
inline std::string nestedToTheLimit(std::size_t size, int depthLimit)
{
    const auto levels = static_cast<std::size_t>(depthLimit - 2);
    return wideUnknown(size, std::string(levels, '[') + std::string(levels, ']'));
}

struct Shape {
    const char* name;
    std::string (*make)(std::size_t size, int depthLimit);
    bool decodes; // else refused as malformed
};

inline const std::vector<Shape>& shapes()
{
    static const std::vector<Shape> all = {
        {"normal manifest", [](std::size_t size, int) { return normalManifest(size); }, true},
        {"wide empty objects", [](std::size_t size, int) { return wideUnknown(size, "{}"); }, false},
        {"wide empty arrays", [](std::size_t size, int) { return wideUnknown(size, "[]"); }, false},
        {"wide empty strings", [](std::size_t size, int) { return wideUnknown(size, "\"\""); }, false},
        {"wide zeros", [](std::size_t size, int) { return wideUnknown(size, "0"); }, false},
        {"many tiny members", [](std::size_t size, int) { return tinyMembers(size); }, true},
        // Padded with blanks to just under the coder's density limits: still decoded.
        {"sparse empty objects", [](std::size_t size, int) { return wideUnknown(size, "{}             "); }, true},
        {"sparse empty strings", [](std::size_t size, int) { return wideUnknown(size, "\"\" "); }, true},
        {"long string", [](std::size_t size, int) { return longString(size); }, true},
        {"nesting to the limit", nestedToTheLimit, false},
    };
    return all;
}

} // namespace p2p::hostile
