#include "support/HogPeopleWeights.h"

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

namespace bench {

std::vector<double> hogPeopleWeights(const QImage& image)
{
    // The detection window; OpenCV 4.6's detector crashes on smaller images.
    constexpr int windowWidth = 64;
    constexpr int windowHeight = 128;
    std::vector<double> weights;
    if (image.width() < windowWidth || image.height() < windowHeight)
        return weights;
    try {
        const QImage gray = image.convertToFormat(QImage::Format_Grayscale8);
        const cv::Mat mat(gray.height(), gray.width(), CV_8UC1, const_cast<uchar*>(gray.constBits()),
                          static_cast<size_t>(gray.bytesPerLine()));
        cv::HOGDescriptor hog;
        hog.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
        std::vector<cv::Rect> found;
        hog.detectMultiScale(mat, found, weights, 0, cv::Size(8, 8), cv::Size(0, 0), 1.05, 2);
    } catch (const cv::Exception&) {
        weights.clear();
    }
    return weights;
}

} // namespace bench
