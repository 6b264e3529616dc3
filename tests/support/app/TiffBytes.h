#pragma once

#include <QByteArray>
#include <QtEndian>

namespace app::test {

// A little-endian TIFF laid out the way libtiff writes one: the picture strip first, then IFD0, its
// Exif and GPS directories and their values at the end of the file. Exif date 2021:03:04 05:06:07,
// latitude 31° 12' 36" N.
inline QByteArray tiffWithDirectoriesAtEnd(qsizetype pixelBytes)
{
    QByteArray out("II*\0\0\0\0\0", 8);
    const auto u16 = [&](quint16 v) { out.append(char(v & 0xff)).append(char(v >> 8)); };
    const auto u32 = [&](quint32 v) { u16(quint16(v & 0xffff)); u16(quint16(v >> 16)); };
    const auto entry = [&](quint16 tag, quint16 type, quint32 count, quint32 value) {
        u16(tag); u16(type); u32(count); u32(value);
    };
    const quint32 strip = 8;
    out.append(QByteArray(pixelBytes, '\x5a'));
    const quint32 width = quint32(pixelBytes / 3);
    // IFD0: 9 entries; then Exif (1 entry), GPS (2 entries), then the values.
    const quint32 ifd0 = quint32(out.size());
    const quint32 exif = ifd0 + 2 + 9 * 12 + 4;
    const quint32 gps = exif + 2 + 12 + 4;
    const quint32 values = gps + 2 + 2 * 12 + 4;
    qToLittleEndian(ifd0, out.data() + 4);
    u16(9);
    entry(0x0100, 4, 1, width);
    entry(0x0101, 4, 1, 1);
    entry(0x0102, 3, 1, 8);
    entry(0x0106, 3, 1, 2);
    entry(0x0111, 4, 1, strip);
    entry(0x0115, 3, 1, 3);
    entry(0x0117, 4, 1, width * 3);
    entry(0x8769, 4, 1, exif);
    entry(0x8825, 4, 1, gps);
    u32(0);
    u16(1);
    entry(0x9003, 2, 20, values);
    u32(0);
    u16(2);
    entry(0x0001, 2, 2, 'N');
    entry(0x0002, 5, 3, values + 20);
    u32(0);
    out.append("2021:03:04 05:06:07", 20);
    for (quint32 v : {31u, 1u, 12u, 1u, 36u, 1u})
        u32(v);
    return out;
}

} // namespace app::test
