#pragma once

#include <QString>

#include <memory>

struct AVFormatContext;
struct AVIOInterruptCB;

namespace app {

struct FormatContextCloser {
    void operator()(AVFormatContext* context) const;
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextCloser>;

// Either way a file whose header would cost more than the header bound to read is not opened.
enum class MediaAccess {
    frames,  // packets are read in order: the kernel's read-ahead helps
    headers, // only the container's headers: small reads at scattered offsets (a 'moov' after the
             // 'mdat' is reached by seeking), with no read-ahead added on a cold drive
};

// Opens a video file from a drive. Only the container formats we read and only the file protocol
// are allowed: a ".mov" holding an HLS playlist would otherwise make FFmpeg open other files or URLs.
// Null when the file cannot be opened; `error` then gets FFmpeg's code. `interrupt`, when given, is
// asked during the opening too, so a hung drive does not hold whoever waits for the caller.
FormatContextPtr openUntrustedMediaFile(const QString& path, MediaAccess access = MediaAccess::frames,
                                        const AVIOInterruptCB* interrupt = nullptr, int* error = nullptr);

} // namespace app
