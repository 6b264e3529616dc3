#pragma once

#include "p2p/protocol/messages/AssetDescriptor.h"

#include <cstdint>
#include <optional>

namespace p2p {

inline bool isInFileList(const AssetDescriptor& asset, std::int64_t fileIndex)
{
    return fileIndex >= 0 && static_cast<std::uint64_t>(fileIndex) < asset.files.size();
}

// The file index of the asset's primary file: the first with that role, else the first file.
inline std::optional<std::int64_t> primaryIndex(const AssetDescriptor& asset)
{
    for (std::size_t i = 0; i < asset.files.size(); ++i) {
        if (asset.files[i].role == FileDescriptor::Role::primary)
            return static_cast<std::int64_t>(i);
    }
    if (asset.files.empty())
        return std::nullopt;
    return 0;
}

inline bool isPairedVideo(const AssetDescriptor& asset, std::int64_t fileIndex)
{
    return asset.kind == AssetKind::livePhoto && isInFileList(asset, fileIndex)
        && asset.files[static_cast<std::size_t>(fileIndex)].role == FileDescriptor::Role::pairedVideo;
}

// The other half of a live photo, which must share the file's stem: the movie for the still, the
// still for the (first) movie. None for every other file.
inline std::optional<std::int64_t> livePhotoPartner(const AssetDescriptor& asset, std::int64_t fileIndex)
{
    const std::optional<std::int64_t> still = primaryIndex(asset);
    if (asset.kind != AssetKind::livePhoto || !still)
        return std::nullopt;
    std::optional<std::int64_t> movie;
    for (std::size_t i = 0; i < asset.files.size() && !movie; ++i) {
        if (isPairedVideo(asset, static_cast<std::int64_t>(i)))
            movie = static_cast<std::int64_t>(i);
    }
    if (!movie)
        return std::nullopt;
    if (fileIndex == *still)
        return movie;
    if (fileIndex == *movie)
        return still;
    return std::nullopt;
}

} // namespace p2p
