#include "app/platform/volumes/MountTable.h"

#include <QFile>

namespace app::mountinfo {

QString unescape(const QByteArray& field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field[i];
        if (c == '\\' && i + 3 < field.size()) {
            const QByteArray digits = field.mid(i + 1, 3);
            bool ok = digits.size() == 3;
            for (char d : digits)
                ok = ok && d >= '0' && d <= '7';
            if (ok) {
                out.append(static_cast<char>(digits.toInt(nullptr, 8) & 0xff));
                i += 3;
                continue;
            }
        }
        out.append(c);
    }
    return QFile::decodeName(out);
}

QList<MountEntry> parse(const QByteArray& text)
{
    QList<MountEntry> entries;
    for (const QByteArray& line : text.split('\n')) {
        // Optional fields come before " - ", so split there rather than counting fields.
        const qsizetype separator = line.indexOf(" - ");
        if (separator < 0)
            continue;
        const QList<QByteArray> head = line.left(separator).split(' ');
        const QList<QByteArray> tail = line.mid(separator + 3).split(' ');
        if (head.size() < 6 || tail.size() < 2)
            continue;
        const QList<QByteArray> device = head[2].split(':');
        if (device.size() != 2)
            continue;
        bool majorOk = false, minorOk = false;
        MountEntry entry;
        entry.major = device[0].toInt(&majorOk);
        entry.minor = device[1].toInt(&minorOk);
        if (!majorOk || !minorOk)
            continue;
        entry.root = unescape(head[3]);
        entry.mountPoint = unescape(head[4]);
        entry.fsType = unescape(tail[0]);
        entry.source = unescape(tail[1]);
        if (!entry.mountPoint.startsWith(u'/'))
            continue;
        entries.append(entry);
    }
    return entries;
}

QString relativeTo(const QString& mountPoint, const QString& path)
{
    if (mountPoint == "/")
        return path.mid(1);
    if (path == mountPoint)
        return QString();
    return path.mid(mountPoint.size() + 1);
}

std::optional<MountEntry> containing(const QList<MountEntry>& mounts, const QString& path)
{
    const QByteArray wanted = QFile::encodeName(path);
    std::optional<MountEntry> best;
    qsizetype bestLength = -1;
    for (const MountEntry& entry : mounts) {
        const QByteArray point = QFile::encodeName(entry.mountPoint);
        const bool inside = point == "/" || wanted == point
                            || (wanted.startsWith(point) && wanted.size() > point.size() && wanted[point.size()] == '/');
        // Later lines win at equal length: a mount stacked over another hides it.
        if (inside && point.size() >= bestLength) {
            best = entry;
            bestLength = point.size();
        }
    }
    return best;
}

} // namespace app::mountinfo
