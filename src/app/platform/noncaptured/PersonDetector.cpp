#include "app/platform/noncaptured/PersonDetector.h"

#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/image_transforms.h>

namespace app {

namespace {

// dlib's own decision threshold; anything at or above it is a face.
constexpr double kFaceThreshold = 0.0;

dlib::array2d<unsigned char> toDlibGray(const QImage& image)
{
    const QImage gray = image.convertToFormat(QImage::Format_Grayscale8);
    dlib::array2d<unsigned char> out(gray.height(), gray.width());
    for (int y = 0; y < gray.height(); ++y) {
        const uchar* row = gray.constScanLine(y);
        for (int x = 0; x < gray.width(); ++x)
            out[y][x] = row[x];
    }
    return out;
}

std::vector<double> faceScores(dlib::frontal_face_detector& detector, const dlib::array2d<unsigned char>& image,
                               double adjustThreshold)
{
    std::vector<dlib::rect_detection> found;
    detector(image, found, adjustThreshold);
    std::vector<double> scores;
    scores.reserve(found.size());
    for (const auto& hit : found)
        scores.push_back(hit.detection_confidence);
    return scores;
}

bool anyFace(dlib::frontal_face_detector& detector, const QImage& image, bool upsample)
{
    if (image.isNull() || image.width() < 2 || image.height() < 2)
        return false;
    try {
        auto gray = toDlibGray(image);
        if (upsample)
            dlib::pyramid_up(gray);
        for (double score : faceScores(detector, gray, 0.0)) {
            if (score >= kFaceThreshold)
                return true;
        }
    } catch (const std::exception&) { // dlib::error among them
    }
    return false;
}

class DlibPersonDetector final : public PersonDetector {
public:
    bool detectsBody(const QImage& image, BodyScope scope) override
    {
        // No body detector holds up on person-free images; see the header.
        if (scope == BodyScope::fullBody)
            return false;
        return anyFace(m_faces, image, false);
    }

    bool detectsFace(const QImage& image, FacePass pass) override
    {
        return anyFace(m_faces, image, pass == FacePass::second);
    }

private:
    dlib::frontal_face_detector m_faces = dlib::get_frontal_face_detector();
};

} // namespace

std::unique_ptr<PersonDetector> makePersonDetector()
{
    return std::make_unique<DlibPersonDetector>();
}

PersonDetectorScores measurePersonDetectors(const QImage& image)
{
    PersonDetectorScores scores;
    if (image.isNull() || image.width() < 2 || image.height() < 2)
        return scores;
    try {
        auto detector = dlib::get_frontal_face_detector();
        auto gray = toDlibGray(image);
        scores.faceScores = faceScores(detector, gray, -0.5);
        dlib::pyramid_up(gray);
        scores.upsampledFaceScores = faceScores(detector, gray, -0.5);
    } catch (const std::exception&) { // dlib::error among them
    }
    return scores;
}

} // namespace app
