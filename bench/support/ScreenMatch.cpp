#include "support/ScreenMatch.h"

#include "support/PhoneClips.h"

#include <QFile>
#include <QRegularExpression>

#include <sys/prctl.h>

#include <csignal>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {


// The picture with its brightness and contrast evened out: mean 128, deviation 40. What the
// program shows of an HDR clip is tone mapped by its own code, not ffmpeg's.
std::vector<unsigned char> evened(const unsigned char* pixels, size_t size)
{
    double sum = 0, squares = 0;
    for (size_t i = 0; i < size; ++i) {
        sum += pixels[i];
        squares += double(pixels[i]) * pixels[i];
    }
    const double mean = sum / double(size);
    const double deviation = std::sqrt(std::max(squares / double(size) - mean * mean, 1.0));
    std::vector<unsigned char> out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = (unsigned char)std::clamp(std::lround(128 + 40 * (pixels[i] - mean) / deviation), 0L, 255L);
    return out;
}

unsigned long absoluteDifference(const unsigned char* a, const unsigned char* b, size_t size)
{
    unsigned long sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum += unsigned(std::abs(int(a[i]) - int(b[i])));
    return sum;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::vector<float> floats(const QByteArray& data)
{
    std::vector<float> out(size_t(data.size()) / sizeof(float));
    std::memcpy(out.data(), data.constData(), out.size() * sizeof(float));
    return out;
}

} // namespace

bool ScreenCapture::start(const QByteArray& display, QRect area, int rate, double seconds, const QString& cores)
{
    thumb_ = area.size();
    // Into files: a pipe nobody reads while the benchmark waits would stop the grabbing.
    grab_.setStandardOutputFile(files_.filePath("pictures"));
    grab_.setStandardErrorFile(files_.filePath("log"));
    grab_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    // The first showinfo stamps every grab, the second each new picture (x11grab stamps them in
    // microseconds since the epoch); mpdecimate lets through only pictures that differ at all.
    grab_.start("taskset", {"-c", cores, "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "info", "-f", "x11grab",
                            "-draw_mouse", "0", "-framerate", QString::number(rate), "-video_size",
                            QString("%1x%2").arg(area.width()).arg(area.height()), "-t", QString::number(seconds),
                            "-i", QString("%1+%2,%3").arg(QString(display)).arg(area.x()).arg(area.y()), "-copyts",
                            "-vf", "showinfo,format=gray,mpdecimate=hi=0:lo=0:frac=0:max=0,format=gray,showinfo",
                            "-fps_mode", "passthrough", "-pix_fmt", "gray", "-f", "rawvideo", "-"});
    return grab_.waitForStarted(5000);
}

