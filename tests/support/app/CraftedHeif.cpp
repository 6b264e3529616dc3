#include "support/app/CraftedHeif.h"

#include <QProcess>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace test::craftedheif {

namespace {

using Bytes = std::string;

void put(Bytes& out, std::uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(char((v >> (8 * i)) & 0xff));
}

Bytes box(const char* type, const Bytes& payload)
{
    Bytes out;
    put(out, 8 + payload.size(), 4);
    out.append(type, 4);
    return out + payload;
}

Bytes fullBox(const char* type, int version, const Bytes& payload)
{
    Bytes body;
    put(body, std::uint32_t(version) << 24, 4);
    return box(type, body + payload);
}

// The picture's NAL units: parameter sets and its one slice.
struct Stream {
    Bytes vps, sps, pps, slice;
};

// Split at start codes (00 00 01, with or without a leading zero).
std::vector<Bytes> nalUnits(const Bytes& all)
{
    std::vector<Bytes> units;
    size_t at = all.find(Bytes("\0\0\1", 3));
    while (at != Bytes::npos) {
        const size_t begin = at + 3;
        size_t next = all.find(Bytes("\0\0\1", 3), begin);
        size_t end = next == Bytes::npos ? all.size() : next;
        while (end > begin && all[end - 1] == 0 && next != Bytes::npos)
            --end;
        units.push_back(all.substr(begin, end - begin));
        at = next;
    }
    return units;
}

const Stream& tinyStream(std::uint32_t width, std::uint32_t height)
{
    static std::map<std::pair<std::uint32_t, std::uint32_t>, Stream> streams;
    static std::mutex mutex;
    const std::lock_guard lock(mutex);
    const auto found = streams.find({width, height});
    if (found != streams.end())
        return found->second;
    const Stream& stream = streams[{width, height}] = [&] {
        QProcess ffmpeg;
        ffmpeg.start("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", QString("testsrc=size=%1x%2:rate=1").arg(width).arg(height),
                                "-frames:v", "1", "-pix_fmt", "yuv420p",
                                "-c:v", "libx265", "-x265-params", "log-level=error", "-f", "hevc", "-"});
        ffmpeg.waitForFinished(60000);
        Stream s;
        for (const Bytes& u : nalUnits(ffmpeg.readAllStandardOutput().toStdString())) {
            const int type = (std::uint8_t(u[0]) >> 1) & 0x3f;
            if (type == 32)
                s.vps = u;
            else if (type == 33)
                s.sps = u;
            else if (type == 34)
                s.pps = u;
            else if (type < 32 && s.slice.empty())
                s.slice = u;
        }
        return s;
    }();
    return stream;
}

// Bits of a parameter set's payload, read and written.
struct BitReader {
    const Bytes& b;
    size_t at = 0;
    std::uint32_t bits(int n)
    {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i, ++at)
            v = (v << 1) | ((std::uint8_t(b[at / 8]) >> (7 - at % 8)) & 1);
        return v;
    }
    std::uint32_t ue()
    {
        int zeros = 0;
        while (bits(1) == 0)
            ++zeros;
        return (1u << zeros) - 1 + bits(zeros);
    }
};

struct BitWriter {
    Bytes out;
    int used = 8;
    void bit(int v)
    {
        if (used == 8) {
            out.push_back(0);
            used = 0;
        }
        if (v)
            out.back() = char(std::uint8_t(out.back()) | (0x80 >> used));
        ++used;
    }
    void bits(std::uint32_t v, int n)
    {
        for (int i = n - 1; i >= 0; --i)
            bit((v >> i) & 1);
    }
    void ue(std::uint32_t v)
    {
        const std::uint64_t x = std::uint64_t(v) + 1;
        int length = 0;
        while ((x >> length) > 1)
            ++length;
        bits(0, length);
        bits(std::uint32_t(x), length + 1);
    }
};

