#pragma once

#include <QImage>

#include <vector>

namespace bench {

// OpenCV's HOG people detector (default SVM, group threshold 2) on one image, for the detector
// surveys: the weight of each hit; empty when the image is smaller than the detector's window.
std::vector<double> hogPeopleWeights(const QImage& image);

} // namespace bench
