#pragma once

#include "app/models/MediaItem.h"

#include <QImage>
#include <QString>

#include <functional>
#include <optional>

namespace app {

class MediaProbe;
class PersonDetector;

// What the rule-based phase reads from a file, without decoding pixels.
struct ImageSignals {
    std::optional<qint64> width;
    std::optional<qint64> height;
    std::optional<QString> make;     // trimmed; may be empty
    std::optional<QString> model;    // trimmed; may be empty
    std::optional<QString> software; // trimmed; may be empty
    bool hasExposureParams = false;  // any of f-number, exposure time, ISO, focal length is present
    std::optional<qint64> fileSize;
};

// Sorts still images into camera shots and non-captured images (screenshots, saved web pictures,
// exports of capture tools). Phase A decides from the name, extension, size and header properties;
// phase B looks for people in the images phase A flagged, since those stay among the photos.
class NonCapturedClassifier {
public:
    NonCapturedClassifier() = delete;

    struct PhaseAResult {
        enum class Kind { nonCaptured, keep, excluded };
        Kind kind = Kind::excluded;
        QString rule; // empty for `excluded`

        static PhaseAResult nonCaptured(QString rule) { return {Kind::nonCaptured, std::move(rule)}; }
        static PhaseAResult keep(QString rule) { return {Kind::keep, std::move(rule)}; }
        static PhaseAResult excluded() { return {}; }
        friend bool operator==(const PhaseAResult&, const PhaseAResult&) = default;
    };

    using SignalReader = std::function<ImageSignals(const QString& path)>;

    // Never fails: whatever cannot be read counts as absent. Reads headers only; safe on any thread.
    static PhaseAResult classifyPhaseA(const MediaItem& item);
    static PhaseAResult classifyPhaseA(const MediaItem& item, const SignalReader& readSignals);

    static ImageSignals readImageSignals(const QString& path);
    static ImageSignals readImageSignals(const QString& path, const MediaProbe& probe);

    // Decodes an upright image whose longer side is at most `maxPixelSize`; null when it cannot.
    using ImageLoader = std::function<QImage(const QString& path, int maxPixelSize)>;

    // Whether a person or a face can be seen: blocking, for worker threads. Pass 1 on a 1024-pixel
    // decode (bodies, then faces); pass 2, only when pass 1 found nothing, on a 640-pixel decode
    // (upper bodies, then faces). An undecodable file gives false without asking the detector.
    static bool containsPerson(const QString& path, PersonDetector& detector, const ImageLoader& load);
    // The same with this thread's own real detectors and the application's image decoder.
    static bool phaseBHasPerson(const QString& path);

    static constexpr int firstPassPixelSize = 1024;
    static constexpr int secondPassPixelSize = 640;
};

} // namespace app
