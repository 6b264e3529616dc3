#pragma once

#include <QImage>

#include <memory>
#include <vector>

namespace app {

// Looks for people in an already decoded image. The caller fixes the order of the questions; each
// answer is "at least one hit". One instance per thread: implementations keep scratch state.
class PersonDetector {
public:
    enum class BodyScope { fullBody, upperBody };
    enum class FacePass { first, second };

    virtual ~PersonDetector() = default;
    virtual bool detectsBody(const QImage& image, BodyScope scope) = 0;
    virtual bool detectsFace(const QImage& image, FacePass pass) = 0;
};

// The detectors the application uses.
//
// Faces: dlib's frontal face detector (model compiled in) at its own threshold 0. On the second,
// smaller decode the image is first upsampled once (pyramid_up) so faces down to about 40 pixels
// are found. Measured on OpenCV's sample images: no hit on 33 person-free images (screenshots,
// text, cards, chessboards, animals, buildings; best false score -0.07), faces found in 6 of 8
// pictures of people. A second survey over all 90 images of opencv-doc's examples/data: the one
// person-free hit is the face of a cartoon robot (ml.png, 0.02 on the upsampled pass); all 4
// pictures of people found.
//
// Bodies: nothing. OpenCV's HOG people detector (default SVM, group threshold 2) was measured on
// the same sets and left out: it fired on 5 of the 33 person-free images (playing cards 0.94,
// chessboard 0.82, a code-editor screenshot 0.63, board 0.45, graffiti 0.28) and found people in
// only 2 of 8 (weights 0.79 and 0.54), so no weight threshold keeps the person-free images clean
// while still finding the people. On the 90-image survey it fired on 10 person-free images
// (blobs 1.73, a logo 0.90, cards 0.88) and on 2 of the 4 with people (0.79, 0.54). It also
// crashes on images smaller than its 64x128 window.
// OpenCV's Haar cascades (opencv-data) were measured too, over opencv-doc's images (29 with people,
// mostly a person holding a calibration board), the media fixtures and 22 generated screens, documents
// and drawings (101 person-free images; PersonDetectorSurveyBench): full body fired on 7 person-free
// images and, above its worst false score, found no person; upper body fired on 17 and found none;
// profile face fired on 3 (a bookshelf 1.56, a logo 1.10) and found 2 of 29 above 1.56, with a margin
// of 0.13. None is used.
// The upper-body question is answered by dlib's face detector on the second decode without
// upsampling, as no usable upper-body detector exists.
std::unique_ptr<PersonDetector> makePersonDetector();

// Raw scores for measuring the face detector on sample sets (benchmark survey): dlib face scores
// down to -0.5 at both passes.
struct PersonDetectorScores {
    std::vector<double> faceScores;         // the image as given
    std::vector<double> upsampledFaceScores; // after one pyramid_up
};
PersonDetectorScores measurePersonDetectors(const QImage& image);

} // namespace app
