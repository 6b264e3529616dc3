#include "app/services/library/FileStamp.h"

#include <QFile>

#include <sys/stat.h>

namespace app {

namespace {

qint64 nanoseconds(const timespec& t)
{
    return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

} // namespace

FileStamp FileStamp::fromStat(const struct stat& st)
{
    return {qint64(st.st_size), nanoseconds(st.st_mtim), nanoseconds(st.st_ctim), quint64(st.st_ino)};
}

std::optional<FileStamp> FileStamp::of(const QString& path)
{
    struct stat st{};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return fromStat(st);
}

} // namespace app
