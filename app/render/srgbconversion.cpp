#include "srgbconversion.h"

#include <lcms2.h>

#include <memory>

namespace {

QImage untagged(QImage picture)
{
    if (picture.colorSpace().isValid())
        picture.setColorSpace(QColorSpace());
    return picture;
}

QImage convertWithQt(QImage picture, const QColorSpace &from)
{
    if (from == QColorSpace(QColorSpace::SRgb))
        return untagged(picture);
    switch (picture.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA64_Premultiplied:
    case QImage::Format_Indexed8:
        break;                 // transformed in place (indexed: its colour table)
    default:
        picture = picture.convertToFormat(picture.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    }
    picture.setColorSpace(from);
    picture.convertToColorSpace(QColorSpace(QColorSpace::SRgb));
    return untagged(picture);
}

struct ProfileCloser
{
    void operator()(void *profile) const { cmsCloseProfile(profile); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

// For the profiles Qt cannot read. RGB data only; perceptual intent, the
// one LUT-based profiles are made for.
QImage convertWithLcms(const QImage &picture, const QByteArray &iccProfile)
{
    const Profile source(cmsOpenProfileFromMem(iccProfile.constData(), cmsUInt32Number(iccProfile.size())));
    if (!source || cmsGetColorSpace(source.get()) != cmsSigRgbData)
        return untagged(picture);
    const Profile srgb(cmsCreate_sRGBProfile());
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    const cmsUInt32Number layout = TYPE_BGRA_8;      // QImage::Format_(A)RGB32 in memory
#else
    const cmsUInt32Number layout = TYPE_ARGB_8;
#endif
    cmsHTRANSFORM transform = cmsCreateTransform(source.get(), layout, srgb.get(), layout, INTENT_PERCEPTUAL,
                                                 cmsFLAGS_COPY_ALPHA);
    if (!transform)
        return untagged(picture);
    QImage out = picture.convertToFormat(picture.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    for (int y = 0; y < out.height(); ++y)
        cmsDoTransform(transform, out.constScanLine(y), out.scanLine(y), cmsUInt32Number(out.width()));
    cmsDeleteTransform(transform);
    return untagged(out);
}

} // namespace

QImage convertToSRgb(const QImage &picture, const QByteArray &iccProfile, const QColorSpace &declared)
{
    if (picture.isNull())
        return picture;
    if (!iccProfile.isEmpty()) {
        const QColorSpace embedded = QColorSpace::fromIccProfile(iccProfile);
        return embedded.isValid() ? convertWithQt(picture, embedded) : convertWithLcms(picture, iccProfile);
    }
    if (declared.isValid())
        return convertWithQt(picture, declared);
    if (picture.colorSpace().isValid())
        return convertWithQt(picture, picture.colorSpace());
    return picture;
}
