#include "rawthumbnail.h"

#include "imagethumbnail.h"
#include "jpegdecoder.h"
#include "memorybudget.h"
#include "picturefit.h"
#include "picturescale.h"

#include <QScopeGuard>

#include <libraw/libraw.h>

#include <memory>

namespace {

// What LibRaw hands out with its own allocator, given back with it.
struct ProcessedImage
{
    libraw_processed_image_t *image = nullptr;
    ~ProcessedImage() { LibRaw::dcraw_clear_mem(image); }
};

// An 8-bit RGB or grey bitmap from LibRaw as a picture of its own.
QImage bitmapImage(const libraw_processed_image_t &bitmap)
{
    if (bitmap.type != LIBRAW_IMAGE_BITMAP || bitmap.bits != 8 || (bitmap.colors != 3 && bitmap.colors != 1))
        return QImage();
    const qint64 stride = qint64(bitmap.width) * bitmap.colors;
    if (qint64(bitmap.data_size) < stride * bitmap.height)
        return QImage();
    const QImage view(bitmap.data, bitmap.width, bitmap.height, int(stride),
                      bitmap.colors == 3 ? QImage::Format_RGB888 : QImage::Format_Grayscale8);
    return view.copy();
}

// The embedded preview, when LibRaw finds one it can hand over and it is
// no smaller than the picture the box needs. Unpacked only then.
RenderResult previewPicture(LibRaw &raw, const QSize &fit, int orientation, int width, int height, qint64 held,
                            QImage &picture, bool &usable)
{
    usable = false;
    const libraw_thumbnail_t &thumb = raw.imgdata.thumbnail;
    // The size the file declares, where it does, is known before the
    // preview is read; a JPEG's own header has the last word.
    const bool turned = orientation >= 5;
    const QSize needed = turned ? fit.transposed() : fit;
    const bool declared = thumb.twidth > 0 && thumb.theight > 0;
    if (thumb.tlength == 0 || (declared && (thumb.twidth < needed.width() || thumb.theight < needed.height())))
        return RenderResult::DecodeFailed;
    if (overMemoryCap(held + thumb.tlength))
        return RenderResult::OverMemoryCap;
    if (raw.unpack_thumb() != LIBRAW_SUCCESS
        || (thumb.tformat != LIBRAW_THUMBNAIL_JPEG && thumb.tformat != LIBRAW_THUMBNAIL_BITMAP))
        return RenderResult::DecodeFailed;
    if (thumb.tformat == LIBRAW_THUMBNAIL_JPEG) {
        const QByteArray jpeg = QByteArray::fromRawData(thumb.thumb, int(thumb.tlength));
        JpegDecoder header(jpeg);
        if (!header.isJpeg() || !header.readHeader() || !header.canDecode())
            return RenderResult::DecodeFailed;
        // The preview's own orientation tag, where it has one, describes
        // the preview itself.
        const int turn = header.orientation() > 1 ? header.orientation() : orientation;
        const QSize stored = turn >= 5 ? header.size().transposed() : header.size();
        if (stored.width() < fit.width() || stored.height() < fit.height())
            return RenderResult::DecodeFailed;
        usable = true;
        return jpegPicture(header, width, height, held + jpeg.size(), turn, picture);
    }
    int error = 0;
    ProcessedImage bitmap{raw.dcraw_make_mem_thumb(&error)};
    const QImage stored = bitmap.image ? bitmapImage(*bitmap.image) : QImage();
    if (stored.isNull())
        return RenderResult::DecodeFailed;
    usable = true;
    const MemoryReservation hold(held + thumb.tlength * 2 + pixelBytes(stored.size()) + pixelBytes(fit));
    if (!hold.granted())
        return reservationRefused();
    picture = orientPicture(finishPicture(stored, needed), orientation);
    return picture.isNull() ? RenderResult::OverMemoryCap : RenderResult::Rendered;
}

// The sensor data developed by LibRaw (camera white balance, sRGB, 8 bits)
// at half size when that still covers the box, else at full size with the
// plainest interpolation. LibRaw turns the result upright itself.
RenderResult developedPicture(LibRaw &raw, const QSize &fit, int width, int height, qint64 held, QImage &picture)
{
    const libraw_image_sizes_t &s = raw.imgdata.sizes;
    const bool turned = (s.flip & 4) != 0;
    const QSize shown = turned ? QSize(s.height, s.width) : QSize(s.width, s.height);
    const bool half = shown.width() / 2 >= fit.width() && shown.height() / 2 >= fit.height();
    const QSize developed = half ? shown / 2 : shown;
    // The sensor values as unpacked (16 bits a sample; four where the file
    // holds whole pixels), the four-sample working picture, LibRaw's
    // output and its copy here.
    const qint64 samples = raw.imgdata.idata.filters ? 2 : 8;
    const qint64 need = held + qint64(s.raw_width) * s.raw_height * samples + pixelBytes(developed, 8)
        + pixelBytes(developed, 3) + pixelBytes(developed) + pixelBytes(fit);
    if (overMemoryCap(need))
        return RenderResult::OverMemoryCap;
    const MemoryReservation hold(need);
    if (!hold.granted())
        return reservationRefused();
    libraw_output_params_t &params = raw.imgdata.params;
    params.half_size = half ? 1 : 0;
    params.use_camera_wb = 1;
    params.output_bps = 8;
    params.user_qual = 0;
    if (raw.unpack() != LIBRAW_SUCCESS || raw.dcraw_process() != LIBRAW_SUCCESS)
        return RenderResult::DecodeFailed;
    int error = 0;
    QImage out;
    {
        ProcessedImage image{raw.dcraw_make_mem_image(&error)};
        out = image.image ? bitmapImage(*image.image) : QImage();
    }
    raw.recycle();
    if (out.isNull())
        return RenderResult::DecodeFailed;
    // LibRaw corrects a sensor's non-square pixels: fitted as developed.
    picture = finishPicture(out, fitSize(out.size(), width, height));
    return picture.isNull() ? RenderResult::OverMemoryCap : RenderResult::Rendered;
}

} // namespace

