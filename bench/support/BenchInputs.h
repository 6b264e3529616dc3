#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

#include <cstdint>

// Inputs that look like what users have, generated at run time under /tmp (never committed),
// and the measures every benchmark prints.
namespace bench {

// 4000x3000 (or `size`) with gradients, shapes and fine noise: moderate detail, so a JPEG of it at
// quality 92 is 2-3 MB like a camera's.
QImage cameraLikePicture(int seed, QSize size = QSize(4000, 3000));

// A camera JPEG: the picture, then a full Exif block (make, model, dates, exposure, a maker note,
// GPS) with a 160x120 IFD1 thumbnail and the given orientation.
bool writeCameraJpeg(const QString& path, int seed, int orientation, QSize size = QSize(4000, 3000));

// A phone HEIC of the same kind of picture, with its Exif and a 320-pixel thumbnail item.
bool writePhoneHeic(const QString& path, int seed, int orientation);
// A phone HEIC as phone cameras lay it out: 4032x3024 in a grid of 8x6 tiles of 512 pixels (the
// last column and row reach past the picture), each coded on its own, and a 320-pixel thumbnail
// item; no Exif.
bool writePhoneGridHeic(const QString& path, int seed);
// A 4032x3024 photo turned a quarter (Exif orientation 6) with a 320-pixel thumbnail, as libheif's
// own writer stores it: one coded picture whose declared size is the one shown.
bool writeTurnedPhoneHeic(const QString& path, int seed);

// A phone clip: 1080p, a few seconds, its 'moov' after the 'mdat', QuickTime date and place keys.
bool writePhoneVideo(const QString& path, int seed);

// `count` distinct copies (own inodes, own data blocks) of the sources, round robin, as
// dir/sub-NNN/prefix_NNNNN.ext with `perFolder` files per folder.
QStringList copyDistinct(const QStringList& sources, const QString& dir, int count, const QString& prefix,
                         int perFolder = 500);
// `count` names that are hard links to the given files, round robin, laid out like copyDistinct.
QStringList linkNames(const QStringList& targets, const QString& dir, int count, const QString& prefix,
                      int perFolder = 500);

// Writes back and drops the files from the page cache, so the next read comes from the disk.
void dropFromPageCache(const QStringList& files);
// Reads every file once.
void warm(const QStringList& files);

// Bytes this process (and its reaped children) caused to be read from storage.
std::int64_t storageReadBytes();
// CPU seconds of this process, and of its reaped children.
double cpuSeconds();
double childCpuSeconds();

// "vda: 128 KiB" for the disk holding `path`, plus the setting of every disk.
QString readAheadDescription(const QString& path);

// The figures of one timed run.
struct Run {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    std::int64_t bytesRead = 0;
};

// Runs a shell command line (output discarded) and measures it.
Run runShell(const QString& commandLine);

// Bytes in MB with one decimal.
QString megabytes(std::int64_t bytes);
double mean(const QStringList& files); // mean file size in bytes

QString shellQuote(const QString& text);

} // namespace bench

#include <QElapsedTimer>

namespace bench {

// Measures a run inside this process.
template <typename Work>
Run measure(Work&& work)
{
    const double cpu = cpuSeconds();
    const std::int64_t bytes = storageReadBytes();
    QElapsedTimer timer;
    timer.start();
    work();
    Run run;
    run.wallSeconds = double(timer.nsecsElapsed()) / 1e9;
    run.cpuSeconds = cpuSeconds() - cpu;
    run.bytesRead = storageReadBytes() - bytes;
    return run;
}

} // namespace bench
