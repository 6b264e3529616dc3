#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace p2p {

enum class AssetKind { photo, video, livePhoto };

// One file of an asset.
struct FileDescriptor {
    enum class Role { primary, pairedVideo };

    Role role = Role::primary;
    std::string filename;
    std::int64_t byteCount = 0;

    friend bool operator==(const FileDescriptor&, const FileDescriptor&) = default;
};

// One asset of a backup manifest. Dates are seconds since 1970 as the peer sent them;
// clamp before turning one into a time point.
struct AssetDescriptor {
    std::string assetID;
    AssetKind kind = AssetKind::photo;
    std::optional<double> creationDate;
    std::optional<double> modificationDate;
    std::vector<FileDescriptor> files;
    std::optional<std::string> quickFingerprint;

    const std::string& id() const { return assetID; }
    // Sum of the files' byte counts; saturates at INT64_MAX (and INT64_MIN) instead of overflowing,
    // since the counts come from the peer.
    std::int64_t declaredByteCount() const;
    // The first primary file, else the first file, else none.
    std::optional<FileDescriptor> primaryFile() const;

    friend bool operator==(const AssetDescriptor&, const AssetDescriptor&) = default;
};

// A peer's seconds since 1970 as a time point, clamped to what the clock can hold (about the years
// 1678 to 2261; not-a-number gives 1970), so that no conversion overflows.
std::chrono::system_clock::time_point clampedTimePoint(double secondsSince1970);

// Raw texts of the enumerations, exactly as they travel.
std::string_view rawValue(AssetKind kind);
std::string_view rawValue(FileDescriptor::Role role);

// The case whose raw text equals `text` exactly (case-sensitive, no trimming).
template <typename Enum>
std::optional<Enum> fromRawValue(std::string_view text);

template <>
std::optional<AssetKind> fromRawValue<AssetKind>(std::string_view text);
template <>
std::optional<FileDescriptor::Role> fromRawValue<FileDescriptor::Role>(std::string_view text);

} // namespace p2p
