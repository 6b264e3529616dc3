#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "support/app/MediaClips.h"

// Headers that declare more than they hold, made by editing the boxes of ffmpeg-made files.
namespace app::test::craftedmovie {

inline QByteArray u32(quint32 v)
{
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return QByteArray(b, 4);
}

inline QByteArray u16(quint16 v)
{
    const char b[2] = {char(v >> 8), char(v)};
    return QByteArray(b, 2);
}

inline quint32 readU32(const QByteArray& bytes, qsizetype at)
{
    return quint32(uchar(bytes[at])) << 24 | quint32(uchar(bytes[at + 1])) << 16 | quint32(uchar(bytes[at + 2])) << 8
        | quint32(uchar(bytes[at + 3]));
}

inline QByteArray box(const char* type, const QByteArray& body)
{
    return u32(quint32(body.size() + 8)) + QByteArray(type, 4) + body;
}

// The version and flags of a full box.
inline QByteArray full(quint32 versionAndFlags = 0)
{
    return u32(versionAndFlags);
}

// The offsets of the boxes along `path` (the first of each type), outermost first; fewer when one
// is missing. Boxes are assumed to have 32-bit sizes, as ffmpeg writes small files.
inline QList<qsizetype> boxPath(const QByteArray& bytes, const QList<QByteArray>& path)
{
    QList<qsizetype> found;
    qsizetype at = 0;
    qsizetype end = bytes.size();
    for (const QByteArray& type : path) {
        while (at + 8 <= end && bytes.mid(at + 4, 4) != type)
            at += qsizetype(readU32(bytes, at));
        if (at + 8 > end)
            break;
        found.append(at);
        end = at + qsizetype(readU32(bytes, at));
        at += 8;
    }
    return found;
}

// Replaces the body of the box at `path`, growing or shrinking it and the boxes around it.
inline bool replaceBody(QByteArray& bytes, const QList<QByteArray>& path, const QByteArray& body)
{
    const QList<qsizetype> boxes = boxPath(bytes, path);
    if (boxes.size() != path.size()) {
        ADD_FAILURE() << "no box " << path.join('/').toStdString();
        return false;
    }
    const qsizetype at = boxes.last();
    const qsizetype growth = body.size() + 8 - qsizetype(readU32(bytes, at));
    bytes.replace(at + 8, qsizetype(readU32(bytes, at)) - 8, body);
    for (const qsizetype parent : boxes)
        bytes.replace(parent, 4, u32(quint32(qsizetype(readU32(bytes, parent)) + growth)));
    return true;
}

// Adds `boxes` at the end of the box at `path`.
inline bool appendInside(QByteArray& bytes, const QList<QByteArray>& path, const QByteArray& boxes)
{
    const QList<qsizetype> found = boxPath(bytes, path);
    if (found.size() != path.size()) {
        ADD_FAILURE() << "no box " << path.join('/').toStdString();
        return false;
    }
    const qsizetype at = found.last();
    return replaceBody(bytes, path, bytes.mid(at + 8, qsizetype(readU32(bytes, at)) - 8) + boxes);
}

// The boxes that hold the byte at `at`, outermost first, down to the box that starts there.
inline QList<qsizetype> boxesAround(const QByteArray& bytes, qsizetype at)
{
    QList<qsizetype> found;
    for (qsizetype box = 0, end = bytes.size(); box + 8 <= end;) {
        const qsizetype size = qsizetype(readU32(bytes, box));
        if (size < 8)
            break;
        if (at >= box + size) {
            box += size;
            continue;
        }
        found.append(box);
        if (box == at)
            return found;
        end = box + size;
        box += bytes.mid(box + 4, 4) == "stsd" ? 16 : 8;
    }
    return {};
}

// Adds `boxes` at the end of the first sample entry of `format`, after the entry's own boxes.
inline bool appendToSampleEntry(QByteArray& bytes, const QByteArray& format, const QByteArray& boxes)
{
    for (qsizetype stsd = bytes.indexOf("stsd"); stsd > 0; stsd = bytes.indexOf("stsd", stsd + 4)) {
        const qsizetype entry = stsd + 12;
        const QList<qsizetype> around = boxesAround(bytes, entry);
        if (bytes.mid(entry + 4, 4) != format || around.isEmpty())
            continue;
        bytes.insert(entry + qsizetype(readU32(bytes, entry)), boxes);
        for (const qsizetype box : around)
            bytes.replace(box, 4, u32(readU32(bytes, box) + quint32(boxes.size())));
        return true;
    }
    ADD_FAILURE() << "no sample entry " << format.toStdString();
    return false;
}

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QString write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        ADD_FAILURE() << "cannot write " << path.toStdString();
    return path;
}

