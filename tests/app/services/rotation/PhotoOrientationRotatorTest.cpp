#include "app/platform/decoding/HeifImageDecoder.h"
#include "app/platform/metadata/MediaProbe.h"
#include "app/platform/decoding/QtImageDecoder.h"
#include "app/platform/decoding/RawPreviewDecoder.h"
#include "app/services/library/MediaScanner.h"
#include "app/services/rotation/OrientationEditing.h"
#include "app/services/rotation/PhotoOrientationRotator.h"

#include "support/app/Fixtures.h"
#include "support/app/QtPrinters.h"
#include "support/NamespaceSandbox.h"

#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>

#include <array>
#include <map>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <sys/file.h>
#include <vector>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace app;
using RotateError = PhotoOrientationRotator::RotateError;
using WriteStep = PhotoOrientationRotator::WriteStep;

namespace {

// Red, green / blue, yellow: the upright picture's quadrants in clockwise order from the top left.
const std::array<QColor, 4> kUpright{QColor(230, 20, 20), QColor(20, 200, 20), QColor(230, 230, 20),
                                     QColor(20, 20, 230)};

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct stat statOf(const QString& path)
{
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st;
}

// A copy of a fixture with a distinctive mode and times from long ago.
QString stage(const QTemporaryDir& dir, const QString& fixture, const QString& name = {})
{
    const QString path = dir.filePath(name.isEmpty() ? QFileInfo(fixture).fileName() : name);
    QFile::remove(path);
    EXPECT_TRUE(QFile::copy(test::fixturePath(fixture), path)) << fixture.toStdString();
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
    const struct timespec times[2] = {{1000000000, 123456789}, {1100000000, 987654321}};
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
    return path;
}

// The quadrant colours of a decoded picture, clockwise from the top left, or why they are wrong.
::testing::AssertionResult showsTurned(const QImage& image, int turns)
{
    if (image.isNull())
        return ::testing::AssertionFailure() << "nothing decoded";
    const int w = image.width(), h = image.height();
    const std::array<QPoint, 4> centres{QPoint(w / 4, h / 4), QPoint(3 * w / 4, h / 4), QPoint(3 * w / 4, 3 * h / 4),
                                        QPoint(w / 4, 3 * h / 4)};
    for (int q = 0; q < 4; ++q) {
        const QColor want = kUpright[(q + 4 * 4 - turns) % 4];
        const QColor got = image.pixelColor(centres[q]);
        if (std::abs(got.red() - want.red()) > 40 || std::abs(got.green() - want.green()) > 40 ||
            std::abs(got.blue() - want.blue()) > 40)
            return ::testing::AssertionFailure() << "quadrant " << q << " is " << got.name().toStdString()
                                                 << ", expected " << want.name().toStdString();
    }
    return ::testing::AssertionSuccess();
}

// Everything from the start-of-scan marker on: the compressed picture itself.
QByteArray jpegScan(const QByteArray& jpeg)
{
    int at = 2;
    while (at + 4 <= jpeg.size() && uchar(jpeg[at]) == 0xff) {
        if (uchar(jpeg[at + 1]) == 0xda)
            return jpeg.mid(at);
        at += 2 + (uchar(jpeg[at + 2]) << 8 | uchar(jpeg[at + 3]));
    }
    return {};
}

std::optional<RotateError::Kind> rotate(const QString& path, int turns,
                                        const PhotoOrientationRotator::FaultInjector& faults = {})
{
    try {
        PhotoOrientationRotator::rotateClockwise90(path, turns, faults);
        return std::nullopt;
    } catch (const RotateError& e) {
        return e.kind();
    }
}

::testing::AssertionResult heifShowsTurned(const QString& path, int turns)
{
    HeifImageDecoder::Source source = HeifImageDecoder::Source::none;
    const auto primary = showsTurned(HeifImageDecoder::decodeFile(path, 1000, &source), turns);
    if (!primary || source != HeifImageDecoder::Source::primaryImage)
        return ::testing::AssertionFailure() << "primary image: " << primary.message();
    // What the grid shows comes from the thumbnail item.
    const auto thumbnail = showsTurned(HeifImageDecoder::decodeFile(path, 24, &source), turns);
    if (!thumbnail || source != HeifImageDecoder::Source::thumbnailItem)
        return ::testing::AssertionFailure() << "thumbnail item: " << thumbnail.message();
    return ::testing::AssertionSuccess();
}

TEST(PhotoOrientationRotator, EveryOrientationTurnedOneToFourTimesDecodesUpright)
{
    enum class Decoder { qt, libraw, libheif };
    struct Format {
        const char* fixture;
        Decoder decoder;
        bool square;
    };
    const Format formats[] = {
        {"orientation-%1.jpg", Decoder::qt, false},
        {"orientation-%1.tif", Decoder::qt, false},
        {"orientation-%1.dng", Decoder::libraw, false},
        {"orientation-%1.heic", Decoder::libheif, true},
        {"grid-orientation-%1.heic", Decoder::libheif, true},
    };
    QTemporaryDir dir;
    for (const Format& format : formats) {
        for (int orientation = 1; orientation <= 8; ++orientation) {
            for (int turns = 1; turns <= 4; ++turns) {
                const QString fixture = QStringLiteral("rotation/") + QString::fromLatin1(format.fixture).arg(orientation);
                SCOPED_TRACE(fixture.toStdString() + " turned " + std::to_string(turns));
                const QString path = stage(dir, fixture);
                const QByteArray before = readAll(path);
                const struct stat old = statOf(path);
                const auto exifBefore = MediaProbe::system()->readPhoto(path).orientation;
                if (fixture.startsWith("rotation/orientation-") && fixture.endsWith(".heic") && orientation != 1) {
                    EXPECT_EQ(exifBefore, orientation);
                }

                ASSERT_EQ(rotate(path, turns), std::nullopt);

                const struct stat now = statOf(path);
                EXPECT_EQ(now.st_mtim.tv_sec, old.st_mtim.tv_sec);
                EXPECT_EQ(now.st_mtim.tv_nsec, old.st_mtim.tv_nsec);
                EXPECT_EQ(now.st_atim.tv_sec, old.st_atim.tv_sec);
                EXPECT_EQ(now.st_mode, old.st_mode);
                EXPECT_EQ(readAll(path) == before, turns == 4);

                const QSize upright = format.square ? QSize(128, 128) : QSize(48, 32);
                const QSize expectedSize = turns % 2 ? upright.transposed() : upright;
                switch (format.decoder) {
                case Decoder::qt: {
                    const QImage image = QtImageDecoder::decodeFile(path, 1000);
                    EXPECT_EQ(image.size(), expectedSize);
                    EXPECT_TRUE(showsTurned(image, turns));
                    break;
                }
                case Decoder::libraw: {
                    const QImage image = RawPreviewDecoder::decodeFile(path, 1000);
                    EXPECT_EQ(image.size(), expectedSize);
                    EXPECT_TRUE(showsTurned(image, turns));
                    break;
                }
                case Decoder::libheif:
                    EXPECT_TRUE(heifShowsTurned(path, turns));
                    break;
                }
                if (fixture.endsWith(".jpg")) {
                    EXPECT_FALSE(jpegScan(before).isEmpty());
                    EXPECT_EQ(jpegScan(readAll(path)), jpegScan(before));
                }
                // An Exif orientation inside turns with the picture; none appears where none was.
                const auto exifAfter = MediaProbe::system()->readPhoto(path).orientation;
                if (exifBefore) {
                    EXPECT_EQ(exifAfter, ExifOrientation::clockwise(*exifBefore, turns));
                } else if (format.decoder == Decoder::libheif) {
                    EXPECT_EQ(exifAfter, std::nullopt);
                }
            }
        }
    }
    // Nothing left behind beside the photos.
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Hidden | QDir::Files | QDir::NoDotAndDotDot)
                    .filter(".rotating-")
                    .isEmpty());
}

