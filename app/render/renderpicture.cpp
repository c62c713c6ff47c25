#include "renderpicture.h"

#include "heifthumbnail.h"
#include "imagethumbnail.h"
#include "rawthumbnail.h"
#include "renderchannel.h"
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

// The helper's mapping of the service's memory copy, kept between requests.
struct KeptMapping
{
    void *at = MAP_FAILED;
    struct stat st {};

    bool holds(const struct stat &s) const
    {
        return at != MAP_FAILED && st.st_dev == s.st_dev && st.st_ino == s.st_ino && st.st_size == s.st_size;
    }
    void drop()
    {
        if (at != MAP_FAILED)
            ::munmap(at, size_t(st.st_size));
        at = MAP_FAILED;
    }
    const void *map(int source, const struct stat &s)
    {
        if (!holds(s)) {
            drop();
            at = ::mmap(nullptr, size_t(s.st_size), PROT_READ, MAP_SHARED, source, 0);
            st = s;
        }
        return at == MAP_FAILED ? nullptr : at;
    }
};
KeptMapping g_kept;

// The source's bytes, mapped rather than copied: a decoder touches only
// the pages it reads (a HEIF's embedded thumbnail is a few KB of a file of
// megabytes), straight from the page cache, and the helper's heap does not
// grow and shrink by the size of every file. A file is unmapped with the
// object. The service's memory copy (a length given) is the same memory
// file from one picture to the next, so its mapping is kept while requests
// come from it: mapping it anew faulted in every page again. Any other
// source, or a copy larger than the service keeps, drops it, so that a
// memory file the service has given back is not held here.
class SourceMap
{
public:
    ~SourceMap()
    {
        if (m_at != MAP_FAILED)
            ::munmap(m_at, m_size);
    }
    // Only checked, not mapped, when mapping is false.
    RenderResult map(int source, qint64 length, qint64 cap, bool mapping = true)
    {
        struct stat st;
        if (::fstat(source, &st) != 0 || !S_ISREG(st.st_mode) || length > st.st_size)
            return RenderResult::DecodeFailed;
        const qint64 size = length > 0 ? length : qint64(st.st_size);
        if (size > cap)
            return RenderResult::OverMemoryCap;
        if (size == 0)
            return RenderResult::DecodeFailed;
        const bool keep = length > 0 && st.st_size <= RenderChannel::KEPT_COPY_BYTES;
        if (!keep || !g_kept.holds(st))
            g_kept.drop();
        if (!mapping)
            return RenderResult::Rendered;
        const void *at = keep ? g_kept.map(source, st) : own(source, size_t(size));
        if (!at)
            return RenderResult::DecodeFailed;
        m_bytes = QByteArray::fromRawData(static_cast<const char *>(at), int(size));
        return RenderResult::Rendered;
    }
    QByteArray *bytes() { return &m_bytes; }

private:
    // Shared, though only read: a private mapping of the service's memory
    // copy faults its pages in one by one, which took twice as long.
    const void *own(int source, size_t size)
    {
        m_at = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, source, 0);
        if (m_at == MAP_FAILED)
            return nullptr;
        m_size = size;
        return m_at;
    }
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

RenderResult render(int kind, int source, qint64 length, const QString &name, int width, int height, QByteArray &jpeg)
{
    jpeg.clear();
    if (kind != Heif && kind != Image && kind != Raw)
        return RenderResult::NotMedia;
    const qint64 cap = RenderSettings::current().memoryCap;
    // A HEIF is read by libheif where it asks (the embedded thumbnail of a
    // large file is a few KB of it); any other picture is mapped whole.
    SourceMap mapped;
    const RenderResult read = mapped.map(source, length, qMin<qint64>(cap, INT_MAX - 1), kind != Heif);
    if (read != RenderResult::Rendered)
        return read;
    QImage picture;
    const RenderResult result = kind == Heif ? heifPicture(name, width, height, nullptr, picture, source, length)
        : kind == Raw                        ? rawPicture(*mapped.bytes(), width, height, picture)
                                             : imagePicture(name, width, height, mapped.bytes(), picture);
    if (result != RenderResult::Rendered)
        return result;
    jpeg = encodeJpeg(picture);
    return jpeg.isEmpty() ? RenderResult::CannotWrite : RenderResult::Rendered;
}

} // namespace RenderPicture
