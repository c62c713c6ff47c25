#include "jpegdecoder.h"

#include <QFile>
#include <QtEndian>

#include <csetjmp>
#include <cstdio>
#include <cstring>

extern "C" {
#include <jpeglib.h>
#include <jerror.h>
}

namespace {

// libjpeg reports fatal errors through error_exit, which must not return:
// it jumps back into whichever JpegDecoder call is running. Only C frames of
// the library lie between the jump and its target, so no destructor is
// skipped; everything that outlives a jump lives in Private.
struct ErrorManager
{
    jpeg_error_mgr pub;
    jmp_buf jump;
    bool truncated = false;
    char message[JMSG_LENGTH_MAX] = {};
};

void onError(j_common_ptr cinfo)
{
    ErrorManager *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    longjmp(err->jump, 1);
}

// Warnings are not printed. A file that ends early is padded with grey by
// the library; that is a failure here, so the next walk tries again instead
// of keeping a half-grey thumbnail for ever.
void onMessage(j_common_ptr cinfo, int level)
{
    ErrorManager *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    if (level < 0) {
        if (cinfo->err->msg_code == JWRN_JPEG_EOF)
            err->truncated = true;
        cinfo->err->num_warnings++;
    }
}

void silentOutput(j_common_ptr) {}

inline int ceilDiv(qint64 a, qint64 b) { return int((a + b - 1) / b); }

} // namespace

struct JpegDecoder::Private
{
    QString path;
    FILE *file = nullptr;
    bool magic = false;
    bool created = false;
    bool headerRead = false;
    bool decodeCalled = false;
    int orientation = 1;
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    QImage image;

    // Output size of libjpeg at scale m/8, the way jpeg_calc_output_dimensions rounds.
    QSize scaled(int m) const
    {
        return QSize(ceilDiv(qint64(cinfo.image_width) * m, 8), ceilDiv(qint64(cinfo.image_height) * m, 8));
    }
    int scaleFor(const QSize &minSize) const
    {
        for (int m = 1; m < 8; ++m) {
            const QSize s = scaled(m);
            if (s.width() >= minSize.width() && s.height() >= minSize.height())
                return m;
        }
        return 8;
    }
    // The coefficient buffers of a progressive file hold every block of
    // every component, 2 bytes a coefficient, whatever the output scale.
    qint64 coefficientBytes() const
    {
        if (!cinfo.progressive_mode)
            return 0;
        qint64 total = 0;
        for (int c = 0; c < cinfo.num_components; ++c) {
            const jpeg_component_info &comp = cinfo.comp_info[c];
            const qint64 bw = ceilDiv(qint64(cinfo.image_width) * comp.h_samp_factor, qint64(cinfo.max_h_samp_factor) * DCTSIZE);
            qint64 bh = ceilDiv(qint64(cinfo.image_height) * comp.v_samp_factor, qint64(cinfo.max_v_samp_factor) * DCTSIZE);
            bh = (bh + comp.v_samp_factor - 1) / comp.v_samp_factor * comp.v_samp_factor;
            total += bw * bh * DCTSIZE2 * qint64(sizeof(JCOEF));
        }
        return total;
    }
    bool dcComplete() const
    {
        for (int c = 0; c < cinfo.num_components; ++c) {
            if (cinfo.coef_bits[c][0] != 0)
                return false;
        }
        return true;
    }
};

JpegDecoder::JpegDecoder(const QString &path)
    : d(new Private)
{
    d->path = path;
    d->file = std::fopen(QFile::encodeName(path).constData(), "rbe");
    if (!d->file) {
        return;
    }
    unsigned char head[3] = {0, 0, 0};
    d->magic = std::fread(head, 1, 3, d->file) == 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
    std::rewind(d->file);
}

JpegDecoder::~JpegDecoder()
{
    if (d->created)
        jpeg_destroy_decompress(&d->cinfo);
    if (d->file)
        std::fclose(d->file);
}

bool JpegDecoder::isJpeg() const
{
    return d->magic;
}

bool JpegDecoder::readHeader()
{
    if (!d->magic || d->created)
        return d->headerRead;
    Private *p = d.get();
    p->cinfo.err = jpeg_std_error(&p->err.pub);
    p->err.pub.error_exit = onError;
    p->err.pub.emit_message = onMessage;
    p->err.pub.output_message = silentOutput;
    if (setjmp(p->err.jump)) {
        return false;
    }
    jpeg_create_decompress(&p->cinfo);
    p->created = true;
    jpeg_stdio_src(&p->cinfo, p->file);
    jpeg_save_markers(&p->cinfo, JPEG_APP0 + 1, 0xFFFF);
    if (jpeg_read_header(&p->cinfo, TRUE) != JPEG_HEADER_OK) {
        return false;
    }
    if (p->cinfo.image_width == 0 || p->cinfo.image_height == 0) {
        return false;
    }
    for (jpeg_saved_marker_ptr m = p->cinfo.marker_list; m; m = m->next) {
        if (m->marker == JPEG_APP0 + 1 && m->data_length > 6 && std::memcmp(m->data, "Exif\0\0", 6) == 0) {
            p->orientation = exifOrientation(QByteArray::fromRawData(reinterpret_cast<const char *>(m->data) + 6,
                                                                     int(m->data_length) - 6));
            break;
        }
    }
    p->headerRead = true;
    return true;
}

