#pragma once

#include <QImage>
#include <QSize>

#include <array>
#include <memory>
#include <utility>

struct AVFrame;
struct SwsContext;

namespace app {

class HdrToneMapper;

// Turns a decoded video frame into a picture that fits a box, converting colours and scaling in
// one swscale pass split over a few threads; HDR (HLG, PQ) frames are tone mapped to SDR. One
// scaler per thread; it keeps its swscale context while the frames keep their shape.
class VideoFrameScaler {
public:
    VideoFrameScaler();
    ~VideoFrameScaler();
    VideoFrameScaler(const VideoFrameScaler&) = delete;
    VideoFrameScaler& operator=(const VideoFrameScaler&) = delete;

    // A null image when the frame holds no picture or swscale cannot read its layout (logged once
    // per shape). An empty box keeps the frame's size.
    QImage convert(const AVFrame& frame, QSize box);
    // The frame's size shrunk to fit the box with its aspect kept; never enlarged, never empty.
    static QSize fittedSize(QSize frame, QSize box);
    // The frame's size as shown, its sample aspect ratio applied to its width.
    static QSize shownSize(const AVFrame& frame);
    // Threads one conversion is split over.
    static int threadCount();
    void setThreadCount(int threads) { threads_ = threads; }
    // Frames that could not be converted so far.
    quint64 rejected() const { return rejectedCount_; }
    // Where converted pictures are written; it must give the slack swscale's writers need.
    using Allocator = QImage (*)(QSize size, QImage::Format format);
    void setAllocator(Allocator allocate) { allocate_ = allocate; }

private:
    SwsContext* makeContext(QSize from, int fromFormat, QSize to, int toFormat, int flags) const;
    // A picture made earlier that nobody holds any more, or a new one.
    QImage reusedImage(QSize size, QImage::Format format);

    SwsContext* context_ = nullptr;
    SwsContext* shrink_ = nullptr;
    struct FrameFree {
        void operator()(AVFrame* frame) const;
    };
    std::unique_ptr<AVFrame, FrameFree> middle_;
    struct Key {
        int srcWidth = 0, srcHeight = 0, srcFormat = -1, dstWidth = 0, dstHeight = 0, matrix = 0, threads = 0;
        bool fullRange = false, twoPass = false;
        bool operator==(const Key&) const = default;
    } key_;
    int threads_ = threadCount();
    Allocator allocate_;
    // The last pictures made, written again once the window lets them go: a new picture for every
    // frame costs a page fault on each of its pages, a fifteenth of the time on a 1080p60 clip.
    std::array<QImage, 5> kept_;
    size_t nextKept_ = 0;
    std::unique_ptr<HdrToneMapper> toneMapper_;
    // The last shape of frame refused, so a clip of them logs once.
    std::pair<int, QSize> rejected_{-1, QSize()};
    quint64 rejectedCount_ = 0;
};

} // namespace app
