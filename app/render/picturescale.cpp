#include "picturescale.h"

#include "rendersettings.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

// A picture is reduced in two steps, as good resamplers do: whole blocks
// of pixels averaged down to between two and four times the box, then
// Lanczos3 (libswscale) for the rest. Lanczos straight from a picture many
// times the box costs several times the decode of a PNG or a HEIF, for
// nothing a thumbnail shows: the kernel that is left at least a factor of
// two to reduce removes what the block average lets through (the zone
// plate of bench_quality stays above 40 dB against Lanczos3 alone).
// Pictures smaller than four times the box, which is what the scaled JPEG
// and HEIF reads give, and enlargements, take Lanczos3 alone.

namespace {

// The reduction left to the Lanczos kernel is at least this factor.
constexpr int LANCZOS_SPAN = 2;
// Room swscale's vector code may read past a picture's last pixel.
constexpr size_t OVERREAD = 64;
// The most a thread keeps of swscale's output between pictures.
constexpr size_t KEPT_PLANES = size_t(4) << 20;

// The swscale format that reads a QImage's rows as they are stored; none
// for the formats that are converted first. 16-bit samples stay 16-bit.
AVPixelFormat swsFormat(QImage::Format format)
{
    switch (format) {
    case QImage::Format_RGB32:
        return AV_PIX_FMT_0RGB32;
    case QImage::Format_RGBX8888:
        return AV_PIX_FMT_RGB0;
    case QImage::Format_RGB888:
        return AV_PIX_FMT_RGB24;
    case QImage::Format_BGR888:
        return AV_PIX_FMT_BGR24;
    case QImage::Format_Grayscale8:
        return AV_PIX_FMT_GRAY8;
    case QImage::Format_Grayscale16:
        return AV_PIX_FMT_GRAY16;
    case QImage::Format_RGBX64:          // its fourth sample is always opaque
        return AV_PIX_FMT_RGBA64;
    default:
        return AV_PIX_FMT_NONE;
    }
}

// Each pixel of dst the mean of the block of src it covers. Block edges
// fall on whole source pixels, f or f + 1 of them a side, so that dst
// covers src exactly; every sample averaged on its own, whatever the
// channel order.
template <typename Sample, int Channels>
void averageBlocks(const QImage &src, QImage &dst)
{
    using Sum = std::conditional_t<sizeof(Sample) == 1, quint32, quint64>;
    const int sw = src.width(), sh = src.height(), dw = dst.width(), dh = dst.height();
    std::vector<int> xs(size_t(dw) + 1);
    for (int x = 0; x <= dw; ++x)
        xs[size_t(x)] = int(qint64(x) * sw / dw);
    // A block's rows are summed sample by sample first (a loop the
    // compiler vectorises), then across each block's columns.
    std::vector<Sum> columns(size_t(sw) * Channels);
    for (int y = 0; y < dh; ++y) {
        const int y0 = int(qint64(y) * sh / dh), y1 = int(qint64(y + 1) * sh / dh);
        std::fill(columns.begin(), columns.end(), Sum(0));
        for (int sy = y0; sy < y1; ++sy) {
            const Sample *p = reinterpret_cast<const Sample *>(src.constScanLine(sy));
            Sum *c = columns.data();
            for (size_t i = 0; i < columns.size(); ++i)
                c[i] += p[i];
        }
        Sample *out = reinterpret_cast<Sample *>(dst.scanLine(y));
        for (int x = 0; x < dw; ++x, out += Channels) {
            Sum sum[Channels] = {};
            for (int sx = xs[size_t(x)]; sx < xs[size_t(x) + 1]; ++sx) {
                for (int c = 0; c < Channels; ++c)
                    sum[c] += columns[size_t(sx) * Channels + size_t(c)];
            }
            const Sum n = Sum(xs[size_t(x) + 1] - xs[size_t(x)]) * Sum(y1 - y0);
            for (int c = 0; c < Channels; ++c)
                out[c] = Sample((sum[c] + n / 2) / n);
        }
    }
}

// img reduced by whole blocks to no less than LANCZOS_SPAN times size on
// either side; img itself when it is not that large. Null when memory ran
// out. img's format is one swsFormat takes, or premultiplied ARGB32.
QImage shrinkByBlocks(const QImage &img, const QSize &size)
{
    const int fx = img.width() / (LANCZOS_SPAN * size.width());
    const int fy = img.height() / (LANCZOS_SPAN * size.height());
    if (fx < 2 && fy < 2)
        return img;
    QImage out(img.width() / qMax(fx, 1), img.height() / qMax(fy, 1), img.format());
    if (out.isNull())
        return out;
    switch (img.depth()) {
    case 8:
        averageBlocks<quint8, 1>(img, out);
        break;
    case 16:
        averageBlocks<quint16, 1>(img, out);
        break;
    case 24:
        averageBlocks<quint8, 3>(img, out);
        break;
    case 32:
        averageBlocks<quint8, 4>(img, out);
        break;
    default:
        averageBlocks<quint16, 4>(img, out);
        break;
    }
    return out;
}

// Premultiplied pixels, in place, on white: colour + white * (1 - alpha);
// JPEG has no alpha and would show them black.
void flattenOnWhite(QImage &img)
{
    for (int y = 0; y < img.height(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < img.width(); ++x) {
            const QRgb p = line[x];
            const int back = 255 - qAlpha(p);
            line[x] = qRgb(qMin(qRed(p) + back, 255), qMin(qGreen(p) + back, 255), qMin(qBlue(p) + back, 255));
        }
    }
    img.reinterpretAsFormat(QImage::Format_RGB32);
}

struct SwsReleaser
{
    void operator()(SwsContext *ctx) const { sws_freeContext(ctx); }
};

// The thread's last swscale context, kept for the next picture of the same
// sizes and format (a library's photos mostly share them): setting one up
// computes the Lanczos weights, a good part of a small reduction's cost.
struct ScaleContext
{
    std::unique_ptr<SwsContext, SwsReleaser> ctx;
    QSize from, to;
    AVPixelFormat format = AV_PIX_FMT_NONE;
};

SwsContext *scaleContext(const QSize &from, AVPixelFormat format, const QSize &to)
{
    thread_local ScaleContext cached;
    if (cached.ctx && cached.from == from && cached.to == to && cached.format == format)
        return cached.ctx.get();
    cached.ctx.reset(sws_alloc_context());
    if (!cached.ctx)
        return nullptr;
    // Chroma at full resolution on both sides (swscale otherwise halves it
    // across RGB), rounding exact; one thread: swscale's slice threads are
    // not wanted in the render helper, whose work is one picture. Planar
    // RGB out: swscale's packed RGB writer takes twice as long.
    const int64_t flags = SWS_LANCZOS | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP;
    const std::pair<const char *, int64_t> options[] = {
        {"srcw", from.width()}, {"srch", from.height()}, {"src_format", format},
        {"dstw", to.width()}, {"dsth", to.height()}, {"dst_format", AV_PIX_FMT_GBRP},
        {"sws_flags", flags}, {"threads", 1},
    };
    for (const auto &o : options) {
        if (av_opt_set_int(cached.ctx.get(), o.first, o.second, 0) < 0) {
            cached.ctx.reset();
            return nullptr;
        }
    }
    if (sws_init_context(cached.ctx.get(), nullptr, nullptr) < 0) {
        cached.ctx.reset();
        return nullptr;
    }
    cached.from = from;
    cached.to = to;
    cached.format = format;
    return cached.ctx.get();
}

// src (a format swsFormat takes) to exactly size through Lanczos3, as
// RGB32. False when swscale refuses the sizes; out is then null, as it is
// when memory ran out.
bool lanczos(const QImage &src, const QSize &size, QImage &out)
{
    SwsContext *ctx = scaleContext(src.size(), swsFormat(src.format()), size);
    if (!ctx)
        return false;
    out = QImage(size, QImage::Format_RGB32);
    if (out.isNull())
        return true;
    // Planes of thumbnail sizes are the thread's from one picture to the
    // next: memory fresh from the system costs a page fault a page, more
    // than the Lanczos pass itself at those sizes. Larger ones (a client's
    // large box) are not kept from the pictures after them.
    thread_local std::vector<uint8_t> kept;
    std::vector<uint8_t> own;
    const int w = size.width();
    const size_t plane = size_t(w) * size_t(size.height());
    std::vector<uint8_t> &planes = plane * 3 <= KEPT_PLANES ? kept : own;
    try {
        if (planes.size() < plane * 3)
            planes.resize(plane * 3);
    } catch (const std::bad_alloc &) {
        out = QImage();
        return true;
    }
    uint8_t *const to[4] = {planes.data(), planes.data() + plane, planes.data() + 2 * plane, nullptr};   // G, B, R
    const int toStride[4] = {w, w, w, 0};
    // swscale's vector code reads past a row's last pixel: the last rows,
    // enough to hold what it reads beyond them, go from a copy with room
    // after it, the others straight from the picture (their over-reads
    // land in the rows below).
    const int stride = int(src.bytesPerLine());
    const int tailRows = qMin(src.height(), int(OVERREAD) / stride + 2);
    const int headRows = src.height() - tailRows;
    std::vector<uint8_t> tail(size_t(tailRows) * size_t(stride) + OVERREAD);
    std::memcpy(tail.data(), src.constScanLine(headRows), size_t(tailRows) * size_t(stride));
    const int fromStride[4] = {stride, 0, 0, 0};
    const uint8_t *const head[4] = {src.constBits(), nullptr, nullptr, nullptr};
    const uint8_t *const last[4] = {tail.data(), nullptr, nullptr, nullptr};
    const int written = (headRows > 0 ? sws_scale(ctx, head, fromStride, 0, headRows, to, toStride) : 0)
        + sws_scale(ctx, last, fromStride, headRows, tailRows, to, toStride);
    if (written != size.height()) {
        out = QImage();
        return true;
    }
    for (int y = 0; y < size.height(); ++y) {
        const size_t row = size_t(y) * size_t(w);
        const uint8_t *g = to[0] + row, *b = to[1] + row, *r = to[2] + row;
        QRgb *line = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < w; ++x)
            line[x] = qRgb(r[x], g[x], b[x]);
    }
    return true;
}