// The same grid picture as other writers lay it out: the editor must follow each layout.
TEST(PhotoOrientationRotator, HeifLayoutsOfOtherWritersTurnToo)
{
    const QStringList layouts = QDir(test::fixturePath("rotation")).entryList({"layout-*.heic"});
    ASSERT_EQ(layouts.size(), 14);
    QTemporaryDir dir;
    for (const QString& name : layouts) {
        for (int turns = 1; turns <= 3; ++turns) {
            SCOPED_TRACE(name.toStdString() + " turned " + std::to_string(turns));
            const QString path = stage(dir, "rotation/" + name);
            ASSERT_EQ(rotate(path, turns), std::nullopt);
            EXPECT_TRUE(heifShowsTurned(path, turns));
        }
    }
}

TEST(PhotoOrientationRotator, FileWithSeveralImagesKeepsThemAll)
{
    QTemporaryDir dir;
    const QString path = stage(dir, "rotation/five-pages-no-orientation.tif");
    ASSERT_EQ(rotate(path, 1), std::nullopt);
    QImageReader reader(path);
    EXPECT_EQ(reader.imageCount(), 5);
    reader.setAutoTransform(true);
    EXPECT_TRUE(showsTurned(reader.read(), 1));
    for (int page = 1; page < 5; ++page) {
        QImageReader original(test::fixturePath("rotation/five-pages-no-orientation.tif"));
        QImageReader turned(path);
        ASSERT_TRUE(original.jumpToImage(page) && turned.jumpToImage(page));
        const QImage image = turned.read();
        EXPECT_FALSE(image.isNull());
        EXPECT_EQ(image, original.read()) << "page " << page;
    }
}

