#include "app/platform/noncaptured/PersonDetector.h"
#include "app/services/noncaptured/NonCapturedClassifier.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <exiv2/exiv2.hpp>

#include <functional>

using namespace app;
using Result = NonCapturedClassifier::PhaseAResult;

namespace {

struct Fixture {
    QString name;
    int width = 0;
    int height = 0;
    const char* format = "PNG";
    QList<QPair<const char*, QString>> exif; // written through exiv2
    qint64 padTo = 0;                         // append bytes after the image until the file has this size
    QByteArray rawBytes;                      // written as they stand instead of an image
    int truncateTo = 0;                       // cut the written image to this many bytes
};

QString writeFixture(const QTemporaryDir& dir, const Fixture& fixture)
{
    const QString path = dir.filePath(fixture.name);
    if (!fixture.rawBytes.isNull()) {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(fixture.rawBytes);
        return path;
    }
    QImage image(fixture.width, fixture.height, QImage::Format_Grayscale8);
    image.fill(0x80);
    EXPECT_TRUE(image.save(path, fixture.format)) << fixture.name.toStdString();
    if (!fixture.exif.isEmpty()) {
        auto file = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        file->readMetadata();
        Exiv2::ExifData& data = file->exifData();
        for (const auto& [key, value] : fixture.exif)
            data[key] = value.toStdString();
        file->writeMetadata();
    }
    QFile file(path);
    if (fixture.truncateTo > 0) {
        EXPECT_TRUE(file.resize(fixture.truncateTo));
    }
    if (fixture.padTo > 0) {
        EXPECT_TRUE(file.open(QIODevice::Append));
        file.write(QByteArray(fixture.padTo - file.size(), '\0'));
    }
    return path;
}

MediaItem photoAt(const QString& path)
{
    MediaItem item;
    item.url = path;
    item.kind = MediaKind::photo;
    return item;
}

} // namespace

