#include "p2p/protocol/messages/AssetDescriptor.h"

#include "p2p/protocol/Saturating.h"

#include <algorithm>
#include <cmath>

namespace p2p {

std::int64_t AssetDescriptor::declaredByteCount() const
{
    std::int64_t total = 0;
    for (const FileDescriptor& file : files) {
        total = saturatingAdd(total, file.byteCount);
    }
    return total;
}

std::optional<FileDescriptor> AssetDescriptor::primaryFile() const
{
    for (const FileDescriptor& file : files) {
        if (file.role == FileDescriptor::Role::primary) {
            return file;
        }
    }
    if (files.empty()) {
        return std::nullopt;
    }
    return files.front();
}

std::chrono::system_clock::time_point clampedTimePoint(double secondsSince1970)
{
    // What the system clock's nanosecond count can hold (about the years 1678 to 2261).
    constexpr double latest = 9223372036.0;
    constexpr double earliest = -latest;
    const double seconds = std::isnan(secondsSince1970) ? 0.0 : std::clamp(secondsSince1970, earliest, latest);
    const auto micro = std::chrono::microseconds(static_cast<std::int64_t>(std::llround(seconds * 1e6)));
    return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(micro));
}

std::string_view rawValue(AssetKind kind)
{
    switch (kind) {
    case AssetKind::photo:
        return "photo";
    case AssetKind::video:
        return "video";
    case AssetKind::livePhoto:
        return "livePhoto";
    }
    return "photo";
}

std::string_view rawValue(FileDescriptor::Role role)
{
    switch (role) {
    case FileDescriptor::Role::primary:
        return "primary";
    case FileDescriptor::Role::pairedVideo:
        return "pairedVideo";
    }
    return "primary";
}

template <>
std::optional<AssetKind> fromRawValue<AssetKind>(std::string_view text)
{
    for (AssetKind kind : {AssetKind::photo, AssetKind::video, AssetKind::livePhoto}) {
        if (rawValue(kind) == text) {
            return kind;
        }
    }
    return std::nullopt;
}

template <>
std::optional<FileDescriptor::Role> fromRawValue<FileDescriptor::Role>(std::string_view text)
{
    for (FileDescriptor::Role role : {FileDescriptor::Role::primary, FileDescriptor::Role::pairedVideo}) {
        if (rawValue(role) == text) {
            return role;
        }
    }
    return std::nullopt;
}

} // namespace p2p