TEST(PhotoOrientationRotator, FailuresLeaveTheFileAsItWas)
{
    QTemporaryDir dir;
    struct Case {
        const char* name;
        const char* fixture; // staged under the name; none: the file does not exist
        const char* stagedAs;
        int turns;
        std::optional<RotateError::Kind> expected;
        WriteStep failingStep = WriteStep::write;
        int injectedErrno = 0;
        qint64 cutTo = -1;
        mode_t mode = 0;     // set after staging
        bool tagged = false; // carries a user attribute
        bool linked = false; // has a second hard link
    };
    const Case cases[] = {
        {"png refused before opening", nullptr, "missing.png", 1, RotateError::Kind::unsupported},
        {"upper-case extension qualifies", "rotation/orientation-1.jpg", "IMG_1.JPG", 1, std::nullopt},
        {"four turns touch nothing", "rotation/orientation-6.jpg", "four.jpg", 4, std::nullopt},
        {"missing file", nullptr, "gone.jpg", 1, RotateError::Kind::unreadable},
        {"not a picture", "thumbnails/text-named.jpg", "text.jpg", 1, RotateError::Kind::unreadable},
        {"heif cut short", "rotation/orientation-6.heic", "cut.heic", 1, RotateError::Kind::writeFailed,
         WriteStep::write, 0, 700},
        {"broken tiff", "thumbnails/garbage.dng", "garbage.dng", 1, RotateError::Kind::writeFailed},
        {"EACCES creating the copy", "rotation/orientation-6.jpg", "eacces.jpg", 1, RotateError::Kind::notWritable,
         WriteStep::createTemporary, EACCES},
        {"EPERM replacing", "rotation/orientation-6.heic", "eperm.heic", 1, RotateError::Kind::notWritable,
         WriteStep::replace, EPERM},
        {"EROFS replacing", "rotation/orientation-6.tif", "erofs.tif", 2, RotateError::Kind::notWritable,
         WriteStep::replace, EROFS},
        {"disk full", "rotation/orientation-6.dng", "full.dng", 3, RotateError::Kind::writeFailed, WriteStep::write,
         ENOSPC},
        // Root may write anything: the missing write bits still say the user made it read-only.
        {"a photo made read-only", "rotation/orientation-6.jpg", "readonly.jpg", 1, RotateError::Kind::notWritable,
         WriteStep::write, 0, -1, 0444},
        {"the owner cannot be carried", "rotation/orientation-6.heic", "owner.heic", 1, RotateError::Kind::writeFailed,
         WriteStep::carryOwner, EPERM},
        {"an attribute cannot be carried", "rotation/orientation-6.jpg", "tagged.jpg", 1,
         RotateError::Kind::writeFailed, WriteStep::carryAttributes, ENOTSUP, -1, 0, true},
        {"a linked photo with no orientation entry to patch", "rotation/orientation-1.jpg", "linked.jpg", 1,
         RotateError::Kind::writeFailed, WriteStep::write, 0, -1, 0, false, true},
        {"a linked TIFF with no orientation entry to patch", "rotation/five-pages-no-orientation.tif", "linked.tif", 1,
         RotateError::Kind::writeFailed, WriteStep::write, 0, -1, 0, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = c.fixture ? stage(dir, c.fixture, c.stagedAs) : dir.filePath(c.stagedAs);
        if (c.cutTo >= 0)
            QFile::resize(path, c.cutTo);
        const QByteArray name = QFile::encodeName(path);
        if (c.mode)
            ASSERT_EQ(::chmod(name.constData(), c.mode), 0);
        if (c.tagged)
            ASSERT_EQ(::setxattr(name.constData(), "user.xdg.tags", "旅行", 6, 0), 0) << std::strerror(errno);
        if (c.linked)
            ASSERT_EQ(::link(name.constData(), QFile::encodeName(path + ".link").constData()), 0);
        const QByteArray before = readAll(path);
        const auto faults = [&](WriteStep step) { return step == c.failingStep ? c.injectedErrno : 0; };
        EXPECT_EQ(rotate(path, c.turns, faults), c.expected);
        EXPECT_EQ(readAll(path) == before, c.expected || c.turns == 4);
    }
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Hidden | QDir::Files | QDir::NoDotAndDotDot)
                    .filter(".rotating-")
                    .isEmpty());
    EXPECT_EQ(RotateError(RotateError::Kind::notWritable).description(),
              QStringLiteral("没有写入权限。请检查该照片及其文件夹的写入权限。"));
    EXPECT_EQ(RotateError(RotateError::Kind::writeFailed, "磁盘空间不足").description(),
              QStringLiteral("写入方向信息失败：磁盘空间不足"));
}