Thumbnails ScreenCapture::finish()
{
    Thumbnails out;
    if (!grab_.waitForFinished(120'000) || grab_.exitCode() != 0) {
        std::fprintf(stderr, "screen capture failed: %s\n", readFile(files_.filePath("log")).right(2000).constData());
        return out;
    }
    out.width = thumb_.width();
    out.height = thumb_.height();
    const QByteArray data = readFile(files_.filePath("pictures"));
    out.pixels.assign(data.begin(), data.end());
    static const QRegularExpression stamp(R"(Parsed_showinfo_(\d+).*n:\s*\d+\s+pts:\s*(\d+))");
    for (const QByteArray& line : readFile(files_.filePath("log")).split('\n')) {
        const QRegularExpressionMatch m = stamp.match(QString::fromUtf8(line));
        if (m.hasMatch())
            (m.captured(1) == "0" ? out.grabs : out.times).push_back(m.captured(2).toDouble() / 1e6);
    }
    out.pixels.resize(std::min(out.count(), out.times.size()) * size_t(out.width * out.height));
    out.times.resize(out.count());
    return out;
}

bool SoundCapture::start(const QString& sink, double seconds, const QString& cores)
{
    // Every block the sink's monitor gives is printed with its stamp, its length in samples and its
    // peak level.
    record_.setStandardErrorFile(files_.filePath("log"));
    record_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    // Beside it, the samples themselves, in mono, for what they sound like.
    record_.start("taskset", {"-c", cores, "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "info", "-f", "pulse",
                              "-fragment_size", "3840", "-i", sink + ".monitor", "-t", QString::number(seconds), "-af",
                              "astats=metadata=1:reset=1,ametadata=print", "-f", "null", "-", "-t",
                              QString::number(seconds), "-ac", "1", "-f", "f32le", files_.filePath("samples")});
    return record_.waitForStarted(5000);
}

Heard SoundCapture::finish(const SoundClock& clock)
{
    Heard heard;
    if (!record_.waitForFinished(120'000) || record_.exitCode() != 0) {
        std::fprintf(stderr, "sound capture failed: %s\n", readFile(files_.filePath("log")).right(2000).constData());
        return heard;
    }
    static const QRegularExpression start(R"(start:\s*([0-9.]+))"), rate(R"(Audio: .*, (\d+) Hz)"),
        time(R"(pts_time:\s*([0-9.]+))"), samples(R"(Overall\.Number_of_samples=([0-9.]+))"),
        peak(R"(Overall\.Peak_level=(-?[0-9.]+|-inf))");
    struct Block {
        double stamp = -1, samples = 0;
        bool sounding = false;
    };
    double origin = -1, hz = 0;
    std::vector<Block> blocks;
    for (const QByteArray& raw : readFile(files_.filePath("log")).split('\n')) {
        const QString line = QString::fromUtf8(raw);
        if (const QRegularExpressionMatch m = start.match(line); m.hasMatch() && origin < 0)
            origin = m.captured(1).toDouble();
        if (const QRegularExpressionMatch m = rate.match(line); m.hasMatch() && hz <= 0)
            hz = m.captured(1).toDouble();
        if (const QRegularExpressionMatch m = time.match(line); m.hasMatch() && origin >= 0)
            blocks.push_back({origin + m.captured(1).toDouble()});
        else if (blocks.empty())
            continue;
        if (const QRegularExpressionMatch m = samples.match(line); m.hasMatch())
            blocks.back().samples = m.captured(1).toDouble();
        if (const QRegularExpressionMatch m = peak.match(line); m.hasMatch())
            blocks.back().sounding = m.captured(1) != "-inf" && m.captured(1).toDouble() >= -40;
    }
    if (blocks.empty() || hz <= 0)
        return heard;
    // The sink plays its samples at a steady rate, but the monitor hands them over in bursts and
    // stamps the first ones of a stream up to most of a second early: the wall time of each block is
    // where it lies in the stream, placed by the stamps' median offset from that.
    std::vector<double> offsets;
    double at = 0;
    for (const Block& b : blocks) {
        offsets.push_back(b.stamp - at / hz);
        at += b.samples;
    }
    const double offset = median(offsets);
    at = 0;
    for (const Block& b : blocks) {
        if (b.sounding)
            heard.blocks.emplace_back(offset + at / hz, b.samples / hz);
        at += b.samples;
    }
    if (!clock.valid())
        return heard;
    const std::vector<std::pair<double, double>> cycles = toneCycles(floats(readFile(files_.filePath("samples"))), hz);
    // Each cycle's pitch alone is good to a few ms of the clip; the median of its neighbours', each
    // moved back or on by the time between them, to less, also at the ends of the sound.
    for (size_t i = 0; i < cycles.size(); ++i) {
        std::vector<double> near;
        for (size_t j = i < 4 ? 0 : i - 4; j < std::min(cycles.size(), i + 5); ++j)
            near.push_back(clock.at(cycles[j].second) - (cycles[j].first - cycles[i].first));
        heard.clip.emplace_back(offset + cycles[i].first, median(near));
    }
    return heard;
}

double Heard::clipAt(double t) const
{
    const auto after =
        std::upper_bound(clip.begin(), clip.end(), t, [](double x, const auto& c) { return x < c.first; });
    if (after == clip.begin())
        return clip.empty() ? 0 : clip.front().second;
    const auto& [wall, time] = *(after - 1);
    // Between two cycles of one stretch of sound it moves on; through a gap it stands still.
    if (after != clip.end() && after->first - wall < 0.03)
        return time + (after->second - time) * (t - wall) / (after->first - wall);
    return time;
}

std::vector<std::pair<double, double>> toneCycles(const std::vector<float>& samples, double rate)
{
    std::vector<std::pair<double, double>> cycles;
    double previous = -1;
    float peak = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        peak = std::max(peak, std::abs(samples[i]));
        if (!(samples[i - 1] < 0 && samples[i] >= 0))
            continue;
        // Where it rose through zero, between the two samples.
        const double crossing = double(i - 1) + samples[i - 1] / (samples[i - 1] - samples[i]);
        const double period = (crossing - previous) / rate;
        // Louder than -40 dB, and of a pitch the clips have: not the hiss of silence.
        if (previous >= 0 && peak >= 0.01f && period > 1.0 / 5000 && period < 1.0 / 50)
            cycles.emplace_back((previous + crossing) / 2 / rate, 1 / period);
        previous = crossing;
        peak = 0;
    }
    return cycles;
}

bool soundClock(const ClipFacts& clip, const QString& cores, SoundClock& out)
{
    out = {};
    if (!clip.hasSound)
        return true;
    constexpr double rate = 48000;
    QByteArray data;
    if (!runProgram("taskset", {"-c", cores, "ffmpeg", "-nostdin", "-v", "error", "-i", clip.path, "-map", "0:a:0",
                                "-ac", "1", "-ar", QString::number(rate), "-f", "f32le", "-"},
                    &data))
        return false;
    const std::vector<float> samples = floats(data);
    std::vector<std::pair<double, double>> cycles = toneCycles(samples, rate);
    if (cycles.size() < 100)
        return true;
    // The decoded sound ends where the clip's sound ends.
    const double start = clip.soundEnd - double(samples.size()) / rate;
    for (auto& cycle : cycles)
        cycle.first += start;
    // The pitch against the time, by least squares, twice: the second time without the cycles far
    // off the first line (the clicks where the sound starts and stops).
    auto fit = [&](double limit) {
        double n = 0, st = 0, sf = 0, stt = 0, stf = 0;
        for (const auto& [t, f] : cycles) {
            if (out.rise != 0 && std::abs(f - out.from - out.rise * t) > limit)
                continue;
            n += 1;
            st += t;
            sf += f;
            stt += t * t;
            stf += t * f;
        }
        const double d = n * stt - st * st;
        out.rise = d > 0 ? (n * stf - st * sf) / d : 0;
        out.from = n > 0 ? (sf - out.rise * st) / n : 0;
    };
    fit(0);
    fit(20);
    double spread = 0;
    for (const auto& [t, f] : cycles)
        spread += std::abs(f - out.from - out.rise * t);
    // One steady tone, or not a tone at all: no clock.
    if (!out.valid() || spread / double(cycles.size()) > 5) {
        out = {};
        return true;
    }
    out.first = cycles.front().first;
    out.last = cycles.back().first;
    return true;
}

double Heard::position(double t) const
{
    double played = 0;
    for (const auto& [from, length] : blocks) {
        if (t <= from)
            break;
        played += std::min(length, t - from);
    }
    return played;
}

bool decodeThumbnails(const ClipFacts& clip, QSize shown, QRect area, const QString& cores, Thumbnails& out)
{
    // As the program makes them: shrunk by averaging, HDR tone mapped to SDR BT.709.
    QString filters = QString("scale=%1:%2:flags=area,").arg(shown.width()).arg(shown.height());
    if (clip.hdr)
        filters += "zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt709,tonemap=tonemap=hable:desat=0,"
                   "zscale=t=bt709:m=bt709:r=tv,";
    filters += QString("format=bgr0,crop=%1:%2:%3:%4,format=gray")
                   .arg(area.width())
                   .arg(area.height())
                   .arg(area.x())
                   .arg(area.y());
    QByteArray data;
    if (!runProgram("taskset", {"-c", cores, "ffmpeg", "-nostdin", "-v", "error", "-i", clip.path, "-an", "-vf",
                                filters, "-fps_mode", "passthrough", "-pix_fmt", "gray", "-f", "rawvideo", "-"},
                    &data))
        return false;
    out.width = area.width();
    out.height = area.height();
    out.pixels.assign(data.begin(), data.end());
    out.times.clear();
    return out.count() > 0;
}

std::vector<Match> matchPictures(const Thumbnails& captured, const Thumbnails& clip, size_t inOrder)
{
    std::vector<Match> matches(captured.count());
    if (captured.width != clip.width || captured.height != clip.height || clip.count() == 0)
        return matches;
    const size_t size = size_t(clip.width * clip.height);
    std::vector<std::vector<unsigned char>> own;
    for (size_t j = 0; j < clip.count(); ++j)
        own.push_back(evened(clip.at(j), size));
    const size_t count = own.size();
    // Every captured picture against every one of the clip's.
    std::vector<double> cost(captured.count() * count);
    for (size_t i = 0; i < captured.count(); ++i) {
        const std::vector<unsigned char> shown = evened(captured.at(i), size);
        Match best;
        double least = HUGE_VAL;
        for (size_t j = 0; j < count; ++j) {
            const double d = double(absoluteDifference(shown.data(), own[j].data(), size)) / double(size);
            cost[i * count + j] = d;
            if (d < least) {
                least = d;
                best.frame = int(j);
            }
        }
        best.difference = least;
        matches[i] = best;
    }
    // In order: the least total difference over paths whose picture never goes back, by dynamic
    // programming over (captured picture, clip picture).
    inOrder = std::min(inOrder, captured.count());
    if (inOrder < 2)
        return matches;
    std::vector<double> total(inOrder * count);
    std::vector<int> from(inOrder * count);
    for (size_t j = 0; j < count; ++j)
        total[j] = cost[j];
    for (size_t i = 1; i < inOrder; ++i) {
        double best = HUGE_VAL;
        int at = 0;
        for (size_t j = 0; j < count; ++j) {
            if (total[(i - 1) * count + j] < best) {
                best = total[(i - 1) * count + j];
                at = int(j);
            }
            total[i * count + j] = best + cost[i * count + j];
            from[i * count + j] = at;
        }
    }
    const auto lastRow = total.end() - std::ptrdiff_t(count);
    size_t j = size_t(std::min_element(lastRow, total.end()) - lastRow);
    for (size_t i = inOrder; i-- > 0;) {
        matches[i] = {int(j), cost[i * count + j]};
        j = size_t(from[i * count + j]);
    }
    return matches;
}

} // namespace bench
