#pragma once

#include "app/platform/metadata/MediaProbe.h"

#include <QHash>
#include <QString>

#include <atomic>

namespace app::test {

// A probe that answers from tables keyed by file name (last path component). Unknown files read as
// unreadable, as a damaged file would.
class FakeMediaProbe final : public MediaProbe {
public:
    QHash<QString, PhotoProperties> photos;
    QHash<QString, VideoProperties> videos;
    mutable std::atomic_int photoReads{0};
    mutable std::atomic_int videoReads{0};

    PhotoProperties readPhoto(const QString& path) const override
    {
        ++photoReads;
        return photos.value(nameOf(path));
    }

    VideoProperties readVideo(const QString& path, VideoDetail) const override
    {
        ++videoReads;
        return videos.value(nameOf(path));
    }

    static QString nameOf(const QString& path) { return path.mid(path.lastIndexOf(u'/') + 1); }

    static PhotoProperties photoTakenAt(const QString& exifDate)
    {
        PhotoProperties p;
        p.readable = true;
        p.hasExif = true;
        p.dateTimeOriginal = exifDate;
        return p;
    }
};

} // namespace app::test