// The resampler before Lanczos: Qt's smooth transform, which averages
// areas and leaves photos noticeably soft. Kept for sizes swscale refuses
// and for benchmarks, which compare the two.
QImage smoothPicture(const QImage &decoded, const QSize &size)
{
    QImage img = decoded;
    if (img.hasAlphaChannel()) {
        img = img.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        if (img.size() != size)
            img = img.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        if (img.isNull())
            return img;
        img = img.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        flattenOnWhite(img);
        return img;
    }
    if (img.size() != size)
        img = img.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return img;
}

} // namespace

QImage finishPicture(const QImage &decoded, const QSize &size)
{
    if (RenderSettings::current().smoothScaling)
        return smoothPicture(decoded, size);
    QImage img = decoded;
    if (img.hasAlphaChannel()) {
        // Averaging premultiplied samples and then flattening is the same
        // as flattening first, with the block average on the smaller copy.
        img = shrinkByBlocks(img.convertToFormat(QImage::Format_ARGB32_Premultiplied), size);
        if (img.isNull())
            return img;
        flattenOnWhite(img);
    } else if (img.size() == size) {
        return img;
    } else {
        if (swsFormat(img.format()) == AV_PIX_FMT_NONE)
            img = img.convertToFormat(QImage::Format_RGB32);      // palettes, 1-bit, 16-bit RGB, 10-bit RGB
        if (img.isNull())
            return img;
        img = shrinkByBlocks(img, size);
        if (img.isNull())
            return img;
    }
    if (img.size() == size)
        return img;
    QImage out;
    return lanczos(img, size, out) ? out : smoothPicture(img, size);
}