// Every rule, on real files made here: names, capture-tool software, camera tags, screen sizes,
// typical camera photos by size and shape, camera-roll names, extensions, broken files.
TEST(NonCapturedClassifier, PhaseARulesOnGeneratedFiles)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString snipaste = QStringLiteral("SNIPASTE 2.8");
    struct Row {
        Fixture fixture;
        Result expected;
    };
    const QList<Row> rows = {
        {{"Screenshot 2024-05-01.png", 16, 16}, Result::nonCaptured("A1-filename")},
        {{"截屏2024.jpg", 16, 16, "JPEG"}, Result::nonCaptured("A1-filename")},
        {{"my capture.jpg", 16, 16, "JPEG"}, Result::nonCaptured("A1-filename")},
        {{"CAPTURE.JPG", 16, 16, "JPEG"}, Result::nonCaptured("A1-filename")},
        // The software rule comes before the camera rule.
        {{"tool.jpg", 16, 16, "JPEG", {{"Exif.Image.Software", snipaste}, {"Exif.Photo.ExposureTime", "1/60"}}},
         Result::nonCaptured("A2-software")},
        {{"exported.jpg", 16, 16, "JPEG", {{"Exif.Image.Software", "Greenshot"}}},
         Result::nonCaptured("A2-software")},
        {{"edited.jpg", 16, 16, "JPEG", {{"Exif.Image.Software", "GIMP 2.10"}}},
         Result::nonCaptured("A7-generic-image")},
        {{"camera.jpg", 16, 16, "JPEG", {{"Exif.Image.Make", "Canon"}}}, Result::keep("A3-camera")},
        {{"model.jpg", 16, 16, "JPEG", {{"Exif.Image.Model", "X100"}}}, Result::keep("A3-camera")},
        {{"iso.jpg", 16, 16, "JPEG", {{"Exif.Photo.ISOSpeedRatings", "200"}}}, Result::keep("A3-camera")},
        {{"focal.jpg", 16, 16, "JPEG", {{"Exif.Photo.FocalLength", "50/1"}}}, Result::keep("A3-camera")},
        {{"fnumber.jpg", 16, 16, "JPEG", {{"Exif.Photo.FNumber", "28/10"}}}, Result::keep("A3-camera")},
        {{"raw.dng", 0, 0, "", {}, 0, QByteArray("not really a raw file")}, Result::keep("A3-camera")},
        // A make of blanks trims to empty and is no evidence; the screen size then decides.
        {{"blank-make.jpg", 1170, 2532, "JPEG", {{"Exif.Image.Make", "   "}}}, Result::nonCaptured("A4-resolution")},
        {{"phone.png", 1170, 2532}, Result::nonCaptured("A4-resolution")},
        {{"phone-landscape.png", 2532, 1170}, Result::nonCaptured("A4-resolution")},
        {{"tablet.png", 1640, 2360}, Result::nonCaptured("A4-resolution")},
        {{"desktop.png", 1920, 1080}, Result::nonCaptured("A4-resolution")},
        {{"odd-size.png", 1171, 2532}, Result::nonCaptured("A7-generic-image")},
        {{"big.jpg", 4032, 3024, "JPEG", {}, 3'000'000}, Result::keep("A5-typical-photo")},
        {{"exact.jpg", 4032, 3024, "JPEG", {}, 819'200}, Result::keep("A5-typical-photo")},
        {{"light.jpg", 4032, 3024, "JPEG", {}, 700'000}, Result::nonCaptured("A7-generic-image")},
        {{"IMG_0002.JPG", 4032, 3024, "JPEG", {}, 700'000}, Result::keep("A6-camera-filename")},
        {{"IMG_0001.PNG", 16, 16}, Result::keep("A6-camera-filename")},
        {{"img_0001.png", 16, 16}, Result::keep("A6-camera-filename")},
        {{"PXL_20240101.png", 16, 16}, Result::keep("A6-camera-filename")},
        {{"photo.webp", 0, 0, "", {}, 0, QByteArray("RIFF")}, Result::nonCaptured("A7-generic-image")},
        {{"scan.jp2", 0, 0, "", {}, 0, QByteArray("jp2")}, Result::keep("A-default-keep")},
        {{"empty.png", 0, 0, "", {}, 0, QByteArray("")}, Result::nonCaptured("A7-generic-image")},
        {{"truncated.jpg", 1170, 2532, "JPEG", {}, 0, {}, 300}, Result::nonCaptured("A7-generic-image")},
    };
    for (const Row& row : rows) {
        const QString path = writeFixture(dir, row.fixture);
        const Result got = NonCapturedClassifier::classifyPhaseA(photoAt(path));
        EXPECT_EQ(got, row.expected) << row.fixture.name.toStdString() << " gave " << got.rule.toStdString();
    }
}

TEST(NonCapturedClassifier, VideosAndLivePhotosAreExcludedWithoutReading)
{
    int reads = 0;
    const auto reader = [&](const QString&) {
        ++reads;
        return ImageSignals{};
    };
    MediaItem video = photoAt("/nowhere/Screenshot.mov");
    video.kind = MediaKind::video;
    MediaItem live = photoAt("/nowhere/IMG_0001.HEIC");
    live.isLivePhoto = true;
    EXPECT_EQ(NonCapturedClassifier::classifyPhaseA(video, reader), Result::excluded());
    EXPECT_EQ(NonCapturedClassifier::classifyPhaseA(live, reader), Result::excluded());
    // A screenshot name decides before the file is opened.
    EXPECT_EQ(NonCapturedClassifier::classifyPhaseA(photoAt("/nowhere/screen_shot.png"), reader),
              Result::nonCaptured("A1-filename"));
    EXPECT_EQ(reads, 0);
}

// Boundaries of the typical-photo rule: megapixels in [8.0, 24.5], 4:3 or 3:2 within 8 %.
TEST(NonCapturedClassifier, TypicalPhotoBoundaries)
{
    struct Row {
        qint64 w, h;
        bool typical;
    };
    const QList<Row> rows = {
        {6000, 4000, true},  // 24.0 MP, 1.5
        {6048, 4032, true},  // 24.39 MP
        {6144, 4096, false}, // 25.17 MP
        {3264, 2448, false}, // 7.99 MP
        {3200, 2500, true},  // exactly 8.0 MP, ratio 1.28
        {4200, 3000, true},  // ratio 1.4 passes through 4:3
        {4000, 2500, true},  // ratio 1.6 passes through 3:2
        {4000, 2250, false}, // 16:9
        {3024, 4032, true},  // portrait
    };
    for (const Row& row : rows) {
        const auto reader = [&](const QString&) {
            ImageSignals s;
            s.width = row.w;
            s.height = row.h;
            s.fileSize = 3'000'000;
            return s;
        };
        const Result got = NonCapturedClassifier::classifyPhaseA(photoAt("/x/frame.heic"), reader);
        EXPECT_EQ(got, row.typical ? Result::keep("A5-typical-photo") : Result::nonCaptured("A7-generic-image"))
            << row.w << "x" << row.h;
    }
    // Unknown size or an unknown file size never makes a typical photo.
    const auto noSize = [](const QString&) {
        ImageSignals s;
        s.width = 4032;
        s.height = 3024;
        return s;
    };
    EXPECT_EQ(NonCapturedClassifier::classifyPhaseA(photoAt("/x/frame.jpg"), noSize),
              Result::nonCaptured("A7-generic-image"));
    // Absurd header sizes must not overflow into a typical photo.
    const auto huge = [](const QString&) {
        ImageSignals s;
        s.width = std::numeric_limits<qint64>::max();
        s.height = std::numeric_limits<qint64>::max();
        s.fileSize = 3'000'000;
        return s;
    };
    EXPECT_EQ(NonCapturedClassifier::classifyPhaseA(photoAt("/x/frame.jpg"), huge),
              Result::nonCaptured("A7-generic-image"));
}

namespace {

// Records the questions asked and answers yes at one chosen step.
class ScriptedDetector : public PersonDetector {
public:
    explicit ScriptedDetector(QStringList& log, QString hitAt) : m_log(log), m_hitAt(std::move(hitAt)) {}
    bool detectsBody(const QImage& image, BodyScope scope) override
    {
        return answer(QStringLiteral("body%1@%2")
                          .arg(scope == BodyScope::fullBody ? "" : "-upper")
                          .arg(image.width()));
    }
    bool detectsFace(const QImage& image, FacePass pass) override
    {
        return answer(QStringLiteral("face%1@%2").arg(pass == FacePass::first ? 1 : 2).arg(image.width()));
    }

private:
    bool answer(const QString& step)
    {
        m_log.append(step);
        return step == m_hitAt;
    }
    QStringList& m_log;
    QString m_hitAt;
};

} // namespace

// The fixed order of the two passes, the stop at the first hit, the second decode only when the
// first pass found nothing, and no detector call for an undecodable file.
TEST(NonCapturedClassifier, PersonDetectionOrder)
{
    struct Row {
        const char* name;
        QString hitAt;
        QList<int> decodable; // sizes the loader can produce
        bool expected;
        QStringList steps;
    };
    const QList<int> both = {1024, 640};
    const QList<Row> rows = {
        {"undecodable", "", {}, false, {"load@1024"}},
        {"body in pass 1", "body@1024", both, true, {"load@1024", "body@1024"}},
        {"face in pass 1", "face1@1024", both, true, {"load@1024", "body@1024", "face1@1024"}},
        {"upper body in pass 2", "body-upper@640", both, true,
         {"load@1024", "body@1024", "face1@1024", "load@640", "body-upper@640"}},
        {"face in pass 2", "face2@640", both, true,
         {"load@1024", "body@1024", "face1@1024", "load@640", "body-upper@640", "face2@640"}},
        {"nobody", "", both, false,
         {"load@1024", "body@1024", "face1@1024", "load@640", "body-upper@640", "face2@640"}},
        {"second decode fails", "", {1024}, false, {"load@1024", "body@1024", "face1@1024", "load@640"}},
    };
    for (const Row& row : rows) {
        QStringList log;
        ScriptedDetector detector(log, row.hitAt);
        const auto loader = [&](const QString&, int maxPixelSize) {
            log.append(QStringLiteral("load@%1").arg(maxPixelSize));
            if (!row.decodable.contains(maxPixelSize))
                return QImage();
            QImage image(maxPixelSize, maxPixelSize / 2, QImage::Format_RGB32);
            image.fill(Qt::white);
            return image;
        };
        EXPECT_EQ(NonCapturedClassifier::containsPerson("/x/a.png", detector, loader), row.expected) << row.name;
        EXPECT_EQ(log, row.steps) << row.name;
    }
}

namespace {

// A chat-like screen: bars, bubbles and lines of text, as a phone screenshot shows them.
QImage screenshotLikeImage()
{
    QImage image(1170, 2532, QImage::Format_RGB32);
    image.fill(QColor(242, 242, 247));
    QPainter painter(&image);
    painter.fillRect(0, 0, 1170, 260, QColor(250, 250, 250));
    QFont font;
    font.setPixelSize(44);
    painter.setFont(font);
    for (int i = 0; i < 14; ++i) {
        const bool mine = i % 2 == 1;
        const QRect bubble(mine ? 420 : 60, 320 + i * 150, 690, 120);
        painter.setBrush(mine ? QColor(52, 199, 89) : Qt::white);
        painter.setPen(Qt::NoPen);
        painter.drawRoundedRect(bubble, 36, 36);
        painter.setPen(Qt::black);
        painter.drawText(bubble.adjusted(30, 0, -30, 0), Qt::AlignVCenter, QStringLiteral("Message line %1").arg(i));
    }
    painter.fillRect(0, 2400, 1170, 132, QColor(230, 230, 235));
    painter.end();
    return image;
}

} // namespace

// The real detectors: a face among OpenCV's sample pictures, nothing on a screenshot-like image.
TEST(NonCapturedClassifier, RealDetectorsSmoke)
{
    const QStringList people = {
        "/usr/share/doc/opencv-doc/opencv4/html/Cascade_Classifier_Tutorial_Result_Haar.jpg",
        "/usr/share/doc/opencv-doc/examples/data/messi5.jpg",
    };
    for (const QString& path : people) {
        if (!QFileInfo::exists(path))
            GTEST_SKIP() << "opencv-doc sample images are not installed (scripts/setup installs them)";
        EXPECT_TRUE(NonCapturedClassifier::phaseBHasPerson(path)) << path.toStdString();
    }

    QTemporaryDir dir;
    const QString screen = dir.filePath("chat.png");
    ASSERT_TRUE(screenshotLikeImage().save(screen));
    EXPECT_FALSE(NonCapturedClassifier::phaseBHasPerson(screen));
    EXPECT_FALSE(NonCapturedClassifier::phaseBHasPerson(dir.filePath("missing.png")));
}
