#include "jpegdecoder.h"

#include "picturemetadata.h"

#include <QFile>
#include <QMap>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

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
    bool hitMarker = false;
    char message[JMSG_LENGTH_MAX] = {};
};

void onError(j_common_ptr cinfo)
{
    ErrorManager *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    longjmp(err->jump, 1);
}

// Warnings are not printed. When the entropy decoder needs bits that the
// data does not have (the file ends early, or its data runs into a marker)
// the library pads with grey; that is a failure here, so that the next walk
// tries again instead of keeping a half-grey thumbnail for ever. The end of
// the file alone (JWRN_JPEG_EOF) is no failure: the source reads ahead, so
// a file that lacks only its EOI marker says it while its data is whole.
void onMessage(j_common_ptr cinfo, int level)
{
    ErrorManager *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    if (level < 0) {
        if (cinfo->err->msg_code == JWRN_HIT_MARKER)
            err->hitMarker = true;
        cinfo->err->num_warnings++;
    }
}

// Zigzag position -> natural (row-major) index of a coefficient in its block.
const int NATURAL_ORDER[DCTSIZE2] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// Huffman coding spends at least about one bit on every 8x8 block, which
// bounds a real file at 64 x 8 = 512 pixels a byte; solid-colour 24 MP
// photos measure at most 256. A header that claims more than twice the
// bound is a lie (a 58 KB file claiming 65000 x 65000) and would only be
// decoded at full cost into a grey square.
const qint64 MAX_PIXELS_PER_BYTE = 1024;

void silentOutput(j_common_ptr) {}

// What the decoder keeps of the markers it reads: the first EXIF block and
// the ICC profile's chunks, up to ICC_BYTES in all. Every other APP1 and
// APP2 marker, and every byte beyond those, is skipped as it streams past,
// so a file of thousands of markers costs no more memory than its picture
// (the library's own marker saving would keep every one).
constexpr qint64 ICC_BYTES = qint64(4) << 20;

struct SavedMarkers
{
    QByteArray exif;                   // the TIFF structure after "Exif\0\0"
    QMap<int, QByteArray> iccChunks;   // sequence number -> chunk
    int iccCount = 0;
    qint64 iccBytes = 0;

    // The profile when every chunk of it arrived.
    QByteArray iccProfile() const
    {
        if (iccCount == 0 || iccChunks.size() != iccCount || iccChunks.firstKey() != 1 || iccChunks.lastKey() != iccCount)
            return QByteArray();
        QByteArray profile;
        for (const QByteArray &chunk : iccChunks)
            profile += chunk;
        return profile;
    }
};

// Reads or skips n bytes of the marker in the source's buffer.
bool take(j_decompress_ptr cinfo, char *into, long n)
{
    jpeg_source_mgr *src = cinfo->src;
    while (n > 0) {
        if (src->bytes_in_buffer == 0 && !src->fill_input_buffer(cinfo))
            return false;
        const long part = qMin<long>(n, long(src->bytes_in_buffer));
        if (into) {
            std::memcpy(into, src->next_input_byte, size_t(part));
            into += part;
        }
        src->next_input_byte += part;
        src->bytes_in_buffer -= size_t(part);
        n -= part;
    }
    return true;
}

