// Speed of the non-captured sorting: the rule-based phase over 2,000 generated images and person
// detection over 50, in images per second. Build in Release and run without arguments.
//
// With "--survey FILE..." it prints, for each image, the raw scores of the face and body detectors
// at both decode sizes, which is how their thresholds were chosen.

#include "app/platform/decoding/ImageDecoder.h"
#include "app/platform/noncaptured/PersonDetector.h"
#include "app/services/noncaptured/NonCapturedClassifier.h"
#include "support/HogPeopleWeights.h"

#include <QColor>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <QThreadPool>

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>

using namespace app;

namespace {

QImage chatScreen(int seed)
{
    QImage image(1170, 2532, QImage::Format_RGB32);
    image.fill(QColor(242, 242, 247));
    QPainter painter(&image);
    for (int i = 0; i < 14; ++i) {
        const bool mine = (i + seed) % 2 == 1;
        painter.setBrush(mine ? QColor(52, 199, 89) : Qt::white);
        painter.setPen(Qt::NoPen);
        painter.drawRoundedRect(QRect(mine ? 420 : 60, 320 + i * 150, 690, 120), 36, 36);
        painter.setPen(Qt::black);
        painter.drawText(QRect(90 + (mine ? 360 : 0), 320 + i * 150, 630, 120), Qt::AlignVCenter,
                         QStringLiteral("Message %1 / %2").arg(i).arg(seed));
    }
    return image;
}

void writeExif(const QString& path, const char* key, const char* value)
{
    auto file = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    file->readMetadata();
    file->exifData()[key] = std::string(value);
    file->writeMetadata();
}

QString writeTemplate(const QTemporaryDir& dir, const QString& name, const QImage& image, const char* format)
{
    const QString path = dir.filePath("template-" + name);
    image.save(path, format);
    return path;
}

int runSurvey(const QStringList& files)
{
    auto decoder = makeMediaImageDecoder();
    std::printf("%-44s %-28s %-28s %-28s\n", "image", "faces@1024 (best)", "faces@640+up (best)", "hog@1024 (best)");
    for (const QString& path : files) {
        MediaItem item;
        item.url = path;
        const QImage large = decoder->decode(item, 1024);
        const QImage small = decoder->decode(item, 640);
        if (large.isNull()) {
            std::printf("%-44s undecodable\n", qPrintable(QFileInfo(path).fileName()));
            continue;
        }
        const auto a = measurePersonDetectors(large);
        const auto b = measurePersonDetectors(small);
        const std::vector<double> hog = bench::hogPeopleWeights(large);
        const auto best = [](const std::vector<double>& v) {
            return v.empty() ? QStringLiteral("-") : QString::number(*std::max_element(v.begin(), v.end()), 'f', 2);
        };
        const auto count = [](const std::vector<double>& v, double threshold) {
            return std::count_if(v.begin(), v.end(), [&](double s) { return s >= threshold; });
        };
        std::printf("%-44s n=%-3ld %-22s n=%-3ld %-22s n=%-3zu %-22s\n", qPrintable(QFileInfo(path).fileName()),
                    static_cast<long>(count(a.faceScores, 0.0)), qPrintable(best(a.faceScores)),
                    static_cast<long>(count(b.upsampledFaceScores, 0.0)), qPrintable(best(b.upsampledFaceScores)),
                    hog.size(), qPrintable(best(hog)));
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() > 1 && args[1] == "--survey")
        return runSurvey(args.mid(2));

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;

    // Phase A: four kinds of 500 files each, copied from one template per kind.
    QImage small(640, 480, QImage::Format_RGB32);
    small.fill(QColor(90, 120, 160));
    const QString phoneShot = writeTemplate(dir, "phone.png", chatScreen(0), "PNG");
    const QString cameraJpeg = writeTemplate(dir, "camera.jpg", small, "JPEG");
    writeExif(cameraJpeg, "Exif.Image.Make", "Canon");
    writeExif(cameraJpeg, "Exif.Photo.ExposureTime", "1/60");
    const QString webPicture = writeTemplate(dir, "web.jpg", small, "JPEG");
    const QString named = writeTemplate(dir, "named.png", small, "PNG");
    MediaItems items;
    for (int i = 0; i < 500; ++i) {
        const QList<QPair<QString, QString>> copies = {
            {phoneShot, QStringLiteral("chat-%1.png").arg(i)},
            {cameraJpeg, QStringLiteral("DSC%1.jpg").arg(i)},
            {webPicture, QStringLiteral("saved-%1.jpg").arg(i)},
            {named, QStringLiteral("Screenshot %1.png").arg(i)},
        };
        for (const auto& [from, to] : copies) {
            MediaItem item;
            item.url = dir.filePath(to);
            QFile::copy(from, item.url);
            items.append(item);
        }
    }
    // The first pass includes the probe's one-time set-up; the second is the steady state.
    QElapsedTimer timer;
    timer.start();
    for (const MediaItem& item : items)
        NonCapturedClassifier::classifyPhaseA(item);
    const double firstPass = timer.nsecsElapsed() / 1e9;
    std::printf("phase A, first pass: %lld images in %.3f s = %.0f images/s\n",
                static_cast<long long>(items.size()), firstPass, items.size() / firstPass);
    timer.restart();
    int flagged = 0;
    for (const MediaItem& item : items)
        flagged += NonCapturedClassifier::classifyPhaseA(item).kind == NonCapturedClassifier::PhaseAResult::Kind::nonCaptured;
    const double phaseASeconds = timer.nsecsElapsed() / 1e9;
    std::printf("phase A: %lld images in %.3f s = %.0f images/s on one thread (%d non-captured)\n",
                static_cast<long long>(items.size()), phaseASeconds, items.size() / phaseASeconds, flagged);

    // Phase B: 50 images, the worst case first: screenshots with nobody in them take both passes.
    QStringList detection;
    for (int i = 0; i < 40; ++i) {
        const QString path = dir.filePath(QStringLiteral("b-chat-%1.png").arg(i));
        chatScreen(i).save(path);
        detection.append(path);
    }
    const QStringList people = {"/usr/share/doc/opencv-doc/opencv4/html/Cascade_Classifier_Tutorial_Result_Haar.jpg",
                                "/usr/share/doc/opencv-doc/examples/data/messi5.jpg"};
    for (int i = 0; detection.size() < 50; ++i) {
        const QString& source = people[i % people.size()];
        const QString path = dir.filePath(QStringLiteral("b-person-%1.jpg").arg(i));
        if (!QFile::copy(source, path))
            chatScreen(100 + i).save(path, "JPEG");
        detection.append(path);
    }

    timer.restart();
    int persons = 0;
    for (const QString& path : detection)
        persons += NonCapturedClassifier::phaseBHasPerson(path);
    const double serial = timer.nsecsElapsed() / 1e9;
    std::printf("phase B: 50 images in %.2f s = %.2f images/s on one thread (%d with a person)\n", serial,
                50 / serial, persons);

    QThreadPool pool;
    pool.setMaxThreadCount(3);
    std::atomic<int> found{0};
    timer.restart();
    for (const QString& path : detection)
        pool.start([&found, path] { found += NonCapturedClassifier::phaseBHasPerson(path); });
    pool.waitForDone();
    const double pooled = timer.nsecsElapsed() / 1e9;
    std::printf("phase B: 50 images in %.2f s = %.2f images/s on the 3-thread detection pool\n", pooled, 50 / pooled);
    return 0;
}
