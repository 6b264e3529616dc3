#pragma once

namespace app {

// Tunes the elements Qt's GStreamer media backend builds for playback, once per process, before
// the first player is made: the colour converter it puts in front of our sink works on every core
// the process may use. Does nothing with other media backends.
void tuneGStreamerPlayback();

} // namespace app
