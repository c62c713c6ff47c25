#include "heifthumbnail.h"

#include "memorybudget.h"
#include "picturefit.h"
#include "picturescale.h"
#include "srgbconversion.h"
#include "thumbnailfile.h"

#include <QColorSpace>
#include <QImage>
#include <QPointF>

#include <libheif/heif.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The largest block an HEVC picture is coded in: its coded size is its
// size rounded up to a multiple of its blocks.
const int CODING_BLOCK = 64;

// Releases libheif objects on every way out.
struct HeifGuard
{
    heif_context *ctx = nullptr;
    heif_image_handle *primary = nullptr;
    heif_image_handle *thumb = nullptr;
    heif_image *image = nullptr;
    ~HeifGuard()
    {
        if (image)
            heif_image_release(image);
        if (thumb)
            heif_image_handle_release(thumb);
        if (primary)
            heif_image_handle_release(primary);
        if (ctx)
            heif_context_free(ctx);
    }
};

QSize handleSize(const heif_image_handle *h)
{
    return QSize(heif_image_handle_get_width(h), heif_image_handle_get_height(h));
}

// The colours a HEIF picture declares: an ICC profile, else the primaries
// and transfer of an nclx box. BT.709 primaries (sRGB's) and unspecified
// ones need nothing. PQ and HLG (HDR) transfers are taken as sRGB, without
// tone mapping: Qt has no such transfer, and the thumbnail of an HDR photo
// then looks flat rather than wrong.
bool heifColours(const heif_image_handle *h, QByteArray &icc, QColorSpace &declared)
{
    const size_t iccSize = heif_image_handle_get_raw_color_profile_size(h);
    if (iccSize > 0 && iccSize <= size_t(4 << 20)) {
        icc.resize(int(iccSize));
        if (heif_image_handle_get_raw_color_profile(h, icc.data()).code == heif_error_Ok)
            return true;
        icc.clear();
    }
    heif_color_profile_nclx *nclx = nullptr;
    if (heif_image_handle_get_nclx_color_profile(h, &nclx).code != heif_error_Ok || !nclx)
        return false;
    const heif_color_profile_nclx n = *nclx;
    heif_nclx_color_profile_free(nclx);
    if (n.color_primaries == heif_color_primaries_ITU_R_BT_709_5 || n.color_primaries == heif_color_primaries_unspecified
        || n.transfer_characteristics == heif_transfer_characteristic_ITU_R_BT_2100_0_PQ
        || n.transfer_characteristics == heif_transfer_characteristic_ITU_R_BT_2100_0_HLG)
        return false;
    QColorSpace::TransferFunction transfer = QColorSpace::TransferFunction::SRgb;
    float gamma = 0.0f;
    if (n.transfer_characteristics == heif_transfer_characteristic_linear) {
        transfer = QColorSpace::TransferFunction::Linear;
    } else if (n.transfer_characteristics == heif_transfer_characteristic_ITU_R_BT_470_6_System_M) {
        transfer = QColorSpace::TransferFunction::Gamma;
        gamma = 2.2f;
    } else if (n.transfer_characteristics == heif_transfer_characteristic_ITU_R_BT_470_6_System_B_G) {
        transfer = QColorSpace::TransferFunction::Gamma;
        gamma = 2.8f;
    }
    declared = QColorSpace(QPointF(n.color_primary_white_x, n.color_primary_white_y),
                           QPointF(n.color_primary_red_x, n.color_primary_red_y),
                           QPointF(n.color_primary_green_x, n.color_primary_green_y),
                           QPointF(n.color_primary_blue_x, n.color_primary_blue_y), transfer, gamma);
    return declared.isValid();
}

// libheif reading a descriptor with pread, from where it asks. Its reader
// from memory copies what it parses, more than a reader that reads only
// what is asked for: a file's embedded thumbnail costs a few reads. It
// parses boxes a few bytes at a time, so a small read is served from a
// block read ahead of it, a hundred system calls a file fewer.
struct FdReader
{
    int fd = -1;
    qint64 size = 0;
    qint64 position = 0;
    QByteArray block;         // the file's bytes from blockAt on
    qint64 blockAt = 0;

    static constexpr qint64 BLOCK = 64 * 1024;

