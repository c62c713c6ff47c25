#ifndef DNGFIXTURE_H
#define DNGFIXTURE_H
#include <QByteArray>
#include <QVector>
#include <QtEndian>

#include <algorithm>

// A small DNG, written here: 8-bit sensor data in an RGGB pattern, each
// site holding the level of its colour, and optionally a JPEG preview in
// a sub-IFD (as the DNG converter and cameras store theirs).
namespace DngFixture {

struct Entry
{
    quint16 tag;
    quint16 type;               // 1 byte, 2 ASCII, 3 short, 4 long, 10 signed rational
    quint32 count;
    QByteArray value;           // little-endian
};

template <typename T>
QByteArray le(std::initializer_list<T> values)
{
    QByteArray out;
    for (T v : values) {
        char b[sizeof(T)];
        qToLittleEndian<T>(v, b);
        out.append(b, int(sizeof(T)));
    }
    return out;
}

inline Entry shorts(quint16 tag, std::initializer_list<quint16> v) { return {tag, 3, quint32(v.size()), le<quint16>(v)}; }
inline Entry longs(quint16 tag, std::initializer_list<quint32> v) { return {tag, 4, quint32(v.size()), le<quint32>(v)}; }
inline Entry bytes(quint16 tag, const QByteArray &v) { return {tag, 1, quint32(v.size()), v}; }
inline Entry text(quint16 tag, const QByteArray &v) { return {tag, 2, quint32(v.size() + 1), v + '\0'}; }

// Appends an IFD (its longer values first) to file; returns its offset.
inline quint32 addIfd(QByteArray &file, QVector<Entry> entries)
{
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return a.tag < b.tag; });
    QVector<quint32> at(entries.size());
    for (int i = 0; i < entries.size(); ++i) {
        if (entries[i].value.size() > 4) {
            file.append(file.size() % 2 ? 1 : 0, '\0');
            at[i] = quint32(file.size());
            file.append(entries[i].value);
        }
    }
    file.append(file.size() % 2 ? 1 : 0, '\0');
    const quint32 ifd = quint32(file.size());
    file.append(le<quint16>({quint16(entries.size())}));
    for (int i = 0; i < entries.size(); ++i) {
        const Entry &e = entries[i];
        file.append(le<quint16>({e.tag, e.type}) + le<quint32>({e.count}));
        file.append(e.value.size() > 4 ? le<quint32>({at[i]}) : e.value.leftJustified(4, '\0'));
    }
    file.append(le<quint32>({0}));
    return ifd;
}

// width x height sensor sites (even), levels r, g, b; preview: a JPEG file
// or none; orientation: the EXIF code 1..8.
inline QByteArray dng(int width, int height, quint8 r, quint8 g, quint8 b, const QByteArray &preview, int orientation,
                      int previewWidth = 0, int previewHeight = 0)
{
    QByteArray file("II*\0\0\0\0\0", 8);
    const quint32 sensorAt = quint32(file.size());
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            file.append(char(y % 2 == 0 ? (x % 2 == 0 ? r : g) : (x % 2 == 0 ? g : b)));
    }
    QVector<Entry> main = {
        longs(254, {0}), longs(256, {quint32(width)}), longs(257, {quint32(height)}), shorts(258, {8}),
        shorts(259, {1}), shorts(262, {32803}), text(271, "Fixture"), text(272, "Fixture DNG"),
        longs(273, {sensorAt}), shorts(274, {quint16(orientation)}), shorts(277, {1}),
        longs(278, {quint32(height)}), longs(279, {quint32(width * height)}), shorts(284, {1}),
        shorts(33421, {2, 2}), bytes(33422, QByteArray("\0\1\1\2", 4)), bytes(50706, QByteArray("\1\4\0\0", 4)),
        text(50708, "Fixture DNG"), longs(50717, {255}),
        // An identity colour matrix under D65 and a neutral white balance.
        {50721, 10, 9, le<qint32>({1, 1, 0, 1, 0, 1, 0, 1, 1, 1, 0, 1, 0, 1, 0, 1, 1, 1})}, shorts(50778, {21}),
        {50728, 5, 3, le<quint32>({1, 1, 1, 1, 1, 1})},
    };
    if (!preview.isEmpty()) {
        file.append(file.size() % 2 ? 1 : 0, '\0');
        const quint32 jpegAt = quint32(file.size());
        file.append(preview);
        const quint32 sub = addIfd(file, {longs(254, {1}), longs(256, {quint32(previewWidth)}),
                                          longs(257, {quint32(previewHeight)}), shorts(258, {8, 8, 8}), shorts(259, {7}),
                                          shorts(262, {6}), longs(273, {jpegAt}), shorts(277, {3}),
                                          longs(278, {quint32(previewHeight)}), longs(279, {quint32(preview.size())})});
        main.append(longs(330, {sub}));
    }
    qToLittleEndian<quint32>(addIfd(file, main), file.data() + 4);
    return file;
}

} // namespace DngFixture

#endif // DNGFIXTURE_H
