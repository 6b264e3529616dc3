#pragma once

#include <QString>

namespace app {

// The program's own data folder: "Tessivarnholm" under the user's data location
// (~/.local/share/Tessivarnholm unless XDG_DATA_HOME says otherwise).
QString applicationSupportFolder();

} // namespace app
