// The full-size viewer, as a user meets it:
//   open:   double-click to the sharp picture of a 12 MP camera JPEG and a 12 MP phone HEIC (files
//           in the page cache, as just seen in the grid; an empty image cache), at 2200 points × 1
//           and × 2. The JPEG against libvips's thumbnail in this process, to memory, the two
//           alternating file by file after one warm-up each (vips_thumbnail N, size "down", as
//           `vipsthumbnail --size N>`: ours never enlarges either; every core on both sides;
//           target: ours no slower). The HEIC against one `vipsthumbnail --size N>` process per
//           file (N = 2200 and 4400), the peer's process start and output file measured and
//           subtracted, and our decoder alone against libheif decoding the same primary image with
//           the same threads to the same size, both in this process, alternating (target: ours at
//           most 0.4 of it), with how far our picture is from the fully filtered decode at that
//           size (target: PSNR at least 45 dB);
//   paging: from the swap to the sharp next picture with the neighbours made ahead (target: within
//           one 16 ms frame), paging at 0.5 s per photo;
//   video:  main-thread CPU per shown frame while a 1080p H.264 and a 4K HEVC clip play, beside
//           what converting each frame would have cost that thread;
//   memory: resident size after paging through 1,000 photos.
//
//   ViewerBench [photos to page through, default 1000]

#include "app/platform/decoding/DecodeWorkers.h"
#include "app/platform/decoding/HeifImageDecoder.h"
#include "app/platform/decoding/HevcHeifDecoder.h"
#include "app/platform/decoding/ImageDecoder.h"
#include "app/platform/playback/VideoPlayer.h"
#include "app/services/thumbnails/ThumbnailProvider.h"
#include "app/views/viewer/PhotoDetailView.h"
#include "app/views/video/VideoPlaybackView.h"
#include "app/views/video/VideoSurfaceWidget.h"
#include "support/BenchInputs.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <libheif/heif.h>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

long statusKb(const char* field)
{
    QFile file("/proc/self/status");
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLong();
    return -1;
}

app::MediaItem photo(const QString& path)
{
    app::MediaItem item;
    item.url = path;
    return item;
}

bool run(const QString& program, const QStringList& args, bool forwardOutput = false)
{
    QProcess p;
    if (forwardOutput)
        p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(program, args);
    p.waitForFinished(-1);
    if (p.exitCode() != 0)
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), p.readAllStandardError().constData());
    return p.exitCode() == 0;
}

// Milliseconds from building the viewer to its sharp picture, with an empty image cache. Timed at
// the viewer's signal: polling would add up to two of its sleeps.
double openToFullImage(const QString& path)
{
    app::ThumbnailProvider provider(app::makeMediaImageDecoder());
    QEventLoop loop;
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    QElapsedTimer t;
    t.start();
    app::PhotoDetailView viewer({photo(path)}, 0, provider);
    qint64 shownAt = -1;
    QObject::connect(&viewer, &app::PhotoDetailView::fullImageChanged, &loop, [&] {
        if (!viewer.fullImage().isNull()) {
            shownAt = t.nsecsElapsed();
            loop.quit();
        }
    });
    viewer.setMetadataSource({});
    if (viewer.fullImage().isNull())
        loop.exec();
    else
        shownAt = t.nsecsElapsed();
    return shownAt < 0 ? -1 : double(shownAt) / 1e6;
}

double vipsOnce(const QString& vips, const QString& path, int size, const QString& out)
{
    QElapsedTimer t;
    t.start();
    if (!run(vips, {path, "--size", QString::number(size) + ">", "-o", out + "/%s.v"}))
        return -1;
    return double(t.nsecsElapsed()) / 1e6;
}

// What a vipsthumbnail process costs besides its thumbnail: starting, loading its libraries and
// writing a file, measured on a 16-pixel picture.
double vipsStartMs(const QString& vips, const QString& out)
{
    const QString tiny = out + "/tiny.jpg";
    QImage pixels(16, 16, QImage::Format_RGB32);
    pixels.fill(Qt::gray);
    if (!pixels.save(tiny))
        return -1;
    std::vector<double> times;
    for (int i = 0; i < 7; ++i)
        times.push_back(vipsOnce(vips, tiny, 16, out));
    return median(times);
}

