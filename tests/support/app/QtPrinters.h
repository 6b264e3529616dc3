#pragma once

// Readable GoogleTest failure messages for the Qt types our tests compare.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <ostream>

inline void PrintTo(const QString& value, std::ostream* os)
{
    *os << '"' << value.toStdString() << '"';
}

inline void PrintTo(const QStringList& value, std::ostream* os)
{
    *os << '[' << value.join(", ").toStdString() << ']';
}

inline void PrintTo(const QByteArray& value, std::ostream* os)
{
    *os << '"' << value.toStdString() << '"';
}

inline void PrintTo(const QUuid& value, std::ostream* os)
{
    *os << value.toString(QUuid::WithoutBraces).toStdString();
}
