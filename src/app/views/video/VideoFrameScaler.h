#pragma once

#include <QImage>
#include <QSize>
#include <QVideoFrame>

struct SwsContext;

namespace app {

// Turns a decoded video frame into a picture that fits a box, converting colours and scaling in
// one swscale pass split over a few threads. Frames in a layout swscale does not take go through
// Qt's own conversion and a scale instead. One scaler per thread; it keeps its swscale context
// while the frames keep their shape.
class VideoFrameScaler {
public:
    VideoFrameScaler();
    ~VideoFrameScaler();
    VideoFrameScaler(const VideoFrameScaler&) = delete;
    VideoFrameScaler& operator=(const VideoFrameScaler&) = delete;

    // A null image when the frame holds no picture. An empty box keeps the frame's size.
    QImage convert(const QVideoFrame& frame, QSize box);
    // The frame's size shrunk to fit the box with its aspect kept; never enlarged, never empty.
    static QSize fittedSize(QSize frame, QSize box);
    // Threads one conversion is split over.
    static int threadCount();

private:
    QImage convertWithQt(const QVideoFrame& frame, QSize size) const;

    SwsContext* context_ = nullptr;
    struct Key {
        int srcWidth = 0, srcHeight = 0, srcFormat = -1, dstWidth = 0, dstHeight = 0, matrix = 0;
        bool fullRange = false;
        bool operator==(const Key&) const = default;
    } key_;
};

} // namespace app
