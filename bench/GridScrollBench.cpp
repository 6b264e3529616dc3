// A grid of 100,000 items scrolled from top to bottom through the same bookkeeping the photo grid
// uses (rows on screen plus one on either side), with a decoder that makes photo-shaped images of
// the requested size at once. Reports thumbnail requests against the items that came into view,
// cancelled requests, the time per scroll step and the peak resident memory.
//
//   GridScrollBench [item count, default 100000] [rows per step, default 3]

#include "app/services/thumbnails/ThumbnailProvider.h"
#include "app/services/thumbnails/VisibleThumbnails.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QThread>
#include <QTimeZone>

#include <algorithm>
#include <cstdio>

namespace {

class PhotoShapedDecoder final : public app::ImageDecoder {
public:
    QImage decode(const app::MediaItem& item, int maxPixelSize) override
    {
        QImage image(maxPixelSize, maxPixelSize * 3 / 4, QImage::Format_RGB32);
        image.fill(QColor::fromRgb(qHash(item.url)));
        return image;
    }
};

long statusKiB(const char* key)
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').first().toLong();
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 100000;
    const int rowsPerStep = argc > 2 ? std::max(1, atoi(argv[2])) : 3;

    // The default page: 11 columns of 140-point cells at scale 2, a viewport about nine rows high.
    const int columns = 11;
    const int visibleRows = 9;
    const double pointSize = 140, scale = 2;

    app::MediaItems items;
    items.reserve(count);
    const QDateTime start(QDate(2024, 1, 1), QTime(12, 0), QTimeZone::utc());
    for (int i = 0; i < count; ++i) {
        app::MediaItem item;
        item.url = QString("/media/usb/DCIM/%1/IMG_%2.HEIC").arg(i / 1000, 3, 10, QChar('0')).arg(i, 6, 10, QChar('0'));
        item.captureDate = start.addSecs(-i * 600);
        items.append(item);
    }

    app::ThumbnailProvider provider(std::make_unique<PhotoShapedDecoder>());
    app::VisibleThumbnails thumbs(&provider);
    thumbs.setItems(items);

    const long rssBefore = statusKiB("VmRSS:");
    const int rows = (count + columns - 1) / columns;
    QElapsedTimer total;
    total.start();
    double worstStepMs = 0;
    int steps = 0;
    for (int top = 0; top < rows; top += rowsPerStep, ++steps) {
        QElapsedTimer step;
        step.start();
        const int firstRow = std::max(top - 1, 0);
        const int lastRow = std::min(top + visibleRows, rows - 1); // rows on screen plus one
        thumbs.setWindow(firstRow * columns, std::min((lastRow + 1) * columns, count) - 1, pointSize, scale);
        worstStepMs = std::max(worstStepMs, step.nsecsElapsed() / 1e6);
        // One frame: results that arrived are delivered, the rest keep decoding.
        QCoreApplication::processEvents();
        QThread::usleep(2000);
    }
    provider.waitForIdle();
    QCoreApplication::processEvents();
    const double seconds = total.nsecsElapsed() / 1e9;

    std::printf("items: %d, %d columns, %d rows, scrolled %d rows per step (%d steps) in %.2f s\n", count, columns,
                rows, rowsPerStep, steps, seconds);
    std::printf("grid requests: %llu for %d items that came into view (%.3f per item); cancelled: %llu\n",
                (unsigned long long)thumbs.requestsMade(), count, double(thumbs.requestsMade()) / count,
                (unsigned long long)thumbs.requestsCancelled());
    std::printf("provider: %llu requests issued, %llu decodes; cache holds %lld images, %.1f MB\n",
                (unsigned long long)provider.requestsIssued(), (unsigned long long)provider.decodesStarted(),
                (long long)provider.cachedCount(), provider.cachedBytes() / 1e6);
    std::printf("worst bookkeeping time of one step: %.2f ms\n", worstStepMs);
    std::printf("RSS with the items listed, before scrolling: %.1f MB\n", rssBefore / 1024.0);
    std::printf("peak RSS: %.1f MB (target <= 400 MB)\n", statusKiB("VmHWM:") / 1024.0);
    return 0;
}
