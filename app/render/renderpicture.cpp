#include "renderpicture.h"

#include "heifthumbnail.h"
#include "imagethumbnail.h"
#include "rendersettings.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace RenderPicture {

namespace {

// The source's bytes as long as it was when looked at, at most cap.
RenderResult readSource(int source, qint64 cap, QByteArray &bytes)
{
    struct stat st;
    if (::fstat(source, &st) != 0 || !S_ISREG(st.st_mode))
        return RenderResult::DecodeFailed;
    if (st.st_size > cap)
        return RenderResult::OverMemoryCap;
    bytes.resize(int(st.st_size));
    qint64 got = 0;
    while (got < st.st_size) {
        const ssize_t n = ::pread(source, bytes.data() + got, size_t(st.st_size - got), got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    // A file cut short since decodes as what is left of it.
    bytes.truncate(int(got));
    return RenderResult::Rendered;
}

// As the thumbnail writer saves a ".jpg": Qt's JPEG writer at its default
// quality.
QByteArray encodeJpeg(const QImage &picture)
{
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpg");
    return writer.write(picture) ? jpeg : QByteArray();
}

} // namespace

RenderResult render(int kind, int source, const QString &name, int width, int height, QByteArray &jpeg)
{
    jpeg.clear();
    if (kind != Heif && kind != Image)
        return RenderResult::NotMedia;
    const qint64 cap = RenderSettings::current().memoryCap;
    QByteArray bytes;
    const RenderResult read = readSource(source, qMin<qint64>(cap, INT_MAX - 1), bytes);
    if (read != RenderResult::Rendered)
        return read;
    QImage picture;
    const RenderResult result = kind == Heif ? heifPicture(name, width, height, &bytes, picture)
                                             : imagePicture(name, width, height, &bytes, picture);
    if (result != RenderResult::Rendered)
        return result;
    jpeg = encodeJpeg(picture);
    return jpeg.isEmpty() ? RenderResult::CannotWrite : RenderResult::Rendered;
}

} // namespace RenderPicture
