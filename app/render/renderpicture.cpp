#include "renderpicture.h"

#include "heifthumbnail.h"
#include "imagethumbnail.h"
#include "rawthumbnail.h"
#include "rendersettings.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>

#include <cerrno>
#include <climits>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace RenderPicture {

namespace {

// The source's bytes, mapped rather than copied: a decoder touches only
// the pages it reads (a HEIF's embedded thumbnail is a few KB of a file of
// megabytes), straight from the page cache, and the helper's heap does not
// grow and shrink by the size of every file. Unmapped with the object.
class SourceMap
{
public:
    ~SourceMap()
    {
        if (m_at != MAP_FAILED)
            ::munmap(m_at, m_size);
    }
    // Only checked, not mapped, when mapping is false.
    RenderResult map(int source, qint64 cap, bool mapping = true)
    {
        struct stat st;
        if (::fstat(source, &st) != 0 || !S_ISREG(st.st_mode))
            return RenderResult::DecodeFailed;
        if (st.st_size > cap)
            return RenderResult::OverMemoryCap;
        if (st.st_size == 0)
            return RenderResult::DecodeFailed;
        if (!mapping)
            return RenderResult::Rendered;
        m_size = size_t(st.st_size);
        // Shared, though only read: a private mapping of the service's
        // sealed copy (shared memory) faults its pages in one by one, which
        // took twice as long.
        m_at = ::mmap(nullptr, m_size, PROT_READ, MAP_SHARED, source, 0);
        if (m_at == MAP_FAILED)
            return RenderResult::DecodeFailed;
        m_bytes = QByteArray::fromRawData(static_cast<const char *>(m_at), int(m_size));
        return RenderResult::Rendered;
    }
    QByteArray *bytes() { return &m_bytes; }

private:
    void *m_at = MAP_FAILED;
    size_t m_size = 0;
    QByteArray m_bytes;
};

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
    if (kind != Heif && kind != Image && kind != Raw)
        return RenderResult::NotMedia;
    const qint64 cap = RenderSettings::current().memoryCap;
    // A HEIF is read by libheif where it asks (the embedded thumbnail of a
    // large file is a few KB of it); any other picture is mapped whole.
    SourceMap mapped;
    const RenderResult read = mapped.map(source, qMin<qint64>(cap, INT_MAX - 1), kind != Heif);
    if (read != RenderResult::Rendered)
        return read;
    QImage picture;
    const RenderResult result = kind == Heif ? heifPicture(name, width, height, nullptr, picture, source)
        : kind == Raw                        ? rawPicture(*mapped.bytes(), width, height, picture)
                                             : imagePicture(name, width, height, mapped.bytes(), picture);
    if (result != RenderResult::Rendered)
        return result;
    jpeg = encodeJpeg(picture);
    return jpeg.isEmpty() ? RenderResult::CannotWrite : RenderResult::Rendered;
}

} // namespace RenderPicture