// Exif that fills its JPEG segment: the orientation tag no longer fits, and exiv2 would silently
// write the file without any Exif at all.
TEST(PhotoOrientationRotator, JpegWhoseExifCannotGrowKeepsItsExif)
{
    QTemporaryDir dir;
    const QString path = stage(dir, "rotation/orientation-1.jpg", "full-exif.jpg");
    const std::string file = QFile::encodeName(path).toStdString();
    const auto descriptionLength = [&] {
        auto image = Exiv2::ImageFactory::open(file);
        image->readMetadata();
        const auto it = image->exifData().findKey(Exiv2::ExifKey("Exif.Image.ImageDescription"));
        return it == image->exifData().end() ? 0L : it->size();
    };
    // The longest description that is still there after writing.
    long fits = 0;
    for (long step = 32768; step >= 1; step /= 2) {
        auto image = Exiv2::ImageFactory::open(file);
        Exiv2::ExifData exif;
        exif["Exif.Image.ImageDescription"] = std::string(std::size_t(fits + step), 'x');
        image->setExifData(exif);
        image->writeMetadata();
        if (descriptionLength() > 0)
            fits += step;
    }
    {
        auto image = Exiv2::ImageFactory::open(file);
        Exiv2::ExifData exif;
        exif["Exif.Image.ImageDescription"] = std::string(std::size_t(fits), 'x');
        image->setExifData(exif);
        image->writeMetadata();
    }
    ASSERT_GT(descriptionLength(), 60000);
    const QByteArray before = readAll(path);
    EXPECT_EQ(rotate(path, 1), RotateError::Kind::writeFailed);
    EXPECT_EQ(readAll(path), before);
    EXPECT_EQ(RotateError(RotateError::Kind::writeFailed, "无法保存该格式的方向元数据").description(),
              QStringLiteral("写入方向信息失败：无法保存该格式的方向元数据"));
}