// Writing the peer's output file (a raw .v image) again, as it wrote it: the cost of a file ours
// never writes.
double outputFileMs(const QString& written)
{
    const qint64 size = QFileInfo(written).size();
    const QByteArray bytes(size, '\x55');
    std::vector<double> times;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer t;
        t.start();
        QFile file(written + ".again");
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != size)
            return -1;
        file.close();
        times.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    QFile::remove(written + ".again");
    return median(times);
}

// libvips's thumbnail in this process, loaded at run time (only its runtime library is installed):
// the file decoded, shrunk to fit N × N when larger, turned upright and written to memory, as
// `vipsthumbnail --size N>` does without its process and output file.
class VipsInProcess {
public:
    VipsInProcess()
    {
        vips_ = dlopen("libvips.so.42", RTLD_NOW | RTLD_LOCAL);
        gobject_ = dlopen("libgobject-2.0.so.0", RTLD_NOW | RTLD_LOCAL);
        glib_ = dlopen("libglib-2.0.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!vips_ || !gobject_ || !glib_)
            return;
        const auto init = reinterpret_cast<int (*)(const char*)>(dlsym(vips_, "vips_init"));
        const auto cacheMax = reinterpret_cast<void (*)(int)>(dlsym(vips_, "vips_cache_set_max"));
        thumbnail_ = reinterpret_cast<Thumbnail>(dlsym(vips_, "vips_thumbnail"));
        toMemory_ = reinterpret_cast<void* (*)(void*, size_t*)>(dlsym(vips_, "vips_image_write_to_memory"));
        unref_ = reinterpret_cast<void (*)(void*)>(dlsym(gobject_, "g_object_unref"));
        free_ = reinterpret_cast<void (*)(void*)>(dlsym(glib_, "g_free"));
        if (!init || !cacheMax || !thumbnail_ || !toMemory_ || !unref_ || !free_ || init("ViewerBench") != 0)
            thumbnail_ = nullptr;
        else
            cacheMax(0); // every file decoded again, as ours is with an empty image cache
    }
    bool isValid() const { return thumbnail_ != nullptr; }

    // Milliseconds to the upright picture in memory; -1 when libvips failed.
    double thumbnailMs(const QString& path, int size) const
    {
        constexpr int sizeDown = 2; // VIPS_SIZE_DOWN
        QElapsedTimer t;
        t.start();
        void* image = nullptr;
        if (thumbnail_(QFile::encodeName(path).constData(), &image, size, "height", size, "size", sizeDown, nullptr) != 0)
            return -1;
        size_t bytes = 0;
        void* pixels = toMemory_(image, &bytes);
        const double ms = double(t.nsecsElapsed()) / 1e6;
        free_(pixels);
        unref_(image);
        return pixels && bytes > 0 ? ms : -1;
    }

private:
    using Thumbnail = int (*)(const char*, void**, int, ...);
    void* vips_ = nullptr;
    void* gobject_ = nullptr;
    void* glib_ = nullptr;
    Thumbnail thumbnail_ = nullptr;
    void* (*toMemory_)(void*, size_t*) = nullptr;
    void (*unref_)(void*) = nullptr;
    void (*free_)(void*) = nullptr;
};

// libheif's own decode of the primary image, with as many threads as our decoder uses (the cores
// this process may run on, at most 8), scaled to the same size as ours the same way.
double libheifPrimaryMs(const QString& path, int pixels)
{
    QElapsedTimer t;
    t.start();
    heif_context* context = heif_context_alloc();
    heif_context_set_max_decoding_threads(context, app::DecodeWorkers::usableCores(8));
    heif_image_handle* handle = nullptr;
    heif_image* image = nullptr;
    bool ok = heif_context_read_from_file(context, QFile::encodeName(path).constData(), nullptr).code == heif_error_Ok
        && heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok
        && heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code
            == heif_error_Ok;
    if (ok) {
        int stride = 0;
        const std::uint8_t* data = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
        const QImage view(data, heif_image_get_width(image, heif_channel_interleaved),
                          heif_image_get_height(image, heif_channel_interleaved), stride, QImage::Format_RGB888);
        ok = !app::ImageScaling::fitted(view, pixels).isNull();
    }
    const double ms = double(t.nsecsElapsed()) / 1e6;
    heif_image_release(image);
    heif_image_handle_release(handle);
    heif_context_free(context);
    return ok ? ms : -1;
}

// Our decoder alone on the same file and size, in this process.
double oursDecodeMs(const QString& path, int pixels)
{
    QElapsedTimer t;
    t.start();
    const bool ok = !app::HeifImageDecoder::decodeFile(path, pixels).isNull();
    return ok ? double(t.nsecsElapsed()) / 1e6 : -1;
}

// How far our picture at `pixels` is from the fully filtered decode at the same size (the decoder
// skips its in-loop filters for pictures shown at most 0.6 of their size), in dB; 100 when equal.
double psnrAgainstFiltered(const QString& path, int pixels)
{
    const app::MetadataFile file(QFile::encodeName(path));
    const app::HeifBoxReader::Images images = app::HeifBoxReader::readImages(file);
    using app::HevcHeifDecoder::Filtering;
    const QImage a = app::HevcHeifDecoder::decode(file, images, images.primary, pixels).convertToFormat(QImage::Format_RGB888);
    const QImage b = app::HevcHeifDecoder::decode(file, images, images.primary, pixels, Filtering::always)
                         .convertToFormat(QImage::Format_RGB888);
    if (a.isNull() || a.size() != b.size())
        return -1;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        const uchar* p = a.constScanLine(y);
        const uchar* q = b.constScanLine(y);
        for (int i = 0; i < a.width() * 3; ++i)
            sum += double((int(p[i]) - int(q[i])) * (int(p[i]) - int(q[i])));
    }
    const double mse = sum / (double(a.width()) * a.height() * 3);
    return mse == 0 ? 100 : 10 * std::log10(255.0 * 255.0 / mse);
}

