#include "picturefit.h"

#include "rendersettings.h"
#include "stopflag.h"

QSize fitSize(const QSize &picture, int width, int height)
{
    if (picture.isEmpty() || width <= 0 || height <= 0)
        return QSize();
    // Each step computes the new side as Qt's fast scaling does, so the
    // result matches scaledToWidth/scaledToHeight chains to the pixel.
    qint64 w = picture.width();
    qint64 h = picture.height();
    auto toWidth = [&](qint64 nw) {
        const double f = double(nw) / double(w);
        h = qRound64(qAbs(f) * double(h));
        w = qRound64(qAbs(f) * double(w));
    };
    auto toHeight = [&](qint64 nh) {
        const double f = double(nh) / double(h);
        w = qRound64(qAbs(f) * double(w));
        h = qRound64(qAbs(f) * double(h));
    };
    if (w > width || h > height) {
        if (w > width)
            toWidth(width);
        if (h > height)
            toHeight(height);
    } else if (w < width && h < height) {
        toWidth(width);
        if (h > height)
            toHeight(height);
    }
    // A sliver (1000x2 in a 200x200 box) keeps at least one pixel a side.
    return QSize(int(qBound<qint64>(1, w, width)), int(qBound<qint64>(1, h, height)));
}

qint64 pixelBytes(const QSize &s, int bytesPerPixel)
{
    return qint64(s.width()) * s.height() * bytesPerPixel;
}

bool overMemoryCap(qint64 bytes)
{
    return bytes < 0 || bytes > RenderSettings::current().memoryCap;
}

RenderResult reservationRefused()
{
    return stopRequested() ? RenderResult::Stopped : RenderResult::OverMemoryCap;
}