    bool readAt(char *to, qint64 bytes, qint64 at) const
    {
        for (qint64 done = 0; done < bytes;) {
            const ssize_t n = ::pread(fd, to + done, size_t(bytes - done), off_t(at + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += n;
        }
        return true;
    }
    static int64_t position_(void *self) { return static_cast<FdReader *>(self)->position; }
    static int read(void *data, size_t size, void *self)
    {
        FdReader *r = static_cast<FdReader *>(self);
        const qint64 bytes = qint64(size);
        if (bytes > r->size - r->position)
            return 1;
        if (bytes >= BLOCK / 2) {
            if (!r->readAt(static_cast<char *>(data), bytes, r->position))
                return 1;
        } else {
            if (r->position < r->blockAt || r->position + bytes > r->blockAt + r->block.size()) {
                r->block.resize(int(qMin(BLOCK, r->size - r->position)));
                r->blockAt = r->position;
                if (!r->readAt(r->block.data(), r->block.size(), r->blockAt)) {
                    r->block.clear();
                    return 1;
                }
            }
            std::memcpy(data, r->block.constData() + (r->position - r->blockAt), size);
        }
        r->position += bytes;
        return 0;
    }
    static int seek(int64_t position, void *self)
    {
        FdReader *r = static_cast<FdReader *>(self);
        if (position < 0 || position > r->size)
            return 1;
        r->position = position;
        return 0;
    }
    static heif_reader_grow_status grow(int64_t target, void *self)
    {
        return target > static_cast<FdReader *>(self)->size ? heif_reader_grow_status_size_beyond_eof
                                                             : heif_reader_grow_status_size_reached;
    }
    static const heif_reader *functions()
    {
        static const heif_reader reader = {1, &position_, &read, &seek, &grow};
        return &reader;
    }
};

} // namespace

RenderResult heifPicture(const QString &source, int width, int height, const QByteArray *data, QImage &picture, int fd,
                         qint64 length)
{
    if (width <= 0 || height <= 0)
        return RenderResult::DecodeFailed;
    const QByteArray path = source.toUtf8();
    HeifGuard g;
    static const bool initialised = (heif_init(nullptr), true);   // once, before any thread decodes
    Q_UNUSED(initialised)
    g.ctx = heif_context_alloc();
    if (!g.ctx)
        return RenderResult::DecodeFailed;
    struct stat st {};
    FdReader reader;
    reader.fd = fd;
    reader.size = length > 0 ? length : fd >= 0 && ::fstat(fd, &st) == 0 ? qint64(st.st_size) : 0;
    const heif_error read = fd >= 0 ? heif_context_read_from_reader(g.ctx, FdReader::functions(), &reader, nullptr)
        : data ? heif_context_read_from_memory_without_copy(g.ctx, data->constData(), size_t(data->size()), nullptr)
               : heif_context_read_from_file(g.ctx, path.constData(), nullptr);
    if (read.code != heif_error_Ok)
        return RenderResult::DecodeFailed;
    if (heif_context_get_primary_image_handle(g.ctx, &g.primary).code != heif_error_Ok)
        return RenderResult::DecodeFailed;
    const QSize fit = fitSize(handleSize(g.primary), width, height);
    if (!fit.isValid())
        return RenderResult::DecodeFailed;
    if (overMemoryCap(pixelBytes(fit)))
        return RenderResult::OverMemoryCap;

    // An embedded thumbnail at least as large as the result decodes in a
    // fraction of the time of the primary image; take the smallest such.
    const int count = heif_image_handle_get_number_of_thumbnails(g.primary);
    if (count > 0) {
        std::vector<heif_item_id> ids(static_cast<size_t>(count));
        const int n = heif_image_handle_get_list_of_thumbnail_IDs(g.primary, ids.data(), count);
        for (int i = 0; i < n; ++i) {
            heif_image_handle *t = nullptr;
            if (heif_image_handle_get_thumbnail(g.primary, ids[size_t(i)], &t).code != heif_error_Ok || !t)
                continue;
            const QSize s = handleSize(t);
            const bool fits = s.width() >= fit.width() && s.height() >= fit.height();
            if (fits && (!g.thumb || pixelBytes(s) < pixelBytes(handleSize(g.thumb)))) {
                if (g.thumb)
                    heif_image_handle_release(g.thumb);
                g.thumb = t;
            } else {
                heif_image_handle_release(t);
            }
        }
    }
    const heif_image_handle *handle = g.thumb ? g.thumb : g.primary;
    const QSize size = handleSize(handle);
    if (size.isEmpty())
        return RenderResult::DecodeFailed;
    // A grid or an overlay is composed on a canvas whose size only its own
    // item data gives, which libheif does not show: an overlay declaring
    // 64x64 may set a 12000x12000 canvas. No canvas, and no coded picture,
    // may be longer on a side than the picture declares itself, give or
    // take the coding blocks a coded picture is padded to (at most 64
    // pixels in HEVC): libheif refuses more before it allocates. Tiles are
    // decoded one at a time, on this thread.
    QSize stored(heif_image_handle_get_ispe_width(handle), heif_image_handle_get_ispe_height(handle));
    if (stored.isEmpty())
        stored = size;
    const auto blocks = [](int side) { return (side + CODING_BLOCK - 1) / CODING_BLOCK * CODING_BLOCK; };
    const QSize padded(blocks(stored.width()), blocks(stored.height()));      // before rotation and cropping
    const int longest = qMax(qMax(padded.width(), padded.height()), blocks(qMax(size.width(), size.height())));
    heif_context_set_maximum_image_size_limit(g.ctx, longest + 1);
    heif_context_set_max_decoding_threads(g.ctx, 0);
    QByteArray icc;
    QColorSpace declared;
    if (!heifColours(handle, icc, declared) && handle != g.primary)
        heifColours(g.primary, icc, declared);
    const bool alpha = heif_image_handle_has_alpha_channel(handle);
    const int channels = alpha ? 4 : 3;
    // libheif at its peak holds the decoder's frame and its own copies of
    // the planes, then the planar RGB picture it converts from: measured
    // 7.3 bytes a pixel for 8-bit pictures and 11.7 for 10-bit ones, plain
    // or tiled; an alpha plane adds 2 a sample byte. A canvas holds its
    // tiles' RGB in the same room. After the decode, the interleaved
    // picture stays beside its 32-bit copy (colour conversion, scaling).
    const int sampleBytes = heif_image_handle_get_luma_bits_per_pixel(handle) > 8 ? 2 : 1;
    const qint64 pixels = pixelBytes(padded, 1);
    const qint64 decoding = pixels * (6 + 9 * sampleBytes + (alpha ? 4 * sampleBytes : 0)) / 2;
    const qint64 finishing = pixels * (channels + 4);
    // A quarter turn gives the picture the other fit, which may be larger.
    const qint64 fitBytes = qMax(pixelBytes(fit), pixelBytes(fitSize(size.transposed(), width, height)));
    const qint64 need = qMax(decoding, finishing) + fitBytes + (data ? data->size() : 0);
    if (overMemoryCap(need))
        return RenderResult::OverMemoryCap;
    const MemoryReservation hold(need);
    if (!hold.granted())
        return reservationRefused();
    if (heif_decode_image(handle, &g.image, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, nullptr).code != heif_error_Ok)
        return RenderResult::DecodeFailed;
    // libheif 1.15 gives a picture's size as stored, before the rotation,
    // mirroring and cropping (irot, imir, clap) that its decoder applies;
    // later releases give it after them. The decoded picture is the stored
    // one or its quarter turn, cut down by a crop, and never larger.
    int stride = 0;
    const uint8_t *plane = heif_image_get_plane_readonly(g.image, heif_channel_interleaved, &stride);
    const QSize shown(heif_image_get_width(g.image, heif_channel_interleaved),
                      heif_image_get_height(g.image, heif_channel_interleaved));
    if (!plane || shown.isEmpty() || stride < shown.width() * channels
        || (shown.boundedTo(size) != shown && shown.boundedTo(size.transposed()) != shown))
        return RenderResult::DecodeFailed;
    // A crop can change the picture's shape and so enlarge its fit; the
    // room the crop saved must hold the difference.
    const QSize shownFit = fitSize(shown, width, height);
    if (pixelBytes(shownFit) - fitBytes > finishing - pixelBytes(shown, channels + 4))
        return RenderResult::OverMemoryCap;
    const QImage::Format format = !alpha ? QImage::Format_RGB888
        : heif_image_handle_is_premultiplied_alpha(handle) ? QImage::Format_RGBA8888_Premultiplied
                                                           : QImage::Format_RGBA8888;
    const QImage wrapped(plane, shown.width(), shown.height(), stride, format);
    const QImage out = finishPicture(convertToSRgb(wrapped, icc, declared), shownFit);
    if (out.isNull())
        return RenderResult::OverMemoryCap;
    // The wrapper borrows libheif's planes, which g releases on the way
    // out; a picture that needed neither conversion nor scaling still
    // shares them.
    picture = out.constBits() == plane ? out.copy() : out;
    return picture.isNull() ? RenderResult::OverMemoryCap : RenderResult::Rendered;
}

RenderResult heifThumbnail(const QString &source, const QString &target, int width, int height, const QByteArray *data)
{
    QImage picture;
    const RenderResult result = heifPicture(source, width, height, data, picture);
    if (result != RenderResult::Rendered)
        return result;
    return writeThumbnail(picture, target) ? RenderResult::Rendered : RenderResult::CannotWrite;
}
