#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

namespace app {

// The program speaks Chinese whatever the system's locale (often C.UTF-8 on a fresh install):
// the sizes and dates it shows take their words and order from Chinese, not from the locale.
namespace DisplayText {

QLocale locale();
// Decimal units, as file browsers count: "0 字节", "767 字节", "2.3 kB", "1.2 GB".
QString byteCount(qint64 bytes);
// A short date and time in the local time zone: "2026/12/8 13:50".
QString shortDateTime(const QDateTime& dateTime);

} // namespace DisplayText

} // namespace app
