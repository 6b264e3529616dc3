#include "app/platform/desktop/ApplicationSupport.h"

#include <QStandardPaths>

namespace app {

QString applicationSupportFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Tessivarnholm");
}

QString applicationCacheFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/Tessivarnholm");
}

} // namespace app
