#pragma once

#include <QFont>

namespace app {

// The day titles' font, for laying them out and for painting them alike.
QFont gridHeaderFont(const QFont& base);

} // namespace app
