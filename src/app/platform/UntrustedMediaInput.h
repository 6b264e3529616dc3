#pragma once

#include <QString>

#include <memory>

struct AVFormatContext;

namespace app {

struct FormatContextCloser {
    void operator()(AVFormatContext* context) const;
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextCloser>;

// Opens a video file from a drive. Only the container formats we read and only the file protocol
// are allowed: a ".mov" holding an HLS playlist would otherwise make FFmpeg open other files or URLs.
// Null when the file cannot be opened.
FormatContextPtr openUntrustedMediaFile(const QString& path);

} // namespace app