bool makeClip(const QString& path, const QString& size, const QString& codec, int seconds)
{
    return run("ffmpeg", {"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                          QString("testsrc2=duration=%1:size=%2:rate=30").arg(seconds).arg(size), "-f", "lavfi",
                          "-i", QString("sine=frequency=440:duration=%1").arg(seconds), "-c:v", codec, "-preset",
                          "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", path});
}

void playback(const QString& label, const QString& clip)
{
    app::VideoPlayer player;
    app::VideoPlaybackView view(&player);
    view.resize(1280, 760);
    view.show();
    int paints = 0;
    QObject::connect(&player, &app::VideoPlayer::frameChanged, &view, [&] { ++paints; });
    player.setSource(QUrl::fromLocalFile(clip));
    // Warm-up: the first frames load the decoders.
    player.play();
    bool ended = false;
    // The end is a passing status: the model seeks back to the start at once.
    QObject::connect(&player, &app::VideoPlayer::mediaStatusChanged, &view,
                     [&](QMediaPlayer::MediaStatus status) { ended = ended || status == QMediaPlayer::EndOfMedia; });
    if (!QTest::qWaitFor([&] { return paints > 0 && view.model()->isPlaying(); }, 20000)) {
        std::printf("%s: no frames\n", qPrintable(label));
        return;
    }
    const int startPaints = paints;
    const app::PlaybackEngine::Stats start = player.stats();
    const double cpu0 = threadCpuMs();
    QElapsedTimer wall;
    wall.start();
    (void)QTest::qWaitFor([&] { return ended; }, 60000);
    const double cpu = threadCpuMs() - cpu0;
    const int frames = paints - startPaints;
    const app::PlaybackEngine::Stats stop = player.stats();
    std::printf("%s%s: %d frames shown in %.1f s (%llu decoded, %llu dropped late); main thread %.2f ms CPU per shown "
                "frame (the pictures come converted and scaled to the window)\n",
                ended ? "" : "(did not end) ", qPrintable(label), frames, double(wall.elapsed()) / 1000,
                (unsigned long long)(stop.decoded - start.decoded), (unsigned long long)(stop.late - start.late),
                frames > 0 ? cpu / frames : -1.0);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc > 1 && QByteArray(argv[1]) == "--open-only-at-2x")
        qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    const bool openOnly = argc > 1 && QByteArray(argv[1]) == "--open-only-at-2x";
    const int pageCount = argc > 1 && !openOnly ? std::max(10, atoi(argv[1])) : 1000;
    const QString vips = QStandardPaths::findExecutable("vipsthumbnail");
    if (vips.isEmpty()) {
        std::fprintf(stderr, "vipsthumbnail not found (Debian package libvips-tools)\n");
        return 1;
    }
    QTemporaryDir ownDir(QDir::tempPath() + "/tess-viewerbench-XXXXXX");
    // The ×2 run reuses the parent's files.
    const QDir dir(openOnly && argc > 2 ? QString(argv[2]) : ownDir.path());
    constexpr int distinct = 6;
    QStringList jpegs, heics, grids;
    if (!openOnly)
        std::fprintf(stderr, "generating photos and clips in %s ...\n", qPrintable(dir.path()));
    for (int i = 0; i < distinct; ++i) {
        jpegs << dir.filePath(QString("camera-%1.jpg").arg(i));
        heics << dir.filePath(QString("phone-%1.heic").arg(i));
        grids << dir.filePath(QString("phone-grid-%1.heic").arg(i));
        if (!openOnly
            && (!bench::writeCameraJpeg(jpegs.last(), 300 + i, i % 2 ? 6 : 1)
                || !bench::writePhoneHeic(heics.last(), 400 + i, 1) || !bench::writePhoneGridHeic(grids.last(), 500 + i)))
            return 1;
    }
    // The peer's output goes to memory where there is a memory file system, so that little is left
    // of its cost; what is left is measured and subtracted below.
    QTemporaryDir shm("/dev/shm/tess-viewerbench-vips-XXXXXX");
    const QString out = shm.isValid() ? shm.path() : dir.filePath("vips");
    QDir().mkpath(out);
    const double start = vipsStartMs(vips, out);

    // Open to the sharp picture, at the display scale of this process (the parent runs itself
    // again with QT_SCALE_FACTOR=2 for a ×2 screen).
    const double scale = qApp->devicePixelRatio();
    {
        const VipsInProcess vipsHere;
        if (!vipsHere.isValid()) {
            std::fprintf(stderr, "libvips could not be loaded (Debian package libvips42)\n");
            return 1;
        }
        bench::warm(jpegs);
        const int pixels = app::ThumbnailProvider::pixelSize(app::PhotoDetailView::fullImagePointSize, scale);
        (void)openToFullImage(jpegs.last());
        (void)vipsHere.thumbnailMs(jpegs.last(), pixels);
        std::vector<double> ours, theirs;
        for (int round = 0; round < 3; ++round) {
            for (const QString& f : jpegs) {
                ours.push_back(openToFullImage(f));
                theirs.push_back(vipsHere.thumbnailMs(f, pixels));
            }
        }
        const double a = median(ours), b = median(theirs);
        std::printf("open 12 MP JPEG at 2200 pt x %.0f (%d px): ours %.1f ms (min %.1f, max %.1f); libvips thumbnail in "
                    "this process %.1f ms (min %.1f, max %.1f); medians of %zu, alternating; ratio %.2f (target <= 1.0)\n",
                    scale, pixels, a, *std::min_element(ours.begin(), ours.end()),
                    *std::max_element(ours.begin(), ours.end()), b, *std::min_element(theirs.begin(), theirs.end()),
                    *std::max_element(theirs.begin(), theirs.end()), ours.size(), a / b);
    }
    for (const auto& [name, files] : {std::pair{QString("12 MP HEIC, one coded picture"), heics},
                                      std::pair{QString("12 MP HEIC, 8x6 grid as phones write"), grids}}) {
        bench::warm(files);
        const int pixels = app::ThumbnailProvider::pixelSize(app::PhotoDetailView::fullImagePointSize, scale);
        std::vector<double> ours, theirs, writes, libheif, oursDecoder, psnr;
        for (const QString& f : files) {
            ours.push_back(openToFullImage(f));
            theirs.push_back(vipsOnce(vips, f, pixels, out));
            writes.push_back(outputFileMs(out + "/" + QFileInfo(f).completeBaseName() + ".v"));
            if (name.contains("HEIC")) {
                // Alternating, three of each per file.
                for (int round = 0; round < 3; ++round) {
                    oursDecoder.push_back(oursDecodeMs(f, pixels));
                    libheif.push_back(libheifPrimaryMs(f, pixels));
                }
                psnr.push_back(psnrAgainstFiltered(f, pixels));
            }
        }
        const double a = median(ours), b = median(theirs), w = median(writes);
        const double net = b - start - w;
        std::printf("open %s at 2200 pt x %.0f (%d px): ours %.1f ms; vipsthumbnail --size %d> %.1f ms less its process "
                    "start %.1f ms and output file %.1f ms = %.1f ms (medians of %d, output in %s); ratio %.2f\n",
                    qPrintable(name), scale, pixels, a, pixels, b, start, w, net, distinct, qPrintable(out), a / net);
        if (!libheif.empty())
            std::printf("  libheif decoding the same primary with the same %d threads and scaling it to %d px, in this "
                        "process, alternating with our decoder alone: libheif %.1f ms, ours %.1f ms (medians of %zu); "
                        "ours/libheif %.2f (target <= 0.4); the viewer's open/libheif %.2f\n",
                        app::DecodeWorkers::usableCores(8), pixels, median(libheif), median(oursDecoder),
                        libheif.size(), median(oursDecoder) / median(libheif), a / median(libheif));
        if (!psnr.empty())
            std::printf("  our picture at %d px against the fully filtered decode at that size: PSNR %.1f to %.1f dB "
                        "over the %zu files (100: identical; target >= 45)\n",
                        pixels, *std::min_element(psnr.begin(), psnr.end()), *std::max_element(psnr.begin(), psnr.end()),
                        psnr.size());
    }
    std::fflush(stdout);
    if (openOnly)
        return 0;
    if (!run(QCoreApplication::applicationFilePath(), {"--open-only-at-2x", dir.path()}, true))
        return 1;

    // Paging with the neighbours made ahead, then memory after many photos.
    {
        const QStringList names = bench::linkNames(jpegs, dir.filePath("library"), pageCount, "IMG");
        app::MediaItems items;
        for (const QString& n : names)
            items.append(photo(n));
        app::ThumbnailProvider provider(app::makeMediaImageDecoder());
        double now = 0;
        const long rssBefore = statusKb("VmRSS:");
        app::PhotoDetailView viewer(items, 0, provider);
        viewer.setClock([&] { return now; });
        viewer.resize(1280, 800);
        viewer.show();
        if (!QTest::qWaitFor([&] { return !viewer.fullImage().isNull(); }, 60000))
            return 1;
        std::vector<double> swapMs;
        int sharpAtSwap = 0;
        long rssAt100 = 0;
        for (int i = 1; i < items.size(); ++i) {
            // A user looks at each photo for a moment: the neighbour is made meanwhile.
            provider.waitForIdle();
            QApplication::processEvents();
            QTest::keyClick(&viewer, Qt::Key_Right);
            now += 0.15;
            QElapsedTimer t;
            t.start();
            viewer.advanceAnimations();
            viewer.repaint();
            swapMs.push_back(double(t.nsecsElapsed()) / 1e6);
            sharpAtSwap += viewer.fullImage().isNull() ? 0 : 1;
            now += 0.35;
            viewer.advanceAnimations();
            if (!QTest::qWaitFor([&] { return !viewer.fullImage().isNull(); }, 60000))
                return 1;
            if (i == 100)
                rssAt100 = statusKb("VmRSS:");
        }
        std::sort(swapMs.begin(), swapMs.end());
        std::printf("paging %lld photos (12 MP JPEGs, 1280x800 window): sharp at the swap %d of %zu; swap step with "
                    "paint p50 %.2f ms, p99 %.2f ms, max %.2f ms (target 16 ms)\n",
                    (long long)items.size(), sharpAtSwap, swapMs.size(), swapMs[swapMs.size() / 2],
                    swapMs[std::min(swapMs.size() - 1, size_t(0.99 * double(swapMs.size())))], swapMs.back());
        std::printf("memory: RSS %.0f MB before the viewer, %.0f MB after 100 photos, %.0f MB after %lld; peak %.0f MB; "
                    "image cache %.0f MB of its %.0f MB budget\n",
                    rssBefore / 1024.0, rssAt100 / 1024.0, statusKb("VmRSS:") / 1024.0, (long long)items.size(),
                    statusKb("VmHWM:") / 1024.0, provider.cachedBytes() / 1048576.0,
                    provider.cacheByteLimit() / 1048576.0);
    }

    // Playback.
    const QString hd = dir.filePath("clip-1080p.mp4"), uhd = dir.filePath("clip-4k.mp4");
    if (!makeClip(hd, "1920x1080", "libx264", 6) || !makeClip(uhd, "3840x2160", "libx265", 6))
        return 1;
    playback("1080p H.264", hd);
    playback("4K HEVC", uhd);
    return 0;
}
