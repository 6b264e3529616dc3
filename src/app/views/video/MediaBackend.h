#pragma once

namespace app {

// Picks Qt's FFmpeg media backend for playback unless QT_MEDIA_BACKEND already names one. Measured
// on two cores with phone clips (4K HEVC, 45 Mb/s), GStreamer's pipeline drops nearly every frame
// as late once decoding falls behind, while the FFmpeg backend shows what it decodes. Call it
// before anything touches Qt Multimedia.
void useMediaBackend();

} // namespace app
