#include "app/views/video/MediaBackend.h"

#include <QByteArray>
#include <QtGlobal>

namespace app {

void useMediaBackend()
{
    if (qEnvironmentVariableIsEmpty("QT_MEDIA_BACKEND"))
        qputenv("QT_MEDIA_BACKEND", QByteArrayLiteral("ffmpeg"));
}

} // namespace app
