#pragma once

#include <stdexcept>
#include <string>

namespace app {

// A file whose structure the orientation editors cannot change safely. The text is shown to the
// user after "写入方向信息失败：".
class OrientationEditError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace ExifOrientation {
// The value that shows the picture a quarter turn further clockwise; anything outside 1…8 counts
// as upright turned once.
int clockwise(int orientation);
int clockwise(int orientation, int quarterTurns);
} // namespace ExifOrientation

} // namespace app
