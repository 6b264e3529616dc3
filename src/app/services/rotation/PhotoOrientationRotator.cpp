#include "app/services/rotation/PhotoOrientationRotator.h"

#include "app/models/MediaFormat.h"
#include "app/platform/metadata/MediaProbe.h"
#include "app/services/library/RotationLeftovers.h"
#include "app/services/rotation/FileReplacement.h"
#include "app/services/rotation/HeifOrientationEditor.h"
#include "app/services/rotation/OrientationEditing.h"
#include "app/services/rotation/TiffOrientationEditor.h"

#include <QFile>
#include <QTransform>

#include <exiv2/exiv2.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace app {

using RotateError = PhotoOrientationRotator::RotateError;

namespace {

// Larger than any camera's photo; keeps a hostile file from exhausting memory.
constexpr qint64 kMaxFileSize = qint64(1) << 30;

using FileReplacement::Fd;

std::string readWhole(int fd, const struct stat& st)
{
    if (st.st_size > kMaxFileSize)
        throw RotateError(RotateError::Kind::unreadable);
    std::string bytes(std::size_t(st.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw RotateError(RotateError::Kind::unreadable);
        done += std::size_t(n);
    }
    return bytes;
}

std::string rotatedJpeg(const std::string& bytes, int turns)
{
    initialiseMediaLibraries();
    Exiv2::Image::AutoPtr image;
    try {
        image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(bytes.data()), long(bytes.size()));
        image->readMetadata();
    } catch (const std::exception&) {
        throw RotateError(RotateError::Kind::unreadable);
    }
    try {
        Exiv2::ExifData& exif = image->exifData();
        int current = 1;
        const auto found = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        if (found != exif.end() && found->count() > 0)
            current = int(found->toLong());
        const int wanted = ExifOrientation::clockwise(current, turns);
        exif["Exif.Image.Orientation"] = std::uint16_t(wanted);
        const long tags = exif.count();
        image->writeMetadata();
        Exiv2::BasicIo& io = image->io();
        if (io.open() != 0)
            throw RotateError(RotateError::Kind::writeFailed, QStringLiteral("无法读回写好的数据"));
        std::string out(std::size_t(io.size()), '\0');
        const long read = io.read(reinterpret_cast<Exiv2::byte*>(out.data()), long(out.size()));
        io.close();
        if (read != long(out.size()))
            throw RotateError(RotateError::Kind::writeFailed, QStringLiteral("无法读回写好的数据"));
        // exiv2 leaves out Exif that no longer fits its JPEG segment without a word: the dates and
        // the place would be gone. Only a file that still says everything it said is kept.
        auto check = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(out.data()), long(out.size()));
        check->readMetadata();
        const auto written = check->exifData().findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        if (check->exifData().count() < tags || written == check->exifData().end() || written->toLong() != wanted)
            throw RotateError(RotateError::Kind::writeFailed, QStringLiteral("无法保存该格式的方向元数据"));
        return out;
    } catch (const Exiv2::AnyError&) {
        // exiv2's own reason is English and about its internals.
        throw RotateError(RotateError::Kind::writeFailed, QStringLiteral("无法保存该格式的方向元数据"));
    }
}

std::string rotatedBytes(const std::string& bytes, int turns)
{
    try {
        if (bytes.size() >= 3 && std::uint8_t(bytes[0]) == 0xff && std::uint8_t(bytes[1]) == 0xd8 &&
            std::uint8_t(bytes[2]) == 0xff)
            return rotatedJpeg(bytes, turns);
        if (TiffOrientationEditor::looksLikeTiff(bytes)) {
            std::string out = bytes;
            const int current = TiffOrientationEditor::orientation(out).value_or(1);
            TiffOrientationEditor::setOrientation(out, ExifOrientation::clockwise(current, turns));
            return out;
        }
        if (HeifOrientationEditor::looksLikeHeif(bytes))
            return HeifOrientationEditor::rotated(bytes, turns);
    } catch (const OrientationEditError& e) {
        throw RotateError(RotateError::Kind::writeFailed, QString::fromStdString(e.what()));
    }
    throw RotateError(RotateError::Kind::unreadable);
}