int rawFlipToOrientation(int flip)
{
    static const int exif[8] = {1, 2, 4, 3, 5, 8, 6, 7};
    return flip >= 0 && flip < 8 ? exif[flip] : 1;
}

RenderResult rawPicture(const QByteArray &data, int width, int height, QImage &picture)
{
    if (width <= 0 || height <= 0 || data.isEmpty())
        return RenderResult::DecodeFailed;
    // LibRaw's state is some hundred kilobytes: not for a thread's stack,
    // and kept for the thread's next file (set up anew, it cost a third of
    // a preview's decode), emptied after each file and given back the
    // output settings it started with.
    thread_local const std::unique_ptr<LibRaw> kept(new LibRaw(LIBRAW_OPTIONS_NONE));
    thread_local const libraw_output_params_t defaults = kept->imgdata.params;
    LibRaw *raw = kept.get();
    const auto recycle = qScopeGuard([raw] {
        raw->recycle();
        raw->imgdata.params = defaults;
    });
    if (raw->open_buffer(const_cast<char *>(data.constData()), size_t(data.size())) != LIBRAW_SUCCESS)
        return RenderResult::DecodeFailed;
    const libraw_image_sizes_t &s = raw->imgdata.sizes;
    const int orientation = rawFlipToOrientation(s.flip);
    const QSize stored(s.width, s.height);
    const QSize fit = fitSize(orientation >= 5 ? stored.transposed() : stored, width, height);
    if (!fit.isValid())
        return RenderResult::DecodeFailed;
    bool usable = false;
    const RenderResult preview = previewPicture(*raw, fit, orientation, width, height, data.size(), picture, usable);
    if (usable || preview == RenderResult::OverMemoryCap || preview == RenderResult::Stopped)
        return preview;
    return developedPicture(*raw, fit, width, height, data.size(), picture);
}
