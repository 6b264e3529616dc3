#include "app/services/noncaptured/NonCapturedClassifier.h"

#include "app/platform/decoding/ImageDecoder.h"
#include "app/platform/metadata/MediaProbe.h"
#include "app/platform/noncaptured/PersonDetector.h"
#include "app/platform/decoding/RawPreviewDecoder.h"

#include <QFileInfo>
#include <QSet>

#include <array>
#include <cmath>

namespace app {

namespace {

using Result = NonCapturedClassifier::PhaseAResult;

// Compared in lower case against the file name.
const std::array<QString, 17> kScreenshotWords = {
    QStringLiteral("screenshot"), QStringLiteral("screen shot"), QStringLiteral("screen-shot"),
    QStringLiteral("screen_shot"), QStringLiteral("截屏"), QStringLiteral("截图"),
    QStringLiteral("屏幕快照"), QStringLiteral("螢幕快照"), QStringLiteral("snipaste"),
    QStringLiteral("cleanshot"), QStringLiteral("lightshot"), QStringLiteral("greenshot"),
    QStringLiteral("xnip"), QStringLiteral("ishot"), QStringLiteral("capture"),
    QStringLiteral("screenclip"), QStringLiteral("screen clip"),
};

// Compared in lower case against the TIFF software field.
const std::array<QString, 20> kCaptureToolWords = {
    QStringLiteral("snipaste"), QStringLiteral("screenshot"), QStringLiteral("lightshot"),
    QStringLiteral("greenshot"), QStringLiteral("sharex"), QStringLiteral("cleanshot"),
    QStringLiteral("skitch"), QStringLiteral("snipping"), QStringLiteral("picpick"),
    QStringLiteral("faststone"), QStringLiteral("xnip"), QStringLiteral("ishot"),
    QStringLiteral("screencapture"), QStringLiteral("screen capture"), QStringLiteral("截图"),
    QStringLiteral("截屏"), QStringLiteral("snapz"), QStringLiteral("monosnap"),
    QStringLiteral("cloudapp"), QStringLiteral("dropbox capture"),
};

// Compared against the upper-cased file name.
const std::array<QString, 9> kCameraPrefixes = {
    QStringLiteral("IMG_"), QStringLiteral("PXL_"), QStringLiteral("DSC_"),
    QStringLiteral("DSCN"), QStringLiteral("DCIM"), QStringLiteral("MVIMG"),
    QStringLiteral("PHOTO_"), QStringLiteral("PIC_"), QStringLiteral("IMG-"),
};

const std::array<const char*, 7> kTypicalPhotoExtensions = {"jpg", "jpeg", "heic", "heif", "png", "tif", "tiff"};

const QSet<QString>& commonImageExtensions()
{
    static const QSet<QString> set = {"jpg", "jpeg", "png", "gif", "webp", "bmp", "heic", "heif", "tif", "tiff"};
    return set;
}

struct ResolutionKey {
    qint64 a = 0; // shorter side
    qint64 b = 0; // longer side
    static ResolutionKey of(qint64 w, qint64 h) { return {std::min(w, h), std::max(w, h)}; }
    friend bool operator==(const ResolutionKey&, const ResolutionKey&) = default;
};

size_t qHash(const ResolutionKey& key, size_t seed = 0)
{
    return qHashMulti(seed, key.a, key.b);
}

// Phone, tablet, Android and desktop screens. Portrait and landscape give the same key, so the 57
// stored pairs make 54 keys.
const QSet<ResolutionKey>& screenshotResolutions()
{
    static const QSet<ResolutionKey> set = [] {
        static constexpr int pairs[][2] = {
            {640, 1136}, {750, 1334}, {828, 1792}, {1125, 2436}, {1170, 2532}, {1179, 2556}, {1284, 2778},
            {1290, 2796}, {1320, 2868}, {1206, 2622}, {1242, 2208}, {1242, 2688}, {1080, 1920}, {1080, 2340},
            {1080, 2400}, {1080, 2412}, {1220, 2712}, {1260, 2800}, {1440, 3200}, {1440, 3088},
            {1536, 2048}, {1668, 2224}, {1668, 2388}, {2048, 2732}, {1640, 2360}, {2360, 1640}, {2064, 2752},
            {1488, 2266},
            {720, 1280}, {720, 1520}, {720, 1600}, {1080, 2160}, {1080, 2220}, {1080, 2280}, {1080, 2316},
            {1440, 2560}, {1440, 2960}, {1440, 3040}, {1440, 3120},
            {1280, 800}, {1440, 900}, {1512, 982}, {1680, 1050}, {1792, 1120}, {1800, 1169}, {1920, 1080},
            {1920, 1200}, {2048, 1280}, {2304, 1440}, {2560, 1440}, {2560, 1600}, {2880, 1800}, {3024, 1964},
            {3072, 1920}, {3456, 2234}, {3840, 2160}, {3840, 2400},
        };
        QSet<ResolutionKey> keys;
        for (const auto& pair : pairs)
            keys.insert(ResolutionKey::of(pair[0], pair[1]));
        return keys;
    }();
    return set;
}

constexpr qint64 kTypicalMinFileSize = 819200;
constexpr double kTypicalMinMegapixels = 8.0;
constexpr double kTypicalMaxMegapixels = 24.5;
constexpr double kRatioFourThirds = 4.0 / 3.0;
constexpr double kRatioThreeTwo = 1.5;
constexpr double kRatioTolerance = 0.08;

template <size_t N>
bool containsAny(const QString& text, const std::array<QString, N>& words)
{
    for (const QString& word : words) {
        if (text.contains(word.toLower()))
            return true;
    }
    return false;
}

bool filenameLooksLikeScreenshot(const QString& fileName)
{
    return containsAny(fileName.toLower(), kScreenshotWords);
}

bool softwareLooksLikeScreenshotTool(const QString& software)
{
    return containsAny(software.toLower(), kCaptureToolWords);
}

bool hasCameraEvidence(const ImageSignals& meta, const QString& extension)
{
    // A raw file comes from a camera.
    if (RawPreviewDecoder::fileExtensions().contains(extension))
        return true;
    if (meta.make && !meta.make->isEmpty())
        return true;
    if (meta.model && !meta.model->isEmpty())
        return true;
    return meta.hasExposureParams;
}

bool looksLikeTypicalCameraPhoto(const ImageSignals& meta, const QString& extension, std::optional<qint64> fileSize)
{
    if (std::find(kTypicalPhotoExtensions.begin(), kTypicalPhotoExtensions.end(), extension)
        == kTypicalPhotoExtensions.end())
        return false;
    if (!fileSize || *fileSize < kTypicalMinFileSize)
        return false;
    if (!meta.width || !meta.height || *meta.width < 1 || *meta.height < 1)
        return false;
    // Sides come from file headers: keep the product in range before it turns into pixels.
    const qint64 w = std::min<qint64>(*meta.width, 1 << 24);
    const qint64 h = std::min<qint64>(*meta.height, 1 << 24);
    const double megapixels = static_cast<double>(w * h) / 1000000.0;
    if (megapixels < kTypicalMinMegapixels || megapixels > kTypicalMaxMegapixels)
        return false;
    const double ratio = static_cast<double>(std::max(w, h)) / static_cast<double>(std::min(w, h));
    if (std::abs(ratio - kRatioFourThirds) / kRatioFourThirds <= kRatioTolerance)
        return true;
    return std::abs(ratio - kRatioThreeTwo) / kRatioThreeTwo <= kRatioTolerance;
}

bool filenameLooksLikeCameraRoll(const QString& fileName)
{
    const QString upper = fileName.toUpper();
    for (const QString& prefix : kCameraPrefixes) {
        if (upper.startsWith(prefix))
            return true;
    }
    return false;
}

std::optional<QString> trimmedText(const std::optional<QString>& text)
{
    if (!text)
        return std::nullopt;
    QString value = *text;
    const qsizetype nul = value.indexOf(QChar(0));
    if (nul >= 0)
        value.truncate(nul);
    return value.trimmed();
}

} // namespace

ImageSignals NonCapturedClassifier::readImageSignals(const QString& path)
{
    static const std::shared_ptr<const MediaProbe> probe = MediaProbe::system();
    return readImageSignals(path, *probe);
}

ImageSignals NonCapturedClassifier::readImageSignals(const QString& path, const MediaProbe& probe)
{
    ImageSignals signals_;
    const QFileInfo info(path);
    if (info.exists())
        signals_.fileSize = info.size();

    const PhotoProperties properties = probe.readPhoto(path);
    if (!properties.readable)
        return signals_;
    signals_.width = properties.pixelWidth;
    signals_.height = properties.pixelHeight;
    signals_.make = trimmedText(properties.make);
    signals_.model = trimmedText(properties.model);
    signals_.software = trimmedText(properties.software);
    signals_.hasExposureParams = properties.fNumber.has_value() || properties.exposureTime.has_value()
        || properties.isoSpeedRatings.has_value() || properties.focalLength.has_value();
    return signals_;
}

NonCapturedClassifier::PhaseAResult NonCapturedClassifier::classifyPhaseA(const MediaItem& item)
{
    return classifyPhaseA(item, [](const QString& path) { return readImageSignals(path); });
}

NonCapturedClassifier::PhaseAResult NonCapturedClassifier::classifyPhaseA(const MediaItem& item,
                                                                          const SignalReader& readSignals)
{
    if (item.kind == MediaKind::video || item.isLivePhoto)
        return Result::excluded();

    const QFileInfo info(item.url);
    const QString fileName = info.fileName();
    const QString extension = info.suffix().toLower();

    if (filenameLooksLikeScreenshot(fileName))
        return Result::nonCaptured(QStringLiteral("A1-filename"));

    const ImageSignals meta = readSignals(item.url);
    if (meta.software && softwareLooksLikeScreenshotTool(*meta.software))
        return Result::nonCaptured(QStringLiteral("A2-software"));
    if (hasCameraEvidence(meta, extension))
        return Result::keep(QStringLiteral("A3-camera"));
    if (meta.width && meta.height
        && screenshotResolutions().contains(ResolutionKey::of(*meta.width, *meta.height)))
        return Result::nonCaptured(QStringLiteral("A4-resolution"));
    if (looksLikeTypicalCameraPhoto(meta, extension, meta.fileSize))
        return Result::keep(QStringLiteral("A5-typical-photo"));
    if (filenameLooksLikeCameraRoll(fileName))
        return Result::keep(QStringLiteral("A6-camera-filename"));
    if (commonImageExtensions().contains(extension))
        return Result::nonCaptured(QStringLiteral("A7-generic-image"));
    return Result::keep(QStringLiteral("A-default-keep"));
}

bool NonCapturedClassifier::containsPerson(const QString& path, PersonDetector& detector, const ImageLoader& load)
{
    using BodyScope = PersonDetector::BodyScope;
    using FacePass = PersonDetector::FacePass;

    const QImage large = load(path, firstPassPixelSize);
    if (large.isNull())
        return false;
    if (detector.detectsBody(large, BodyScope::fullBody))
        return true;
    if (detector.detectsFace(large, FacePass::first))
        return true;

    const QImage small = load(path, secondPassPixelSize);
    if (small.isNull())
        return false;
    if (detector.detectsBody(small, BodyScope::upperBody))
        return true;
    return detector.detectsFace(small, FacePass::second);
}

bool NonCapturedClassifier::phaseBHasPerson(const QString& path)
{
    // Detectors and decoders keep scratch state: one of each per thread.
    thread_local std::unique_ptr<PersonDetector> detector = makePersonDetector();
    thread_local std::unique_ptr<ImageDecoder> decoder = makeMediaImageDecoder();
    return containsPerson(path, *detector, [](const QString& file, int maxPixelSize) {
        MediaItem item;
        item.url = file;
        item.kind = MediaKind::photo;
        return decoder->decode(item, maxPixelSize);
    });
}

} // namespace app