// The APP1 Exif block of a JPEG, as a TIFF structure: where it starts and how long it is.
std::optional<std::pair<std::size_t, std::size_t>> jpegExif(const std::string& bytes)
{
    std::size_t p = 2;
    while (p + 4 <= bytes.size() && std::uint8_t(bytes[p]) == 0xff) {
        const std::uint8_t marker = std::uint8_t(bytes[p + 1]);
        if (marker == 0xda || marker == 0xd9)
            break;
        const std::size_t length = std::size_t(std::uint8_t(bytes[p + 2])) << 8 | std::uint8_t(bytes[p + 3]);
        if (length < 2 || p + 2 + length > bytes.size())
            break;
        if (marker == 0xe1 && length >= 8 && bytes.compare(p + 4, 6, std::string("Exif\0\0", 6)) == 0)
            return std::make_pair(p + 10, length - 8);
        p += 2 + length;
    }
    return std::nullopt;
}

// The file with only its orientation changed where it stands, every other byte in place; a file
// with nowhere to put the new value cannot be patched.
std::string patchedInPlace(const std::string& bytes, int turns)
{
    const auto patchTiff = [&](std::string& out, std::size_t at, std::size_t size) {
        const std::string_view tiff(out.data() + at, size);
        const auto current = TiffOrientationEditor::orientation(tiff);
        return current &&
               TiffOrientationEditor::patchExisting(out.data() + at, size, ExifOrientation::clockwise(*current, turns));
    };
    std::string out = bytes;
    bool patched = false;
    try {
        if (bytes.size() >= 3 && std::uint8_t(bytes[0]) == 0xff && std::uint8_t(bytes[1]) == 0xd8) {
            if (const auto exif = jpegExif(bytes))
                patched = patchTiff(out, exif->first, exif->second);
        } else if (TiffOrientationEditor::looksLikeTiff(bytes)) {
            patched = patchTiff(out, 0, out.size());
        } else if (HeifOrientationEditor::looksLikeHeif(bytes)) {
            out = HeifOrientationEditor::rotated(bytes, turns);
            patched = out.size() == bytes.size();
        } else {
            throw RotateError(RotateError::Kind::unreadable);
        }
    } catch (const OrientationEditError& e) {
        throw RotateError(RotateError::Kind::writeFailed, QString::fromStdString(e.what()));
    }
    if (!patched)
        throw RotateError(RotateError::Kind::writeFailed, QStringLiteral("文件有多个硬链接，新的方向无法原地写入"));
    return out;
}

} // namespace

RotateError::RotateError(Kind kind, QString detail)
    : kind_(kind), detail_(std::move(detail)), what_(description().toUtf8())
{
}

QString RotateError::description() const
{
    switch (kind_) {
    case Kind::writeFailed: return QStringLiteral("写入方向信息失败：") + detail_;
    case Kind::unsupported: return QStringLiteral("这种格式不支持只改方向元数据。");
    case Kind::unreadable: return QStringLiteral("无法读取这张照片。");
    case Kind::notWritable: return QStringLiteral("没有写入权限。请检查该照片及其文件夹的写入权限。");
    }
    return {};
}

const QSet<QString>& PhotoOrientationRotator::supportedExtensions()
{
    return MediaFormat::orientationRotatableExtensions();
}

void PhotoOrientationRotator::rotateClockwise90(const QString& path, int turns, const FaultInjector& faults)
{
    const int n = turns & 3;
    if (n == 0)
        return;
    if (!supportedExtensions().contains(MediaFormat::pathExtension(path)))
        throw RotateError(RotateError::Kind::unsupported);

    // A link is followed, so the photo it points to turns and the link stays a link.
    char resolved[PATH_MAX];
    if (!::realpath(QFile::encodeName(path).constData(), resolved))
        throw RotateError(RotateError::Kind::unreadable);
    const std::string target = resolved;

    Fd fd(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw RotateError(RotateError::Kind::unreadable);
    // Only the folder's permission is needed for the rename: the file's own is asked here.
    if (!FileReplacement::mayWrite(target, st))
        throw RotateError(RotateError::Kind::notWritable);
    // What an earlier crash left beside it goes first.
    RotationLeftovers::removeStale(QByteArray::fromStdString(target.substr(0, target.rfind('/'))));
    const std::string original = readWhole(fd.get(), st);
    // A replacement would split the links: the other names would keep the old picture.
    if (st.st_nlink > 1) {
        FileReplacement::patchInPlace(target, st, original, patchedInPlace(original, n), faults);
        return;
    }
    FileReplacement::replace(target, fd.get(), st, rotatedBytes(original, n), faults);
}

QImage PhotoOrientationRotator::rotateDisplayImageClockwise90(const QImage& image)
{
    if (image.isNull())
        return {};
    // Positive angles turn clockwise in Qt's y-down space.
    return image.transformed(QTransform().rotate(90));
}

} // namespace app
