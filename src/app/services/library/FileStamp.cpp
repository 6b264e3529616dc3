#include "app/services/library/FileStamp.h"

#include "app/platform/volumes/FileSystemKinds.h"

#include <QFile>

#include <sys/stat.h>

namespace app {

namespace {

qint64 nanoseconds(const timespec& t)
{
    return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

} // namespace

FileStamp FileStamp::fromStat(const struct stat& st, bool whole)
{
    if (!whole)
        return {qint64(st.st_size), nanoseconds(st.st_mtim), 0, 0};
    return {qint64(st.st_size), nanoseconds(st.st_mtim), nanoseconds(st.st_ctim), quint64(st.st_ino)};
}

std::optional<FileStamp> FileStamp::of(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st{};
    if (::stat(name.constData(), &st) != 0)
        return std::nullopt;
    return fromStat(st, FileSystemKinds::shared().keepsWholeStamp(st.st_dev, name.constData()));
}

} // namespace app