bool JpegDecoder::canDecode() const
{
    return d->headerRead && d->cinfo.jpeg_color_space != JCS_CMYK && d->cinfo.jpeg_color_space != JCS_YCCK;
}

QSize JpegDecoder::size() const
{
    return d->headerRead ? QSize(int(d->cinfo.image_width), int(d->cinfo.image_height)) : QSize();
}

int JpegDecoder::orientation() const
{
    return d->orientation;
}

qint64 JpegDecoder::memoryNeeded(const QSize &minSize) const
{
    if (!d->headerRead)
        return 0;
    const QSize out = d->scaled(d->scaleFor(minSize));
    return qint64(out.width()) * out.height() * 4 + d->coefficientBytes();
}

QImage JpegDecoder::decode(const QSize &minSize, qint64 memoryCap)
{
    if (!canDecode() || d->decodeCalled)
        return QImage();
    Private *p = d.get();
    p->decodeCalled = true;
    if (setjmp(p->err.jump)) {
        jpeg_abort_decompress(&p->cinfo);
        p->image = QImage();
        return QImage();
    }
    p->cinfo.scale_num = unsigned(p->scaleFor(minSize));
    p->cinfo.scale_denom = 8;
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    p->cinfo.out_color_space = JCS_EXT_BGRA;        // QImage::Format_RGB32 in memory
#else
    p->cinfo.out_color_space = JCS_EXT_ARGB;
#endif
    p->cinfo.do_block_smoothing = FALSE;
    // Without a backing store, libjpeg fails instead of going past this.
    p->cinfo.mem->max_memory_to_use = long(qMin<qint64>(memoryCap, LONG_MAX));
    const bool dcOnly = jpeg_has_multiple_scans(&p->cinfo) && p->cinfo.scale_num == 1;
    p->cinfo.buffered_image = dcOnly ? TRUE : FALSE;
    jpeg_start_decompress(&p->cinfo);

    p->image = QImage(int(p->cinfo.output_width), int(p->cinfo.output_height), QImage::Format_RGB32);
    if (p->image.isNull()) {
        jpeg_abort_decompress(&p->cinfo);
        return QImage();
    }
    if (dcOnly) {
        for (;;) {
            const int r = jpeg_consume_input(&p->cinfo);
            if (r == JPEG_REACHED_EOI || r == JPEG_SUSPENDED)
                break;
            if (r == JPEG_SCAN_COMPLETED && p->dcComplete())
                break;
        }
        jpeg_start_output(&p->cinfo, p->cinfo.input_scan_number);
    }
    JSAMPROW rows[16];
    while (p->cinfo.output_scanline < p->cinfo.output_height) {
        const int first = int(p->cinfo.output_scanline);
        const int count = qMin(16, int(p->cinfo.output_height) - first);
        for (int i = 0; i < count; ++i)
            rows[i] = p->image.scanLine(first + i);
        if (jpeg_read_scanlines(&p->cinfo, rows, JDIMENSION(count)) == 0)
            break;
    }
    const bool complete = p->cinfo.output_scanline == p->cinfo.output_height;
    if (dcOnly) {
        jpeg_finish_output(&p->cinfo);
        jpeg_abort_decompress(&p->cinfo);           // the AC scans are never needed
    } else if (complete) {
        jpeg_finish_decompress(&p->cinfo);
    } else {
        jpeg_abort_decompress(&p->cinfo);
    }
    if (!complete || p->err.truncated) {
        p->image = QImage();
        return QImage();
    }
    QImage out = p->image;
    p->image = QImage();
    return out;
}

int JpegDecoder::exifOrientation(const QByteArray &tiff)
{
    const int n = tiff.size();
    if (n < 8)
        return 1;
    const uchar *b = reinterpret_cast<const uchar *>(tiff.constData());
    bool little;
    if (b[0] == 'I' && b[1] == 'I')
        little = true;
    else if (b[0] == 'M' && b[1] == 'M')
        little = false;
    else
        return 1;
    auto u16 = [&](int at) -> quint32 { return little ? qFromLittleEndian<quint16>(b + at) : qFromBigEndian<quint16>(b + at); };
    auto u32 = [&](int at) -> quint32 { return little ? qFromLittleEndian<quint32>(b + at) : qFromBigEndian<quint32>(b + at); };
    if (u16(2) != 42)
        return 1;
    const quint32 ifd = u32(4);
    if (ifd > quint32(n) - 2)
        return 1;
    const quint32 entries = u16(int(ifd));
    for (quint32 i = 0; i < entries; ++i) {
        const quint64 at = quint64(ifd) + 2 + quint64(i) * 12;
        if (at + 12 > quint64(n))
            return 1;
        if (u16(int(at)) == 0x0112) {
            if (u16(int(at) + 2) != 3)      // SHORT
                return 1;
            const quint32 v = u16(int(at) + 8);
            return v >= 1 && v <= 8 ? int(v) : 1;
        }
    }
    return 1;
}