Bytes unescaped(const Bytes& nal)
{
    Bytes out;
    int zeros = 0;
    for (size_t i = 2; i < nal.size(); ++i) {
        if (zeros >= 2 && nal[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
        out.push_back(nal[i]);
    }
    return out;
}

Bytes escaped(const Bytes& header, const Bytes& payload)
{
    Bytes out = header;
    int zeros = 0;
    for (const char c : payload) {
        if (zeros >= 2 && std::uint8_t(c) <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        zeros = c == 0 ? zeros + 1 : 0;
        out.push_back(c);
    }
    return out;
}

// The sequence parameter set coding `width` x `height` instead, cropped to `shownWidth` x
// `shownHeight` by a conformance window when they are given (x265 writes no sub-layers, and no
// window for a picture of whole coding blocks).
Bytes resized(const Bytes& sps, std::uint32_t width, std::uint32_t height, std::uint32_t shownWidth,
              std::uint32_t shownHeight)
{
    const Bytes rbsp = unescaped(sps);
    BitReader r{rbsp};
    r.bits(8);  // ids and sub-layer count
    r.bits(96); // profile, tier and level
    r.ue();
    const std::uint32_t chroma = r.ue();
    if (chroma == 3)
        r.bits(1);
    const size_t before = r.at;
    r.ue();
    r.ue();
    const size_t after = r.at;
    size_t stop = rbsp.size() * 8 - 1;
    while (((std::uint8_t(rbsp[stop / 8]) >> (7 - stop % 8)) & 1) == 0)
        --stop;
    BitWriter w;
    BitReader copy{rbsp};
    for (size_t i = 0; i < before; ++i)
        w.bit(int(copy.bits(1)));
    w.ue(width);
    w.ue(height);
    w.bit(shownWidth ? 1 : 0);
    if (shownWidth) { // in chroma samples of 4:2:0
        w.ue(0);
        w.ue((width - shownWidth) / 2);
        w.ue(0);
        w.ue((height - shownHeight) / 2);
    }
    copy.at = after + 1; // past the window flag, which x265 left unset
    while (copy.at < stop)
        w.bit(int(copy.bits(1)));
    w.bit(1);
    return escaped(sps.substr(0, 2), w.out);
}

Bytes configRecord(const Stream& s, const Bytes& sps, size_t padding)
{
    const Bytes rbsp = unescaped(sps);
    Bytes out;
    put(out, 1, 1);
    out += rbsp.substr(1, 12); // profile, tier, compatibility, constraints, level
    put(out, 0xf000, 2);
    put(out, 0xfc, 1);
    put(out, 0xfd, 1); // 4:2:0
    put(out, 0xf8, 1); // 8 bits
    put(out, 0xf8, 1);
    put(out, 0, 2);
    put(out, 0x0f, 1); // one temporal layer, 4-byte NAL lengths
    std::vector<std::pair<int, std::vector<Bytes>>> arrays{{32, {s.vps}}, {33, {sps}}, {34, {s.pps}}};
    if (padding) {
        std::vector<Bytes> filler;
        for (size_t left = padding; left > 0;) {
            const size_t n = std::min<size_t>(left, 60000);
            filler.push_back(Bytes("\x4c\x01", 2) + Bytes(n - 3, '\xff') + Bytes("\x80", 1));
            left -= n;
        }
        arrays.emplace_back(38, filler);
    }
    put(out, arrays.size(), 1);
    for (const auto& [type, units] : arrays) {
        put(out, 0x80 | type, 1);
        put(out, units.size(), 2);
        for (const Bytes& u : units) {
            put(out, u.size(), 2);
            out += u;
        }
    }
    return out;
}

Bytes ispe(std::uint32_t w, std::uint32_t h)
{
    Bytes b;
    put(b, w, 4);
    put(b, h, 4);
    return fullBox("ispe", 0, b);
}

} // namespace

QByteArray build(const Shape& shape)
{
    const Stream& s = tinyStream(shape.pictureWidth, shape.pictureHeight);
    if (s.sps.empty() || s.slice.empty())
        return {};
    const bool grid = shape.columns * shape.rows > 1 || shape.thumbnailReferences > 0;
    const int tiles = shape.columns * shape.rows;
    const std::uint32_t fullWidth = shape.declaredWidth * std::uint32_t(shape.columns);
    const std::uint32_t fullHeight = shape.declaredHeight * std::uint32_t(shape.rows);

    // Item ids: tiles 1..n, the primary grid n+1, the thumbnail grid n+2.
    const std::uint32_t primary = grid ? std::uint32_t(tiles) + 1 : 1;
    const std::uint32_t thumbnail = std::uint32_t(tiles) + 2;
    std::vector<std::pair<std::uint32_t, const char*>> items;
    for (int i = 1; i <= tiles; ++i)
        items.emplace_back(std::uint32_t(i), "hvc1");
    if (grid)
        items.emplace_back(primary, "grid");
    if (shape.thumbnailReferences)
        items.emplace_back(thumbnail, "grid");

    Bytes gridData;
    put(gridData, 0, 1);
    put(gridData, 0, 1); // 16-bit sizes
    put(gridData, std::uint32_t(shape.rows - 1), 1);
    put(gridData, std::uint32_t(shape.columns - 1), 1);
    put(gridData, fullWidth, 2);
    put(gridData, fullHeight, 2);
    Bytes picture;
    if (shape.ownCodedWidth) {
        const Bytes own = resized(s.sps, shape.ownCodedWidth, shape.ownCodedHeight, 0, 0);
        put(picture, own.size(), 4);
        picture += own;
    }
    put(picture, s.slice.size(), 4);
    picture += s.slice;
    Bytes mdatPayload = gridData + picture;

    Bytes ipco = box("hvcC", configRecord(s, resized(s.sps, shape.codedWidth, shape.codedHeight, 0, 0), shape.configPadding))
        + ispe(shape.declaredWidth, shape.declaredHeight) + ispe(fullWidth, fullHeight);
    Bytes irot;
    put(irot, std::uint32_t(shape.quarterTurns & 3), 1);
    ipco += box("irot", irot);

    const auto meta = [&](std::uint64_t mdatStart) {
        Bytes hdlr;
        put(hdlr, 0, 4);
        hdlr += "pict";
        put(hdlr, 0, 4);
        put(hdlr, 0, 4);
        put(hdlr, 0, 4);
        put(hdlr, 0, 1);
        Bytes pitm;
        put(pitm, primary, 2);
        Bytes iinf;
        put(iinf, items.size(), 2);
        for (const auto& [id, type] : items) {
            Bytes infe;
            put(infe, id, 2);
            put(infe, 0, 2);
            infe.append(type, 4);
            put(infe, 0, 1);
            iinf += fullBox("infe", 2, infe);
        }
        Bytes iloc;
        const bool zeroWidths = shape.locations == Shape::Locations::zeroWidthExtents;
        put(iloc, zeroWidths ? 0 : 0x44, 1); // 4-byte offsets and lengths
        put(iloc, 0, 1);
        auto located = items;
        if (shape.locations == Shape::Locations::primaryTwice)
            located.push_back(*std::find_if(items.begin(), items.end(), [&](const auto& i) { return i.first == primary; }));
        put(iloc, located.size(), 2);
        for (const auto& [id, type] : located) {
            const bool isGrid = Bytes(type) == "grid";
            put(iloc, id, 2);
            put(iloc, 0, 2);
            put(iloc, zeroWidths ? 3 : 1, 2);
            if (zeroWidths)
                continue;
            put(iloc, mdatStart + (isGrid ? 0 : gridData.size()), 4);
            put(iloc, isGrid ? gridData.size() : picture.size(), 4);
        }
        Bytes iref;
        const auto derived = [&](std::uint32_t from) {
            Bytes d;
            put(d, from, 2);
            put(d, std::uint32_t(tiles), 2);
            for (int i = 1; i <= tiles; ++i)
                put(d, std::uint32_t(i), 2);
            return box("dimg", d);
        };
        if (grid)
            iref += derived(primary);
        if (shape.thumbnailReferences) {
            iref += derived(thumbnail);
            Bytes t;
            put(t, thumbnail, 2);
            put(t, 1, 2);
            put(t, primary, 2);
            for (int i = 0; i < shape.thumbnailReferences; ++i)
                iref += box("thmb", t);
        }
        Bytes ipma;
        put(ipma, items.size(), 4);
        for (const auto& [id, type] : items) {
            put(ipma, id, 2);
            if (Bytes(type) == "grid") {
                const bool turned = id == primary && shape.quarterTurns;
                put(ipma, turned ? 2 : 1, 1);
                put(ipma, 0x03, 1);
                if (turned)
                    put(ipma, 0x84, 1);
            } else {
                const bool turned = id == primary && shape.quarterTurns;
                put(ipma, turned ? 3 : 2, 1);
                put(ipma, 0x81, 1); // the configuration, essential
                put(ipma, 0x02, 1);
                if (turned)
                    put(ipma, 0x84, 1);
            }
        }
        Bytes payload = fullBox("hdlr", 0, hdlr) + fullBox("pitm", 0, pitm) + fullBox("iinf", 0, iinf)
            + fullBox("iloc", 0, iloc) + box("iprp", box("ipco", ipco) + fullBox("ipma", 0, ipma));
        if (!iref.empty())
            payload += fullBox("iref", 0, iref);
        return fullBox("meta", 0, payload);
    };
    Bytes ftyp;
    ftyp += "heic";
    put(ftyp, 0, 4);
    ftyp += "mif1heic";
    const Bytes head = box("ftyp", ftyp);
    const std::uint64_t mdatStart = head.size() + meta(0).size() + 8;
    const Bytes file = head + meta(mdatStart) + box("mdat", mdatPayload);
    return QByteArray(file.data(), qsizetype(file.size()));
}

bool hevcClip(const QString& path, std::uint32_t codedWidth, std::uint32_t codedHeight, std::uint32_t shownWidth,
              std::uint32_t shownHeight, bool later)
{
    // A key picture every half second, each with its parameter sets.
    QProcess encode;
    encode.start("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "testsrc=duration=1:size=320x240:rate=10", "-pix_fmt",
                            "yuv420p", "-c:v", "libx265", "-x265-params",
                            "log-level=error:keyint=5:min-keyint=5:scenecut=0:repeat-headers=1", "-f", "hevc", "-"});
    if (!encode.waitForFinished(60000) || encode.exitCode() != 0)
        return false;
    Bytes stream;
    int sets = 0;
    for (Bytes unit : nalUnits(encode.readAllStandardOutput().toStdString())) {
        if (((std::uint8_t(unit[0]) >> 1) & 0x3f) == 33 && (!later || sets++ > 0))
            unit = resized(unit, codedWidth, codedHeight, shownWidth, shownHeight);
        stream += Bytes("\0\0\0\1", 4) + unit;
    }
    // Muxed by a tool whose decoder gives up on the declared size at once.
    QProcess mux;
    mux.start("ffmpeg", {"-v", "error", "-y", "-max_pixels", "4096", "-f", "hevc", "-i", "-", "-c", "copy", path});
    mux.write(stream.data(), qint64(stream.size()));
    mux.closeWriteChannel();
    return mux.waitForFinished(60000) && mux.exitCode() == 0;
}

} // namespace test::craftedheif