TEST(PhotoOrientationRotator, TurnsMoreThanFourAndBackwardsCountModuloFour)
{
    QTemporaryDir dir;
    for (const auto& [turns, orientation] : {std::pair{5, 6}, std::pair{-1, 8}, std::pair{-2, 3}}) {
        const QString path = stage(dir, "rotation/orientation-1.jpg", QStringLiteral("t%1.jpg").arg(turns));
        ASSERT_EQ(rotate(path, turns), std::nullopt);
        EXPECT_EQ(MediaProbe::system()->readPhoto(path).orientation, orientation) << turns;
    }
}

TEST(PhotoOrientationRotator, LinkedPhotoTurnsAndTheLinkStays)
{
    QTemporaryDir dir;
    const QString target = stage(dir, "rotation/orientation-1.tif");
    const QString link = dir.filePath("link.tif");
    ASSERT_TRUE(QFile::link(target, link));
    ASSERT_EQ(rotate(link, 1), std::nullopt);
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_TRUE(showsTurned(QtImageDecoder::decodeFile(target, 1000), 1));
}

// Every extended attribute of a file, by name.
std::map<std::string, std::string> attributesOf(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    std::string list(65536, '\0');
    const ssize_t size = ::listxattr(name.constData(), list.data(), list.size());
    std::map<std::string, std::string> out;
    for (ssize_t at = 0; at < size;) {
        const std::string key(list.data() + at);
        std::string value(65536, '\0');
        const ssize_t n = ::getxattr(name.constData(), key.c_str(), value.data(), value.size());
        out[key] = value.substr(0, std::size_t(std::max<ssize_t>(n, 0)));
        at += ssize_t(key.size()) + 1;
    }
    return out;
}

// An ACL giving `user` the permissions `userPerm` (read and write by default), as setfacl would store it.
std::string aclGranting(std::uint32_t user = 65534, std::uint32_t userPerm = 6)
{
    std::string acl;
    const auto le = [&](std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            acl.push_back(char(v >> (8 * i)));
    };
    le(2, 4);
    for (const auto [tag, perm, id] : {std::array<std::uint32_t, 3>{0x01, 6, ~0u}, {0x02, userPerm, user}, {0x04, 4, ~0u},
                                       {0x10, 6, ~0u}, {0x20, 0, ~0u}}) {
        le(tag, 2);
        le(perm, 2);
        le(id, 4);
    }
    return acl;
}

