#include "app/platform/metadata/IsoBoxWalker.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace app::isobox;

// Every reader of boxes trusts this to keep a box inside its parent.
TEST(IsoBoxWalkerTest, MeasuresAHeaderAgainstItsRoom)
{
    using S = HeaderStatus;
    struct Case {
        const char* name;
        std::string bytes;
        std::uint64_t room; // 0: the bytes' length
        S status;
        std::uint64_t size;
        std::uint32_t headerSize;
        bool toEnd;
    };
    const std::string free8("\0\0\0\x08" "free", 8);
    const Case cases[] = {
        {"plain", free8, 0, S::ok, 8, 8, false},
        {"64-bit size", std::string("\0\0\0\x01" "mdat" "\0\0\0\0\0\0\0\x10", 16), 0, S::ok, 16, 16, false},
        {"size 0 runs to the parent's end", std::string("\0\0\0\0" "mdat", 8), 40, S::ok, 40, 8, true},
        {"header cut short", free8.substr(0, 7), 0, S::truncated},
        {"64-bit size cut short", std::string("\0\0\0\x01" "mdat" "\0\0\0", 11), 0, S::truncated},
        {"bytes beyond the room are not read", free8, 6, S::truncated},
        {"smaller than its header", std::string("\0\0\0\x07" "free", 8), 0, S::badSize},
        {"64-bit size under 16", std::string("\0\0\0\x01" "mdat" "\0\0\0\0\0\0\0\x0f", 16), 0, S::badSize},
        {"larger than the room", std::string("\0\0\0\x09" "free", 8), 0, S::badSize},
        {"64-bit size past any room", std::string("\0\0\0\x01" "mdat" "\xff\xff\xff\xff\xff\xff\xff\xff", 16), 1u << 20,
         S::badSize},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BoxHeader header;
        const auto* at = reinterpret_cast<const std::uint8_t*>(c.bytes.data());
        const std::uint64_t room = c.room ? c.room : c.bytes.size();
        ASSERT_EQ(readBoxHeader(at, c.bytes.size(), room, header), c.status);
        if (c.status != S::ok)
            continue;
        EXPECT_EQ(header.size, c.size);
        EXPECT_EQ(header.headerSize, c.headerSize);
        EXPECT_EQ(header.sizeToEnd, c.toEnd);
    }
}

// A 'uuid' box's 16-byte user type belongs to its header: its body starts after it, and the box
// after it starts where its size says (cameras and editors keep XMP in such a box before the
// boxes that carry a photo's date, size and orientation).
TEST(IsoBoxWalkerTest, ReadsChildBoxesAfterAUuidBox)
{
    const std::string userType(16, '\x5a');
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<std::pair<std::uint32_t, std::string>> boxes; // type and body, in order
    };
    const std::string uuid = std::string("\0\0\0\x1b" "uuid", 8) + userType + "XMP";
    const std::string free = std::string("\0\0\0\x0b" "free", 8) + "abc";
    const Case cases[] = {
        {"uuid then free", uuid + free, {{fourCC("uuid"), "XMP"}, {fourCC("free"), "abc"}}},
        {"free then uuid", free + uuid, {{fourCC("free"), "abc"}, {fourCC("uuid"), "XMP"}}},
        {"uuid too short for its user type", std::string("\0\0\0\x10" "uuid", 8) + userType + free, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cursor parent(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size());
        std::vector<std::pair<std::uint32_t, std::string>> read;
        Box box;
        while (nextBox(parent, box))
            read.emplace_back(box.type, std::string(reinterpret_cast<const char*>(box.body.data()), box.body.left()));
        EXPECT_EQ(read, c.boxes);
    }
}
