#pragma once

#include <QFont>
#include <QString>

namespace app {

// Wraps `text` (anywhere, as paths have no spaces) into at most `maxLines` lines of `width` pixels,
// cutting the middle with "…" when it does not fit. Lines are joined with '\n'.
QString elidedMiddleLines(const QString& text, const QFont& font, int width, int maxLines);

} // namespace app