TEST(PhotoOrientationRotator, EverythingButTheOrientationStays)
{
    struct Case {
        const char* name;
        const char* fixture;
        std::map<std::string, std::string> attributes;
        bool linked = false;
        // The folder passes a default ACL of its own to every new file in it.
        bool folderDefaultAcl = false;
    };
    const std::map<std::string, std::string> tags{{"user.xdg.tags", "旅行,家人"}, {"user.xdg.comment", "海边"}};
    const Case cases[] = {
        {"tags and comments", "rotation/orientation-6.jpg", tags},
        {"an ACL", "rotation/orientation-6.heic", {{"system.posix_acl_access", aclGranting()}}},
        {"its own ACL in a folder with a default ACL", "rotation/orientation-6.jpg",
         {{"system.posix_acl_access", aclGranting()}}, false, true},
        {"no ACL of its own in a folder with a default ACL", "rotation/orientation-6.jpg", {}, false, true},
        {"a second hard link to a JPEG", "rotation/orientation-6.jpg", tags, true},
        {"a second hard link to a TIFF", "rotation/orientation-3.tif", {}, true},
        {"a second hard link to a DNG", "rotation/orientation-8.dng", {}, true},
        {"a second hard link to a HEIF", "rotation/orientation-6.heic", {}, true},
        {"a second hard link to a HEIF with a shared irot", "rotation/layout-shared-irot-orientation-6.heic", {}, true},
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QString path = stage(dir, c.fixture, QStringLiteral("photo.") + QFileInfo(c.fixture).suffix());
        if (c.folderDefaultAcl) {
            const QString folder = dir.filePath(QString::fromUtf8(c.name));
            ASSERT_TRUE(QDir().mkpath(folder));
            const std::string inherited = aclGranting(4321, 4);
            ASSERT_EQ(::setxattr(QFile::encodeName(folder).constData(), "system.posix_acl_default", inherited.data(),
                                 inherited.size(), 0), 0) << std::strerror(errno);
            // Moved in, so the photo keeps what it had: only new files get the folder's entries.
            const QString moved = folder + "/" + QFileInfo(path).fileName();
            ASSERT_TRUE(QFile::rename(path, moved));
            path = moved;
        }
        const QString other = path + ".link";
        QFile::remove(other);
        const QByteArray name = QFile::encodeName(path);
        for (const auto& [key, value] : c.attributes)
            ASSERT_EQ(::setxattr(name.constData(), key.c_str(), value.data(), value.size(), 0), 0) << key;
        if (c.linked)
            ASSERT_EQ(::link(name.constData(), QFile::encodeName(other).constData()), 0);
        const struct stat old = statOf(path);
        const auto attributes = attributesOf(path);
        for (const auto& [key, value] : c.attributes)
            EXPECT_EQ(attributes.count(key), 1u) << key;

        ASSERT_EQ(rotate(path, 1), std::nullopt);

        const struct stat now = statOf(path);
        EXPECT_EQ(attributesOf(path), attributes);
        EXPECT_EQ(now.st_mode, old.st_mode);
        EXPECT_EQ(now.st_uid, old.st_uid);
        EXPECT_EQ(now.st_gid, old.st_gid);
        EXPECT_EQ(now.st_mtim.tv_nsec, old.st_mtim.tv_nsec);
        EXPECT_EQ(now.st_nlink, old.st_nlink);
        EXPECT_EQ(now.st_ino == old.st_ino, c.linked);
        const QString shown = c.linked ? other : path;
        if (QString(c.fixture).endsWith(".heic")) {
            EXPECT_TRUE(heifShowsTurned(shown, 1));
        } else if (QString(c.fixture).endsWith(".dng")) {
            EXPECT_TRUE(showsTurned(RawPreviewDecoder::decodeFile(shown, 1000), 1));
        } else {
            EXPECT_TRUE(showsTurned(QtImageDecoder::decodeFile(shown, 1000), 1));
        }
    }
}

// Turns arguments[0] as user and group 65534: exits 0 for notWritable, 1 for another error, 2 when
// the write went through, 3 when it cannot become that user.
TESS_CHILD_BODY(rotateAsNobody)
{
    if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
        return 3;
    const auto result = rotate(QString::fromStdString(arguments.at(0)), 1);
    return !result ? 2 : *result == RotateError::Kind::notWritable ? 0 : 1;
}

TEST(PhotoOrientationRotator, AnotherUsersPhotoIsRefusedAndRootKeepsItsOwner)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "SKIPPED LOUDLY: changing a file's owner and acting as another user need root";
    QTemporaryDir dir;
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    // Root turns a photo of user 65534, which stays theirs.
    const QString theirs = stage(dir, "rotation/orientation-6.jpg", "theirs.jpg");
    ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), 65534, 65534), 0);
    ASSERT_EQ(rotate(theirs, 1), std::nullopt);
    EXPECT_EQ(statOf(theirs).st_uid, 65534u);
    EXPECT_EQ(statOf(theirs).st_gid, 65534u);
    // User 65534 may read root's photo but not write it.
    const QString roots = stage(dir, "rotation/orientation-6.jpg", "roots.jpg");
    ASSERT_EQ(::chmod(QFile::encodeName(roots).constData(), 0644), 0);
    const QByteArray before = readAll(roots);
    tess::testing::ChildProcess child("rotateAsNobody", {.arguments = {roots.toStdString()}});
    EXPECT_EQ(child.wait(), (tess::testing::ExitStatus{true, 0, 0}));
    EXPECT_EQ(readAll(roots), before);
}

