#include "app/services/PhotoOrientationRotator.h"

#include "app/models/MediaFormat.h"
#include "app/platform/MediaProbe.h"
#include "app/services/HeifOrientationEditor.h"
#include "app/services/OrientationEditing.h"
#include "app/services/TiffOrientationEditor.h"

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

RotateError errorFor(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return RotateError(RotateError::Kind::notWritable);
    case ENOSPC:
    case EDQUOT:
        return RotateError(RotateError::Kind::writeFailed, QStringLiteral("磁盘空间不足"));
    default:
        return RotateError(RotateError::Kind::writeFailed, QString::fromLocal8Bit(std::strerror(error)));
    }
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

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

// Writes `bytes` to a new file beside `target` with its mode, owner and times, then renames it
// over `target`. The temporary file is gone afterwards whatever happens.
void replaceFile(const std::string& target, const struct stat& st, const std::string& bytes,
                 const PhotoOrientationRotator::FaultInjector& faults)
{
    const auto inject = [&](PhotoOrientationRotator::WriteStep step) {
        const int error = faults ? faults(step) : 0;
        if (error != 0)
            errno = error;
        return error != 0;
    };
    const std::size_t slash = target.rfind('/');
    const std::string folder = target.substr(0, slash);
    // Hidden, so a scan that runs meanwhile never lists it.
    std::string temporary = folder + "/." + target.substr(slash + 1) + ".rotating-XXXXXX";
    if (inject(PhotoOrientationRotator::WriteStep::createTemporary))
        throw errorFor(errno);
    Fd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0)
        throw errorFor(errno);
    struct Cleanup {
        const std::string& path;
        bool armed = true;
        ~Cleanup()
        {
            if (armed)
                ::unlink(path.c_str());
        }
    } cleanup{temporary};

    std::size_t done = 0;
    if (inject(PhotoOrientationRotator::WriteStep::write))
        throw errorFor(errno);
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw errorFor(errno);
        done += std::size_t(n);
    }
    // The owner may fail to change for someone else's file; the mode then still applies.
    (void)::fchown(fd.get(), st.st_uid, st.st_gid);
    if (::fchmod(fd.get(), st.st_mode & 07777) != 0 || ::fsync(fd.get()) != 0)
        throw errorFor(errno);
    // Dates of photos without metadata come from these times.
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(fd.get(), times) != 0)
        throw errorFor(errno);
    if (::close(fd.release()) != 0)
        throw errorFor(errno);
    if (inject(PhotoOrientationRotator::WriteStep::replace) || ::rename(temporary.c_str(), target.c_str()) != 0)
        throw errorFor(errno);
    cleanup.armed = false;
    Fd dir(::open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        ::fsync(dir.get());
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
    case Kind::notWritable: return QStringLiteral("没有写入权限。请检查该文件夹的写入权限。");
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
    const std::string original = readWhole(fd.get(), st);
    const std::string edited = rotatedBytes(original, n);
    replaceFile(target, st, edited, faults);
}

QImage PhotoOrientationRotator::rotateDisplayImageClockwise90(const QImage& image)
{
    if (image.isNull())
        return {};
    // Positive angles turn clockwise in Qt's y-down space.
    return image.transformed(QTransform().rotate(90));
}

} // namespace app
