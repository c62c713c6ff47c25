#include "radiancepicture.h"

#include "memorybudget.h"
#include "picturefit.h"
#include "picturescale.h"

#include <array>
#include <cmath>
#include <memory>

#include <stb_image.h>

namespace {

// The luminance the picture's log-average is brought to: middle grey,
// whatever exposure the file was written at.
constexpr double KEY = 0.18;
// Keeps the logarithm of a black pixel finite.
constexpr double DELTA = 1e-6;

struct StbiReleaser
{
    void operator()(float *pixels) const { stbi_image_free(pixels); }
};

// Rec. 709 weights: Radiance RGB has the sRGB primaries.
double luminance(const float *rgb)
{
    return 0.2126 * double(rgb[0]) + 0.7152 * double(rgb[1]) + 0.0722 * double(rgb[2]);
}

// The sRGB curve's 8-bit code of a linear value, clamped to [0, 1] (NaN
// reads as 0). A table of 4096 steps: near black, where the curve is
// steepest, neighbouring steps are still less than one code apart.
int srgbCode(double linear)
{
    static const std::array<quint8, 4097> codes = [] {
        std::array<quint8, 4097> c{};
        for (size_t i = 0; i < c.size(); ++i) {
            const double v = double(i) / 4096;
            const double s = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
            c[i] = quint8(std::lround(s * 255));
        }
        return c;
    }();
    const double v = linear > 0 ? (linear < 1 ? linear : 1) : 0;
    return codes[size_t(std::lround(v * 4096))];
}

// The global photographic operator on luminance: L scaled by KEY over the
// log-average, then L / (1 + L), which leaves dark values almost as they
// are and brings any bright one below 1. Each pixel's RGB is scaled by its
// mapped over its original luminance, so colours keep their ratios; a
// saturated colour may still exceed 1 in one channel and is clamped there.
QImage toneMapped(const float *rgb, const QSize &size)
{
    const qint64 count = qint64(size.width()) * size.height();
    double logSum = 0;
    for (qint64 i = 0; i < count; ++i)
        logSum += std::log(DELTA + luminance(rgb + 3 * i));
    const double scale = KEY / std::exp(logSum / double(count));
    QImage out(size, QImage::Format_RGB32);
    if (out.isNull())
        return out;
    const float *p = rgb;
    for (int y = 0; y < size.height(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < size.width(); ++x, p += 3) {
            // (L / (1 + L)) / Lw with L = Lw * scale; finite for black.
            const double ratio = scale / (1 + scale * luminance(p));
            line[x] = qRgb(srgbCode(p[0] * ratio), srgbCode(p[1] * ratio), srgbCode(p[2] * ratio));
        }
    }
    return out;
}

// Where the pixels start: after the first line, the header's lines up to
// an empty one, and the line of the sizes; -1 when the file ends first.
int pixelsStart(const QByteArray &data)
{
    int at = data.indexOf('\n');
    while (at >= 0) {
        const int next = data.indexOf('\n', at + 1);
        const bool empty = next == at + 1;
        at = next;
        if (empty)
            break;
    }
    const int sizes = at < 0 ? -1 : data.indexOf('\n', at + 1);
    return sizes < 0 ? -1 : sizes + 1;
}

// Whether stb's reader meets whole pixels for the picture in these bytes.
// It takes a run or a dump of no pixels (which is also what it reads past
// the end) as no progress and never ends, and reads missing flat pixels
// as black: both are refused here, before it runs.
bool pixelsComplete(const QByteArray &data, int at, int width, int height)
{
    const uchar *q = reinterpret_cast<const uchar *>(data.constData()) + at;
    const uchar *end = reinterpret_cast<const uchar *>(data.constData()) + data.size();
    const qint64 flatBytes = qint64(width) * height * 4;
    if (width < 8 || width >= 32768)
        return end - q >= flatBytes;
    for (int row = 0; row < height; ++row) {
        if (end - q < 4)
            return false;
        // A row that is not run-length encoded has stb read the whole
        // picture flat from here.
        if (q[0] != 2 || q[1] != 2 || (q[2] & 0x80))
            return end - q >= flatBytes;
        if (((q[2] << 8) | q[3]) != width)
            return false;
        q += 4;
        for (int channel = 0; channel < 4; ++channel) {
            for (int x = 0; x < width;) {
                if (q >= end)
                    return false;
                int count = *q++;
                const bool run = count > 128;
                count -= run ? 128 : 0;
                if (count == 0 || count > width - x || end - q < (run ? 1 : count))
                    return false;
                q += run ? 1 : count;
                x += count;
            }
        }
    }
    return true;
}

} // namespace

bool isRadiance(const QByteArray &bytes)
{
    return stbi_is_hdr_from_memory(reinterpret_cast<const stbi_uc *>(bytes.constData()), bytes.size()) != 0;
}

RenderResult radiancePicture(const QByteArray &data, int width, int height, qint64 held, QImage &picture)
{
    const stbi_uc *bytes = reinterpret_cast<const stbi_uc *>(data.constData());
    int w = 0, h = 0, channels = 0;
    // stb's own bound on a side, which its size check leaves to the decode.
    const int largest = 1 << 24;
    if (!stbi_info_from_memory(bytes, data.size(), &w, &h, &channels) || w <= 0 || h <= 0 || w > largest || h > largest)
        return RenderResult::DecodeFailed;
    const QSize stored(w, h);
    const QSize fit = fitSize(stored, width, height);
    if (!fit.isValid())
        return RenderResult::DecodeFailed;
    // Three floats a pixel from stb, the 8-bit picture made from them,
    // and the thumbnail. The floats are freed before the picture is
    // scaled, whose copies fit in what they held.
    const qint64 need = pixelBytes(stored, 3 * int(sizeof(float))) + pixelBytes(stored) + pixelBytes(fit) + held;
    if (overMemoryCap(pixelBytes(fit)) || overMemoryCap(need))
        return RenderResult::OverMemoryCap;
    const int pixels = pixelsStart(data);
    if (pixels < 0 || !pixelsComplete(data, pixels, w, h))
        return RenderResult::DecodeFailed;
    const MemoryReservation hold(need);
    if (!hold.granted())
        return reservationRefused();
    QImage mapped;
    {
        int dw = 0, dh = 0;
        std::unique_ptr<float, StbiReleaser> rgb(stbi_loadf_from_memory(bytes, data.size(), &dw, &dh, &channels, 3));
        if (!rgb || QSize(dw, dh) != stored)
            return RenderResult::DecodeFailed;
        mapped = toneMapped(rgb.get(), stored);
    }
    if (mapped.isNull())
        return RenderResult::OverMemoryCap;
    picture = finishPicture(mapped, fit);
    return picture.isNull() ? RenderResult::OverMemoryCap : RenderResult::Rendered;
}
