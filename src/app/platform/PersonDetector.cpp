#include "app/platform/PersonDetector.h"

#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/image_transforms.h>

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

namespace app {

namespace {

// dlib's own decision threshold; anything at or above it is a face.
constexpr double kFaceThreshold = 0.0;
// HOG's detection window; smaller images crash OpenCV 4.6's detector.
constexpr int kHogWindowWidth = 64;
constexpr int kHogWindowHeight = 128;

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
    if (image.width() < kHogWindowWidth || image.height() < kHogWindowHeight)
        return scores;
    try {
        const QImage gray = image.convertToFormat(QImage::Format_Grayscale8);
        const cv::Mat mat(gray.height(), gray.width(), CV_8UC1, const_cast<uchar*>(gray.constBits()),
                          static_cast<size_t>(gray.bytesPerLine()));
        cv::HOGDescriptor hog;
        hog.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
        std::vector<cv::Rect> found;
        hog.detectMultiScale(mat, found, scores.hogWeights, 0, cv::Size(8, 8), cv::Size(0, 0), 1.05, 2);
    } catch (const cv::Exception&) {
        scores.hogWeights.clear();
    }
    return scores;
}

} // namespace app