// Turns arguments[1] after bind-mounting its folder arguments[0] read-only over itself: exits 0
// for notWritable, 1 for another error, 2 when the write went through, 3 when it cannot mount.
TESS_CHILD_BODY(rotateOnReadOnlyMount)
{
    const std::string& folder = arguments.at(0);
    if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
        return 3;
    const auto result = rotate(QString::fromStdString(arguments.at(1)), 1);
    return !result ? 2 : *result == RotateError::Kind::notWritable ? 0 : 1;
}

// A real read-only mount: the error the kernel gives, not an injected one.
TEST(PhotoOrientationRotator, ReadOnlyMountIsNotWritable)
{
    TESS_SKIP_WITHOUT_UNSHARE();
    QTemporaryDir dir;
    const QString path = stage(dir, "rotation/orientation-3.jpg");
    const QByteArray before = readAll(path);
    tess::testing::ChildProcess child("rotateOnReadOnlyMount",
                                      {.mountNamespace = true,
                                       .arguments = {dir.path().toStdString(), path.toStdString()}});
    EXPECT_EQ(child.wait(), (tess::testing::ExitStatus{true, 0, 0}));
    EXPECT_EQ(readAll(path), before);
}

TEST(PhotoOrientationRotator, PreviewTurnsClockwise)
{
    QImage image(400, 300, QImage::Format_RGB32);
    image.fill(Qt::blue);
    image.setPixelColor(0, 0, Qt::red);
    const QImage turned = PhotoOrientationRotator::rotateDisplayImageClockwise90(image);
    EXPECT_EQ(turned.size(), QSize(300, 400));
    EXPECT_EQ(turned.pixelColor(299, 0), QColor(Qt::red));
    EXPECT_TRUE(PhotoOrientationRotator::rotateDisplayImageClockwise90(QImage()).isNull());
}

} // namespace

// A copy that a rotation left when the program crashed is never listed as a photo, and goes the
// next time its folder is scanned or rotated once it is stale: a minute old and not held by a writer.
TEST(PhotoOrientationRotator, CrashLeftoversAreHiddenAndRemovedOnceStale)
{
    struct Row {
        const char* name;
        int minutesAgo;
        bool locked, removed;
    };
    const Row rows[] = {
        {".IMG_1.JPG.rotating-a1B2c3", 5, false, true},  {".IMG_2.JPG.rotating-d4E5f6", 0, false, false},
        {".IMG_3.JPG.rotating-g7H8i9", 5, true, false},  {".IMG_4.JPG", 5, false, false},
        {".IMG_5.JPG.rotating-abc", 5, false, false},
    };
    for (const bool scan : {true, false}) {
        QTemporaryDir dir;
        const QString photo = stage(dir, "rotation/orientation-1.jpg", "IMG_0.JPG");
        std::vector<std::unique_ptr<QFile>> holders;
        for (const Row& row : rows) {
            const QString path = stage(dir, "rotation/orientation-1.jpg", row.name);
            const timespec when{::time(nullptr) - row.minutesAgo * 60, 0}, times[2] = {when, when};
            ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
            holders.push_back(std::make_unique<QFile>(path));
            if (row.locked)
                ASSERT_TRUE(holders.back()->open(QIODevice::ReadOnly) && ::flock(holders.back()->handle(), LOCK_EX) == 0);
        }
        if (scan)
            EXPECT_EQ(MediaScanner::enumerateMediaFiles(dir.path()), QStringList{photo});
        else
            ASSERT_EQ(rotate(photo, 1), std::nullopt);
        for (const Row& row : rows)
            EXPECT_EQ(QFile::exists(dir.filePath(row.name)), !row.removed) << row.name << (scan ? " scan" : " rotation");
    }
}