boolean readAppMarker(j_decompress_ptr cinfo)
{
    SavedMarkers *saved = static_cast<SavedMarkers *>(cinfo->client_data);
    unsigned char length[2];
    if (!take(cinfo, reinterpret_cast<char *>(length), 2))
        return FALSE;
    const long size = qMax(0L, long((length[0] << 8) | length[1]) - 2);
    // Enough to tell what the marker is.
    const long head = qMin(size, 14L);
    QByteArray data(int(head), Qt::Uninitialized);
    if (!take(cinfo, data.data(), head))
        return FALSE;
    bool keep = false;
    if (cinfo->unread_marker == JPEG_APP0 + 1)
        keep = saved->exif.isNull() && data.startsWith(QByteArray("Exif\0\0", 6));
    else if (cinfo->unread_marker == JPEG_APP0 + 2)
        keep = head == 14 && data.startsWith(QByteArray("ICC_PROFILE\0", 12)) && saved->iccBytes + size <= ICC_BYTES;
    if (!keep)
        return take(cinfo, nullptr, size - head) ? TRUE : FALSE;
    data.resize(int(size));
    if (!take(cinfo, data.data() + head, size - head))
        return FALSE;
    if (cinfo->unread_marker == JPEG_APP0 + 1) {
        saved->exif = data.mid(6);
    } else {
        const int sequence = uchar(data.at(12));
        const int count = uchar(data.at(13));
        if (sequence >= 1 && count >= 1 && sequence <= count && (saved->iccCount == 0 || saved->iccCount == count)) {
            saved->iccCount = count;
            saved->iccChunks.insert(sequence, data.mid(14));
            saved->iccBytes += size;
        }
    }
    return TRUE;
}

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
    qint64 fileSize = 0;
    const QByteArray *data = nullptr;   // the file's bytes, read from memory instead of the file
    QByteArray iccProfile;
    SavedMarkers markers;
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    QImage image;

    // The smallest scale m/8 whose output covers minSize, leaving cinfo's
    // output dimensions at that scale. A component's plane under half the
    // box in some direction (4:1:1 and 4:1:0 chroma) would blur colour at
    // edges, so the scale goes up until every plane reaches half the box;
    // 4:2:0 and 4:2:2 planes already do at the covering scale. Must run
    // under the error jump.
    int chooseScale(const QSize &minSize)
    {
        cinfo.scale_denom = 8;
        for (int m = 1; m <= 8; ++m) {
            cinfo.scale_num = unsigned(m);
            jpeg_calc_output_dimensions(&cinfo);
            if (m == 8)
                break;
            if (int(cinfo.output_width) < minSize.width() || int(cinfo.output_height) < minSize.height())
                continue;
            bool planesCover = true;
            for (int c = 0; c < cinfo.num_components; ++c) {
                const jpeg_component_info &comp = cinfo.comp_info[c];
                if (qint64(comp.downsampled_width) * 2 < minSize.width()
                    || qint64(comp.downsampled_height) * 2 < minSize.height())
                    planesCover = false;
            }
            if (planesCover)
                break;
        }
        return int(cinfo.scale_num);
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
    // Whether every coefficient from zigzag position `from` on that the
    // scaled inverse DCT of component c reads has arrived with at most
    // `missingBits` refinement bits still to come (coef_bits: -1 before its
    // first scan, then the bit position of the last one).
    bool readsArrived(int c, int from, int missingBits) const
    {
#if JPEG_LIB_VERSION >= 70
        const int rows = cinfo.comp_info[c].DCT_v_scaled_size;
        const int cols = cinfo.comp_info[c].DCT_h_scaled_size;
#else
        const int rows = cinfo.comp_info[c].DCT_scaled_size;
        const int cols = rows;
#endif
        for (int k = from; k < DCTSIZE2; ++k) {
            const int bits = cinfo.coef_bits[c][k];
            if (NATURAL_ORDER[k] / DCTSIZE < rows && NATURAL_ORDER[k] % DCTSIZE < cols && (bits < 0 || bits > missingBits))
                return false;
        }
        return true;
    }
    // What the 1/8 output of a progressive file reads has arrived: every
    // component's DC with at most its last bit missing (that bit is worth at
    // most Q_dc/8 levels, about one level at quality 75), and for a
    // component whose inverse DCT at this scale is larger than 1x1 (4:2:0
    // chroma: 2x2, coefficients 1, 8 and 9) the first pass of the
    // coefficients it reads. libjpeg's own scan order completes the DC only
    // after most of the AC data; this is reached far earlier, within about
    // one level of the full decode at the same scale.
    bool eighthReady() const
    {
        for (int c = 0; c < cinfo.num_components; ++c) {
            if (cinfo.coef_bits[c][0] < 0 || cinfo.coef_bits[c][0] > 1 || !readsArrived(c, 1, DCTSIZE2))
                return false;
        }
        return true;
    }
    // A progressive file whose last scans are missing still decodes, from
    // coarse coefficients. Every coefficient the scaled inverse DCT of a
    // component reads must be complete, or the output is a blur of the
    // picture rather than the picture.
    bool usedCoefficientsComplete() const
    {
        if (!cinfo.progressive_mode || !cinfo.coef_bits)
            return true;
        for (int c = 0; c < cinfo.num_components; ++c) {
            if (!readsArrived(c, 0, 0))
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
    struct stat st;
    if (::fstat(fileno(d->file), &st) == 0)
        d->fileSize = qint64(st.st_size);
}

JpegDecoder::JpegDecoder(const QByteArray &data)
    : d(new Private)
{
    d->data = &data;
    const uchar *b = reinterpret_cast<const uchar *>(data.constData());
    d->magic = data.size() >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF;
    d->fileSize = data.size();
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
    if (p->data)
        jpeg_mem_src(&p->cinfo, reinterpret_cast<const unsigned char *>(p->data->constData()), (unsigned long)(p->data->size()));
    else
        jpeg_stdio_src(&p->cinfo, p->file);
    p->cinfo.client_data = &p->markers;
    jpeg_set_marker_processor(&p->cinfo, JPEG_APP0 + 1, readAppMarker);
    jpeg_set_marker_processor(&p->cinfo, JPEG_APP0 + 2, readAppMarker);     // ICC profile chunks
    if (jpeg_read_header(&p->cinfo, TRUE) != JPEG_HEADER_OK) {
        return false;
    }
    const qint64 pixels = qint64(p->cinfo.image_width) * p->cinfo.image_height;
    if (pixels == 0 || pixels > MAX_PIXELS_PER_BYTE * qMax<qint64>(p->fileSize, 1)) {
        return false;
    }
    if (!p->markers.exif.isNull())
        p->orientation = exifOrientation(p->markers.exif);
    p->iccProfile = p->markers.iccProfile();
    p->markers = SavedMarkers();
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

QByteArray JpegDecoder::iccProfile() const
{
    return d->iccProfile;
}

qint64 JpegDecoder::memoryNeeded(const QSize &minSize) const
{
    if (!d->headerRead)
        return 0;
    Private *p = d.get();
    if (setjmp(p->err.jump))
        return -1;
    p->chooseScale(minSize);
    return qint64(p->cinfo.output_width) * p->cinfo.output_height * 4 + p->coefficientBytes();
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
    p->chooseScale(minSize);
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    p->cinfo.out_color_space = JCS_EXT_BGRA;        // QImage::Format_RGB32 in memory
#else
    p->cinfo.out_color_space = JCS_EXT_ARGB;
#endif
    p->cinfo.do_block_smoothing = FALSE;
    // Without a backing store, libjpeg fails instead of going past this.
    p->cinfo.mem->max_memory_to_use = long(qMin<qint64>(memoryCap, LONG_MAX));
    // Only a progressive file keeps coefficient bits to judge by; one with
    // several sequential scans (a component each) is read whole.
    const bool dcOnly = p->cinfo.progressive_mode && p->cinfo.scale_num == 1;
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
            if (r == JPEG_SCAN_COMPLETED && p->eighthReady())
                break;
        }
        if (!p->eighthReady()) {
            jpeg_abort_decompress(&p->cinfo);
            p->image = QImage();
            return QImage();
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
    // Whole-file progressive decoding has read every scan by now.
    const bool complete = p->cinfo.output_scanline == p->cinfo.output_height && !p->err.hitMarker
        && (dcOnly || p->usedCoefficientsComplete());
    if (dcOnly) {
        jpeg_finish_output(&p->cinfo);
        jpeg_abort_decompress(&p->cinfo);           // the AC scans are never needed
    } else if (complete) {
        jpeg_finish_decompress(&p->cinfo);
    } else {
        jpeg_abort_decompress(&p->cinfo);
    }
    if (!complete || p->err.hitMarker) {
        p->image = QImage();
        return QImage();
    }
    QImage out = p->image;
    p->image = QImage();
    return out;
}
