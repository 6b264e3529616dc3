#pragma once

class QSettings;

namespace app {

class FileRevealer;
class LibraryStore;
struct ReceiveTransports;
class NonCapturedIndex;
class RotationWriter;
class ThumbnailProvider;

// What every view needs from the rest of the program, handed down instead of globals.
// Not owned; main() keeps the objects alive for the whole run.
struct AppContext {
    LibraryStore* store = nullptr;
    QSettings* settings = nullptr;
    ThumbnailProvider* thumbnails = nullptr;
    NonCapturedIndex* nonCaptured = nullptr;
    // The transfer thread's transports and sinks; receiving is offered only when set.
    const ReceiveTransports* receiveTransports = nullptr;
    FileRevealer* revealer = nullptr;
    // Turns photo files; outlives every viewer. Without it viewers offer no rotation.
    RotationWriter* rotations = nullptr;
};

} // namespace app
