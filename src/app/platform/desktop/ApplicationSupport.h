#pragma once

#include <QString>

namespace app {

// The program's own data folder: "Tessivarnholm" under the user's data location
// (~/.local/share/Tessivarnholm unless XDG_DATA_HOME says otherwise).
QString applicationSupportFolder();

// The program's caches, made again when missing: ~/.cache/Tessivarnholm unless XDG_CACHE_HOME says
// otherwise. Not Qt's per-application cache location, which names the program twice.
QString applicationCacheFolder();

} // namespace app
