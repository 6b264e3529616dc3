#include "app/models/DisplayText.h"

namespace app::DisplayText {

QLocale locale()
{
    return QLocale(QLocale::Chinese, QLocale::China);
}

QString byteCount(qint64 bytes)
{
    return locale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

QString shortDateTime(const QDateTime& dateTime)
{
    return locale().toString(dateTime.toLocalTime(), QLocale::ShortFormat);
}

} // namespace app::DisplayText