struct Crafted {
    const char* name;
    QString path;
    bool headerWithin = false; // only probing its streams costs too much
};

// Small files whose headers declare counts that made FFmpeg allocate hundreds of mebibytes to
// gigabytes while it opened them.
inline QList<Crafted> oversizedHeaders(const QTemporaryDir& dir)
{
    const QStringList silentVideo{"-an", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"};
    QList<Crafted> files;

    QByteArray keys = readAll(makeClip(dir, "keys.mp4", "64x48", 1, silentVideo));
    const QByteArray handler = box("hdlr", full() + u32(0) + "mdta" + QByteArray(13, '\0'));
    const QByteArray declared = box("keys", full() + u32(268435454) + box("mdta", "com.apple.quicktime.make"));
    appendInside(keys, {"moov"}, box("meta", full() + handler + declared + box("ilst", {})));
    files.append({"a 'keys' box declaring 268 M keys", write(dir.filePath("keys.mp4"), keys)});

    QByteArray sound = readAll(makeClip(dir, "sound.mov", "64x48", 4, {"-vn", "-c:a", "pcm_s16le"}));
    const QList<QByteArray> table{"moov", "trak", "mdia", "minf", "stbl"};
    const quint32 firstChunk = readU32(sound, boxPath(sound, table + QList<QByteArray>{"stco"}).value(5) + 16);
    QByteArray chunks = full() + u32(32);
    for (int i = 0; i < 32; ++i)
        chunks += u32(firstChunk);
    replaceBody(sound, table + QList<QByteArray>{"stco"}, chunks);
    replaceBody(sound, table + QList<QByteArray>{"stsc"}, full() + u32(1) + u32(1) + u32(0x7fffffff) + u32(1));
    files.append({"uncompressed sound with 2^31 samples in each of 32 chunks", write(dir.filePath("sound.mov"), sound)});

    QByteArray edits = readAll(makeClip(dir, "edits.mp4", "64x48", 120, silentVideo));
    const QList<QByteArray> editList{"moov", "trak", "edts", "elst"};
    const QByteArray edit = edits.mid(boxPath(edits, editList).value(3) + 16, 12);
    replaceBody(edits, editList, full() + u32(20000) + edit.repeated(20000));
    files.append({"20,000 edits, each playing the whole clip", write(dir.filePath("edits.mp4"), edits)});

    QByteArray fragments = readAll(makeClip(dir, "fragments.mp4", "64x48", 3,
                                            silentVideo + QStringList{"-g", "25", "-movflags", "frag_keyframe"}));
    const qsizetype second = fragments.indexOf("trun", fragments.indexOf("trun") + 4);
    if (second > 0) // flags: a data offset only; then the count
        fragments.replace(second + 4, 8, full(1) + u32(80000000));
    files.append({"a second fragment declaring 80 M samples", write(dir.filePath("fragments.mp4"), fragments)});

    // Each fragment, by its box or by a segment index, keeps an entry for every stream.
    QByteArray streams = readAll(makeClip(dir, "streams.mp4", "64x48", 1,
                                          silentVideo + QStringList{"-movflags", "frag_keyframe+empty_moov"}));
    const qsizetype header = boxPath(streams, {"moov", "trak", "tkhd"}).value(2);
    const QByteArray trackHeader = streams.mid(header, qsizetype(readU32(streams, header)));
    QByteArray tracks;
    for (quint32 id = 2; id <= 1000; ++id)
        tracks += box("trak", QByteArray(trackHeader).replace(20, 4, u32(id)));
    appendInside(streams, {"moov"}, tracks);
    QByteArray index = full() + u32(1) + u32(1000) + u32(0) + u32(0) + u16(0) + u16(16000);
    for (int i = 0; i < 16000; ++i)
        index += u32(8) + u32(1) + u32(0x90000000);
    files.append({"1000 tracks and 10,000 empty fragments",
                  write(dir.filePath("moofs.mp4"), streams + box("moof", {}).repeated(10000))});
    files.append({"1000 tracks and a segment index of 16,000 references",
                  write(dir.filePath("sidx.mp4"), streams + box("sidx", index))});
    // A free box of one muxer's makes FFmpeg read the fragment index at the file's end, each entry
    // sorted in among those before it.
    const auto indexed = [](const QByteArray& clip, quint32 count, bool lastFirst) {
        QByteArray entries;
        for (quint32 fragment = 1; fragment <= count; ++fragment)
            entries += u32(0) + u32(lastFirst ? count + 1 - fragment : fragment) + QByteArray(3, '\0');
        const QByteArray index = box("tfra", full() + u32(1) + u32(0) + u32(count) + entries);
        const qsizetype afterType = qsizetype(readU32(clip, 0));
        return clip.left(afterType) + box("free", "Anevia\x1a\x1a") + clip.mid(afterType) + box("moof", {})
            + box("mfra", index + box("mfro", full() + u32(quint32(index.size() + 24))));
    };
    files.append({"1000 tracks and a fragment index of 16,000 entries",
                  write(dir.filePath("mfra.mp4"), indexed(streams, 16000, false))});
    files.append({"a fragment index of 20,000 entries, the last first",
                  write(dir.filePath("sorted.mp4"), indexed(readAll(dir.filePath("streams.mp4")), 20000, true))});

    // Each sample of a chapter track becomes a chapter with its title.
    QByteArray chapters = readAll(makeClip(dir, "chapters.mp4", "64x48", 1, silentVideo));
    const quint32 titles = 200000;
    const qsizetype pictures = boxPath(chapters, {"moov", "trak", "tkhd"}).value(2);
    const QByteArray textHeader = chapters.mid(pictures, qsizetype(readU32(chapters, pictures))).replace(20, 4, u32(2));
    const QByteArray textTable = box("stsd", full() + u32(1) + box("text", QByteArray(6, '\0') + u16(1) + QByteArray(43, '\0')))
        + box("stts", full() + u32(1) + u32(titles) + u32(1)) + box("stsc", full() + u32(1) + u32(1) + u32(titles) + u32(1))
        + box("stsz", full() + u32(2) + u32(titles)) + box("stco", full() + u32(1) + u32(0));
    const QByteArray media = box("mdhd", full() + u32(0) + u32(0) + u32(1000) + u32(titles) + u32(0x55c40000))
        + box("hdlr", full() + u32(0) + "text" + QByteArray(13, '\0'))
        + box("minf", box("gmhd", {}) + box("dinf", box("dref", full() + u32(1) + box("url ", full(1))))
                          + box("stbl", textTable));
    appendInside(chapters, {"moov", "trak"}, box("tref", box("chap", u32(2))));
    appendInside(chapters, {"moov"}, box("trak", textHeader + box("mdia", media)));
    chapters.replace(chapters.lastIndexOf("stco") + 12, 4, u32(quint32(chapters.size()))); // empty titles follow
    files.append({"a chapter track of 200,000 chapters",
                  write(dir.filePath("chapters.mp4"), chapters + QByteArray(2 * titles, '\0'))});

    // Probing a picture or sound stream opens its parser and decoder.
    QByteArray probed = readAll(makeClip(dir, "probed.mp4", "64x48", 1));
    const qsizetype picture = boxPath(probed, {"moov", "trak"}).value(1);
    const qsizetype heard = picture + qsizetype(readU32(probed, picture));
    const QByteArray pair = probed.mid(picture, heard + qsizetype(readU32(probed, heard)) - picture);
    QByteArray copies;
    for (quint32 id = 3; id < 183; id += 2) // each track's number, in its header
        copies += QByteArray(pair).replace(28, 4, u32(id)).replace(heard - picture + 28, 4, u32(id + 1));
    appendInside(probed, {"moov"}, copies);
    files.append({"91 picture and 91 sound streams", write(dir.filePath("probed.mp4"), probed), true});

    // Tables among a sample entry's own boxes, or in a 'wave' box there, are read as those in the
    // sample table are: a constant sample size of the entry's for one chunk of that many samples.
    const QByteArray entryClip = readAll(makeClip(dir, "entry.mp4", "64x48", 1, silentVideo));
    const auto amongEntry = [&](const QString& name, quint32 samples, const QByteArray& boxes) {
        QByteArray clip = entryClip;
        clip.replace(boxPath(clip, table + QList<QByteArray>{"stsz"}).value(5) + 4, 4, "free");
        const quint32 first = readU32(clip, boxPath(clip, table + QList<QByteArray>{"stco"}).value(5) + 16);
        replaceBody(clip, table + QList<QByteArray>{"stco"}, full() + u32(1) + u32(first));
        replaceBody(clip, table + QList<QByteArray>{"stsc"}, full() + u32(1) + u32(1) + u32(samples) + u32(1));
        replaceBody(clip, table + QList<QByteArray>{"stts"}, full() + u32(1) + u32(samples) + u32(512));
        appendToSampleEntry(clip, "avc1", boxes);
        return write(dir.filePath(name), clip);
    };
    const auto sizes = [](quint32 samples) { return box("stsz", full() + u32(1) + u32(samples)); };
    files.append({"a constant sample size for 89 M samples among a picture entry's boxes",
                  amongEntry("entry89.mp4", 89000000, sizes(89000000))});
    files.append({"the same for 20 M samples", amongEntry("entry20.mp4", 20000000, sizes(20000000))});
    files.append({"the same in a 'wave' box there", amongEntry("wave.mp4", 89000000, box("wave", sizes(89000000)))});
    // FFmpeg keeps a byte for each entry a group of sync samples declares, and details for each
    // sample an encrypted track's sample encryption box declares.
    files.append({"a sync sample group of 500 M entries among a picture entry's boxes",
                  amongEntry("sgpd.mp4", 1, box("sgpd", full() + "sync" + u32(500000000)))});
    const QByteArray protection = box("tenc", full() + u32(0x100) + QByteArray(16, 'k') + QByteArray(1, 8) + QByteArray(8, 'v'));
    files.append({"encryption details for 200,000 samples among a picture entry's boxes",
                  amongEntry("senc.mp4", 1, protection + box("senc", full() + u32(200000)))});

    // With a group of sync samples FFmpeg lists an offset for every sample an HEVC track's composition
    // offsets count.
    QByteArray groups = readAll(makeClip(dir, "groups.mp4", "64x48", 1,
                                         {"-an", "-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                                          "log-level=error", "-pix_fmt", "yuv420p"}));
    replaceBody(groups, table + QList<QByteArray>{"ctts"}, full() + u32(1) + u32(100000000) + u32(0));
    appendInside(groups, table, box("sbgp", full() + "sync" + u32(1) + u32(1) + u32(1)));
    files.append({"composition offsets counting 100 M samples of an HEVC track with sync sample groups",
                  write(dir.filePath("groups.mp4"), groups)});

    // FFmpeg reads no deeper than a few boxes, and the walk before it must not follow them down.
    QByteArray nested;
    for (quint32 level = 0; level < 100000; ++level)
        nested += u32(8 * (100000 - level)) + "moov";
    files.append({"100,000 movie boxes, each in the one before", write(dir.filePath("nested.mp4"), nested)});

    // Matroska: an element of unknown size, then 40,000 empty track entries.
    const auto element = [](const QByteArray& id, const QByteArray& body) {
        return id + QByteArray(1, '\x01') + QByteArray::fromHex(QByteArray::number(body.size(), 16).rightJustified(14, '0'))
            + body;
    };
    const QByteArray ebml = element(QByteArray::fromHex("1a45dfa3"), element(QByteArray::fromHex("4282"), "matroska")
                                                   + QByteArray::fromHex("4287810442858102"));
    const QByteArray info = element(QByteArray::fromHex("1549a966"), element(QByteArray::fromHex("2ad7b1"), u32(1000000)));
    const QByteArray trackEntries = element(QByteArray::fromHex("1654ae6b"), QByteArray::fromHex("ae80").repeated(40000));
    files.append({"a Matroska file of 40,000 empty tracks",
                  write(dir.filePath("tracks.mkv"),
                        ebml + QByteArray::fromHex("1853806701ffffffffffffff") + info + trackEntries)});
    return files;
}

} // namespace app::test::craftedmovie
