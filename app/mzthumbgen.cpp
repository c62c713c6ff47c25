#include "mzthumbgen.h"

#include "appdata.h"
#include "br2utils.h"
#include "childprocess.h"
#include "jpegdecoder.h"
#include "peeraccess.h"
#include "stopflag.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QMimeDatabase>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QRegularExpression>
#include <QRandomGenerator>
#include <QTemporaryFile>
#include <QTransform>
#include <QWaitCondition>
#include <QXmlStreamReader>

#include <libheif/heif.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <vector>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QAtomicInt g_amount;

const QStringList IMAGE_MIME_TYPES_HEIF = {
    QStringLiteral("image/heif"),
};
const QStringList IMAGE_MIME_TYPES = {
    QStringLiteral("image/jpeg"), QStringLiteral("image/png"), QStringLiteral("image/bmp"),
    QStringLiteral("image/gif"), QStringLiteral("image/pcx"), QStringLiteral("image/x-targa"),
    QStringLiteral("image/tiff"), QStringLiteral("image/svg+xml"), QStringLiteral("image/x-icon"),
    QStringLiteral("image/webp"), QStringLiteral("image/vnd.microsoft.icon"),
};
const QStringList VIDEO_MIME_TYPES = {
    QStringLiteral("video/x-msvideo"), QStringLiteral("video/x-ms-wmv"),
    QStringLiteral("application/vnd.rn-realmedia"), QStringLiteral("application/vnd.rn-realmedia-vbr"),
    QStringLiteral("video/x-matroska"), QStringLiteral("video/3gpp"), QStringLiteral("video/x-f4v"),
    QStringLiteral("video/x-m4v"), QStringLiteral("video/mpeg"), QStringLiteral("video/x-flv"),
    QStringLiteral("video/x-ms-vob"), QStringLiteral("video/quicktime"), QStringLiteral("video/mp4"),
    QStringLiteral("video/x-dv"), QStringLiteral("video/x-ms-asf"), QStringLiteral("video/MP2T"),
    QStringLiteral("video/MP2T"), QStringLiteral("video/x-msvideo"), QStringLiteral("video/x-msvideo"),
    QStringLiteral("video/mpeg"), QStringLiteral("video/MP2T"), QStringLiteral("video/MP2T"),
    QStringLiteral("video/x-tivo-mpeg"), QStringLiteral("video/hevc"), QStringLiteral("video/x-ms-asf"),
};

QAtomicInteger<qint64> g_memoryCap(qint64(256) << 20);
QAtomicInt g_videoTimeoutMs(300000);

QMutex g_ffmpegMutex;
QString g_ffmpegProgram = QStringLiteral("ffmpeg");     // guarded by g_ffmpegMutex

QMutex g_cleanupMutex;
QHash<QString, qint64> g_lastCleanup;                   // folder -> ms since epoch; guarded by g_cleanupMutex

// Mode of new files under the process's umask, as QImage::save would have
// made them; the temporary files start out private.
const mode_t g_fileMode = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mode_t(0666 & ~mask);
}();

const QString g_tmpPrefix = QStringLiteral(".k8thumb-");

// How long a command that died by a signal waits for the stop that may
// have come with it.
const int CUT_OFF_GRACE_MS = 500;

// Creates a new hidden temporary file in folder, never through a link;
// private until the thumbnail is complete. The descriptor, or -1.
int openTemporary(const QString &folder, QString &path)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString name = g_tmpPrefix;
        for (int i = 0; i < 8; ++i)
            name += QLatin1Char(letters[QRandomGenerator::global()->bounded(int(sizeof letters) - 1)]);
        path = folder + QLatin1Char('/') + name;
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Closes the temporary file and, unless released, removes it.
class TemporaryGuard
{
public:
    TemporaryGuard(int fd, const QString &path) : m_fd(fd), m_path(path) {}
    ~TemporaryGuard()
    {
        ::close(m_fd);
        if (!m_released)
            ::unlink(QFile::encodeName(m_path).constData());
    }
    TemporaryGuard(const TemporaryGuard &) = delete;
    TemporaryGuard &operator=(const TemporaryGuard &) = delete;
    void release() const { m_released = true; }

private:
    int m_fd;
    QString m_path;
    mutable bool m_released = false;
};

// The demuxers that the video types need. Playlist and script demuxers
// (hls, concat, ...) stay out: they would make ffmpeg read other local
// files into a thumbnail.
const QString g_demuxers = QStringLiteral(
    "mov,mp4,matroska,webm,avi,asf,flv,mpeg,mpegts,mpegvideo,m4v,h264,hevc,rm,dv,ty,vc1");

constexpr int kMaxVideoSide = 8192;
constexpr qint64 kHour = 3600 * 1000;

// Lower-cased list entry -> renderer; the first list holding a name wins.
const QHash<QString, MZThumbgen::MediaKind> &mimeIndex()
{
    static const QHash<QString, MZThumbgen::MediaKind> index = [] {
        QHash<QString, MZThumbgen::MediaKind> h;
        const std::pair<const QStringList *, MZThumbgen::MediaKind> lists[] = {
            {&IMAGE_MIME_TYPES_HEIF, MZThumbgen::MediaHeif},
            {&IMAGE_MIME_TYPES, MZThumbgen::MediaImage},
            {&VIDEO_MIME_TYPES, MZThumbgen::MediaVideo},
        };
        for (const auto &l : lists) {
            for (const QString &name : *l.first) {
                const QString key = name.toLower();
                if (!h.contains(key))
                    h.insert(key, l.second);
            }
        }
        return h;
    }();
    return index;
}

// Any entry at the name (a folder, a link, dangling or not) counts as a
// thumbnail, except an empty regular file: what a crash can leave behind
// when the data of a renamed file never reached the disk.
bool thumbnailPresent(const QString &path, struct stat *st)
{
    if (::lstat(QFile::encodeName(path).constData(), st) != 0)
        return false;
    return !(S_ISREG(st->st_mode) && st->st_size == 0);
}

bool overCap(qint64 bytes)
{
    return bytes < 0 || bytes > MZThumbgen::memoryCap();
}

qint64 pixelBytes(const QSize &s, int bytesPerPixel = 4)
{
    return qint64(s.width()) * s.height() * bytesPerPixel;
}

// Waits up to 50 ms; false as soon as a stop is requested.
bool pauseAfterFile()
{
    return !waitForStop(50);
}

// Files of a folder, no hidden ones, no subfolders, in the file system's order.
QFileInfoList listFolder(const QString &folder)
{
    return QDir(folder).entryInfoList(QDir::Files, QDir::Unsorted);
}

// Temporary files of runs that were killed are never renamed into place.
// Every writer of this process removes its own file when it fails, so a
// temporary file older than the process belongs to no writer: clear those
// out, at most once an hour per folder.
void removeLeftovers(const QString &folder)
{
    static const qint64 processStart = QDateTime::currentMSecsSinceEpoch();
    const QString key = QDir(folder).absolutePath();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    {
        QMutexLocker locker(&g_cleanupMutex);
        auto it = g_lastCleanup.constFind(key);
        if (it != g_lastCleanup.constEnd() && now - it.value() < kHour)
            return;
        g_lastCleanup.insert(key, now);
    }
    const QFileInfoList old = QDir(key).entryInfoList({g_tmpPrefix + QLatin1Char('*')},
                                                      QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted);
    for (const QFileInfo &fi : old) {
        if (fi.lastModified().toMSecsSinceEpoch() < processStart)
            QFile::remove(fi.absoluteFilePath());
    }
}

// When a job's thumbnail folder is its source folder, the thumbnails are
// files of the source too; they must not be thumbnailed in turn.
bool isThumbnailName(const QString &name)
{
    static const QRegularExpression form(QStringLiteral("^[0-9a-fA-F]{32}\\.(jpg|gif)$"));
    return form.match(name).hasMatch();
}

bool sameFolder(const QString &a, const QString &b)
{
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
}

// Smooth resize to exactly `size`; transparent pixels end up on white,
// because JPEG has no alpha and would show them black.
QImage finishPicture(const QImage &decoded, const QSize &size)
{
    QImage img = decoded;
    if (img.hasAlphaChannel()) {
        img = img.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        if (img.size() != size)
            img = img.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        if (img.isNull())
            return img;
        img = img.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        QImage out(img.size(), QImage::Format_RGB32);
        if (out.isNull())
            return out;
        for (int y = 0; y < img.height(); ++y) {
            const QRgb *src = reinterpret_cast<const QRgb *>(img.constScanLine(y));
            QRgb *dst = reinterpret_cast<QRgb *>(out.scanLine(y));
            for (int x = 0; x < img.width(); ++x) {
                const QRgb p = src[x];
                const int back = 255 - qAlpha(p);       // premultiplied: colour + white * (1 - alpha)
                dst[x] = qRgb(qRed(p) + back, qGreen(p) + back, qBlue(p) + back);
            }
        }
        return out;
    }
    if (img.size() != size)
        img = img.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return img;
}

// EXIF orientation 1..8 applied the way viewers do: mirror, then turn 90
// degrees clockwise where the tag says so.
QImage orient(const QImage &img, int orientation)
{
    static const int flags[9] = {0, 0, 1, 3, 2, 6, 4, 5, 7};     // bit 1 mirror, 2 flip, 4 rotate 90
    const int f = orientation >= 1 && orientation <= 8 ? flags[orientation] : 0;
    if (f == 0)
        return img;
    QImage out = (f & 3) ? img.mirrored(f & 1, f & 2) : img;
    if (f & 4)
        out = out.transformed(QTransform().rotate(90));
    return out;
}

// Qt's SVG renderer paints <image> elements that name local files; an SVG
// may embed pictures only as data: URIs. Compressed SVG cannot be checked
// without inflating it and is refused as well.
bool svgIsSelfContained(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.peek(2);
    if (head.size() == 2 && uchar(head[0]) == 0x1f && uchar(head[1]) == 0x8b)
        return false;
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("a"))
            continue;                               // hyperlinks are not followed
        for (const QXmlStreamAttribute &a : xml.attributes()) {
            if (a.name() != QLatin1String("href"))
                continue;
            const QStringRef v = a.value().trimmed();
            if (v.isEmpty() || v.startsWith(QLatin1Char('#')) || v.startsWith(QLatin1String("data:"), Qt::CaseInsensitive))
                continue;
            return false;
        }
    }
    return !xml.hasError();
}

// Writes the picture to a hidden temporary file beside target and renames
// it into place, so the final name only ever holds a complete file. The
// rename replaces whatever entry is there (a link is replaced, not followed).
bool saveAtomically(const QImage &img, const QString &target)
{
    const QFileInfo info(target);
    const QByteArray format = info.suffix().toLower().toLatin1();
    QTemporaryFile tmp(info.absolutePath() + QLatin1Char('/') + g_tmpPrefix + QStringLiteral("XXXXXX"));
    if (!tmp.open())
        return false;
    QImageWriter writer(&tmp, format);
    if (!writer.canWrite() || !writer.write(img) || !tmp.flush())
        return false;
    if (::fchmod(tmp.handle(), g_fileMode) != 0)
        return false;
    tmp.close();
    if (::rename(QFile::encodeName(tmp.fileName()).constData(), QFile::encodeName(info.absoluteFilePath()).constData()) != 0)
        return false;
    tmp.setAutoRemove(false);
    return true;
}

bool writeThumbnail(const QImage &img, const QString &target)
{
    if (img.isNull())
        return false;
    QDir().mkpath(QFileInfo(target).absolutePath());
    return saveAtomically(img, target);
}

// An icon's directory promises sides of at most 256, but Qt decodes each
// entry at the size of the entry's own header: a PNG inside an icon can
// declare 20000x20000. Every entry must fit the cap by its own header.
bool iconEntriesFit(const QString &source)
{
    QFile f(source);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = f.read(6);
    if (head.size() < 6)
        return false;
    const auto le = [](const char *p, int n) {
        quint32 v = 0;
        for (int i = n - 1; i >= 0; --i)
            v = (v << 8) | uchar(p[i]);
        return v;
    };
    const auto be = [](const char *p) {
        return (quint32(uchar(p[0])) << 24) | (quint32(uchar(p[1])) << 16) | (quint32(uchar(p[2])) << 8) | uchar(p[3]);
    };
    const int count = int(le(head.constData() + 4, 2));
    const QByteArray dir = f.read(qint64(count) * 16);
    if (dir.size() < count * 16)
        return false;
    for (int i = 0; i < count; ++i) {
        if (!f.seek(le(dir.constData() + i * 16 + 12, 4)))
            return false;
        const QByteArray data = f.read(24);
        qint64 w = 0;
        qint64 h = 0;
        if (data.size() >= 24 && data.startsWith("\x89PNG\r\n\x1a\n")) {
            w = be(data.constData() + 16);
            h = be(data.constData() + 20);
        } else if (data.size() >= 12) {
            // BITMAPINFOHEADER: the height counts the mask rows too.
            w = qAbs(qint64(qint32(le(data.constData() + 4, 4))));
            h = qAbs(qint64(qint32(le(data.constData() + 8, 4)))) / 2;
        } else {
            return false;
        }
        if (w > 65535 || h > 65535 || overCap(w * h * 4))
            return false;
    }
    return true;
}

// Decodes through Qt's image plug-ins, at reduced size where the plug-in
// can (JPEG, SVG), upright, refusing what would not fit the memory cap.
QImage readWithQt(const QString &source, int width, int height)
{
    QImageReader reader(source);
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    if (!stored.isValid() || stored.isEmpty())
        return QImage();
    // Qt applies the scaled size before the EXIF transform.
    const bool turned = reader.transformation() & QImageIOHandler::TransformationRotate90;
    const QSize shown = turned ? stored.transposed() : stored;
    const QSize fit = MZThumbgen::fitSize(shown, width, height);
    if (!fit.isValid() || overCap(pixelBytes(fit)))
        return QImage();
    // The icon handler leaves format() empty once it has read the
    // directory; ask by content instead.
    const QByteArray format = reader.format().isEmpty() ? QImageReader::imageFormat(source) : reader.format();
    const bool vector = format.startsWith("svg");
    if (vector && !svgIsSelfContained(source))
        return QImage();
    if ((format == "ico" || format == "cur") && !iconEntriesFit(source))
        return QImage();
    const int depth = QImage::toPixelFormat(reader.imageFormat()).bitsPerPixel();
    const int bytesPerPixel = depth > 32 ? 8 : 4;
    // A reader that cannot shrink while loading hands over the stored size,
    // and flattening or smooth scaling makes one more full-size copy.
    const bool shrinks = reader.supportsOption(QImageIOHandler::ScaledSize);
    const qint64 decoded = pixelBytes(vector ? fit : stored, bytesPerPixel) * (shrinks || vector ? 1 : 2);
    if (overCap(decoded + pixelBytes(fit)))
        return QImage();
    if (shrinks)
        reader.setScaledSize(turned ? fit.transposed() : fit);
    QImage img;
    if (!reader.read(&img))
        return QImage();
    return finishPicture(img, fit);
}

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

} // namespace

MZThumbgen::MZThumbgen()
{
    g_amount.ref();
}

MZThumbgen::~MZThumbgen()
{
    if (m_counted)
        g_amount.deref();
}

int MZThumbgen::amount()
{
    return g_amount.loadRelaxed();
}

MZThumbgen::MediaKind MZThumbgen::mimeClass(const QString &path)
{
    static const QMimeDatabase db;
    const QMimeType type = db.mimeTypeForFile(path);
    const QHash<QString, MediaKind> &index = mimeIndex();
    MediaKind best = MediaNone;
    auto consider = [&](const QString &name) {
        const MediaKind k = index.value(name.toLower(), MediaNone);
        if (k != MediaNone && (best == MediaNone || k < best))
            best = k;
    };
    consider(type.name());
    for (const QString &alias : type.aliases())
        consider(alias);
    return best;
}

QString MZThumbgen::suffixFor(MediaKind kind)
{
    switch (kind) {
    case MediaHeif:
    case MediaImage:
        return QStringLiteral(".jpg");
    case MediaVideo:
        return QStringLiteral(".gif");
    case MediaNone:
        break;
    }
    return QString();
}

QSize MZThumbgen::fitSize(const QSize &picture, int width, int height)
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

void MZThumbgen::requestStop()
{
    ::requestStop();
}

bool MZThumbgen::stopRequested()
{
    return ::stopRequested();
}

void MZThumbgen::clearStop()
{
    ::clearStop();
}

void MZThumbgen::setMemoryCap(qint64 bytes)
{
    g_memoryCap.storeRelaxed(bytes);
}

qint64 MZThumbgen::memoryCap()
{
    return g_memoryCap.loadRelaxed();
}

void MZThumbgen::setVideoTimeoutMs(int ms)
{
    g_videoTimeoutMs.storeRelaxed(ms);
}

int MZThumbgen::videoTimeoutMs()
{
    return g_videoTimeoutMs.loadRelaxed();
}

void MZThumbgen::setFfmpegProgram(const QString &program)
{
    QMutexLocker locker(&g_ffmpegMutex);
    g_ffmpegProgram = program;
}

QString MZThumbgen::ffmpegProgram()
{
    QMutexLocker locker(&g_ffmpegMutex);
    return g_ffmpegProgram;
}

QString MZThumbgen::temporaryPrefix()
{
    return g_tmpPrefix;
}

bool MZThumbgen::imageThumbSave(const QString &source, const QString &target, int width, int height) const
{
    if (width <= 0 || height <= 0)
        return false;
    QImage thumb;
    {
        JpegDecoder jpeg(source);
        if (jpeg.isJpeg()) {
            if (!jpeg.readHeader())
                return false;
            if (jpeg.canDecode()) {
                const int orientation = jpeg.orientation();
                const bool turned = orientation >= 5;
                const QSize shown = turned ? jpeg.size().transposed() : jpeg.size();
                const QSize fit = fitSize(shown, width, height);
                if (!fit.isValid() || overCap(pixelBytes(fit)))
                    return false;
                const QSize storedFit = turned ? fit.transposed() : fit;
                if (overCap(jpeg.memoryNeeded(storedFit) + pixelBytes(fit)))
                    return false;
                const QImage raw = jpeg.decode(storedFit, memoryCap());
                if (raw.isNull())
                    return false;
                thumb = orient(finishPicture(raw, storedFit), orientation);
            }
        }
    }
    if (thumb.isNull())
        thumb = readWithQt(source, width, height);
    return writeThumbnail(thumb, target);
}

bool MZThumbgen::imageThumbHeicSave(const QString &source, const QString &target, int width, int height) const
{
    if (width <= 0 || height <= 0)
        return false;
    const QByteArray path = source.toUtf8();
    HeifGuard g;
    static const bool initialised = (heif_init(nullptr), true);   // once, before any thread decodes
    Q_UNUSED(initialised)
    g.ctx = heif_context_alloc();
    if (!g.ctx)
        return false;
    if (heif_context_read_from_file(g.ctx, path.constData(), nullptr).code != heif_error_Ok)
        return false;
    if (heif_context_get_primary_image_handle(g.ctx, &g.primary).code != heif_error_Ok)
        return false;
    const QSize fit = fitSize(handleSize(g.primary), width, height);
    if (!fit.isValid() || overCap(pixelBytes(fit)))
        return false;

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
        return false;
    const bool alpha = heif_image_handle_has_alpha_channel(handle);
    const int channels = alpha ? 4 : 3;
    // Decoded planes (up to 16 bits a sample, 4:2:0) plus the interleaved picture.
    const int sampleBytes = heif_image_handle_get_luma_bits_per_pixel(handle) > 8 ? 2 : 1;
    if (overCap(pixelBytes(size, channels) + pixelBytes(size, sampleBytes) * 3 / 2 + pixelBytes(fit)))
        return false;
    if (heif_decode_image(handle, &g.image, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, nullptr).code != heif_error_Ok)
        return false;
    int stride = 0;
    const uint8_t *plane = heif_image_get_plane_readonly(g.image, heif_channel_interleaved, &stride);
    if (!plane || heif_image_get_width(g.image, heif_channel_interleaved) != size.width()
        || heif_image_get_height(g.image, heif_channel_interleaved) != size.height()
        || stride < size.width() * channels)
        return false;
    const QImage::Format format = !alpha ? QImage::Format_RGB888
        : heif_image_handle_is_premultiplied_alpha(handle) ? QImage::Format_RGBA8888_Premultiplied
                                                           : QImage::Format_RGBA8888;
    const QImage wrapped(plane, size.width(), size.height(), stride, format);
    // The wrapper borrows libheif's planes; g releases them only after the save.
    return writeThumbnail(finishPicture(wrapped, fit), target);
}

bool MZThumbgen::videoThumbSave(const QString &source, const QString &target, int width, int height) const
{
    if (width <= 0 || height <= 0 || width > kMaxVideoSide || height > kMaxVideoSide
        || overCap(pixelBytes(QSize(width, height))))
        return false;
    const QString size = QString::number(width) + QLatin1Char('x') + QString::number(height);
    const QFileInfo info(target);
    QDir().mkpath(info.absolutePath());

    // ffmpeg writes into a hidden temporary file that the service made
    // itself (a name swapped for a link while ffmpeg runs changes nothing),
    // renamed into place only after a clean exit.
    QString tmpName;
    const int fd = openTemporary(info.absolutePath(), tmpName);
    if (fd < 0)
        return false;
    const TemporaryGuard guard(fd, tmpName);

    const QStringList args = {
        QStringLiteral("-y"), QStringLiteral("-t"), QStringLiteral("15"),
        QStringLiteral("-ss"), QStringLiteral("00:00:00"),
        QStringLiteral("-protocol_whitelist"), QStringLiteral("file"),
        QStringLiteral("-format_whitelist"), g_demuxers,
        QStringLiteral("-i"), source,
        QStringLiteral("-s"), size,
        QStringLiteral("-r"), QStringLiteral("5"),
        QStringLiteral("-threads"), QStringLiteral("1"),
        QStringLiteral("-preset"), QStringLiteral("veryslow"),
        QStringLiteral("-f"), QStringLiteral("gif"),
        QStringLiteral("pipe:1"),
    };
    ChildProcess ffmpeg(ffmpegProgram(), args);
    ffmpeg.setStandardOutput(fd);
    if (ffmpeg.run(videoTimeoutMs()) != ChildProcess::Finished || ffmpeg.signalled() || ffmpeg.exitCode() != 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size <= 0 || ::fchmod(fd, g_fileMode) != 0)
        return false;
    if (::rename(QFile::encodeName(tmpName).constData(), QFile::encodeName(info.absoluteFilePath()).constData()) != 0)
        return false;
    guard.release();
    return true;
}

namespace {

bool render(const MZThumbgen &gen, MZThumbgen::MediaKind kind, const QString &source, const QString &target,
            int width, int height)
{
    switch (kind) {
    case MZThumbgen::MediaHeif:
        return gen.imageThumbHeicSave(source, target, width, height);
    case MZThumbgen::MediaImage:
        return gen.imageThumbSave(source, target, width, height);
    case MZThumbgen::MediaVideo:
        return gen.videoThumbSave(source, target, width, height);
    case MZThumbgen::MediaNone:
        break;
    }
    return false;
}

bool laterThan(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// Cloud-drive thumbnails are named after the path, so an edited source
// would keep its old thumbnail for ever: a regular file older than its
// source counts as missing. A source dated in the future (a camera with a
// wrong clock) is left alone, or it would be rendered on every walk.
bool needsRender(const QString &source, const QString &target)
{
    struct stat t;
    if (!thumbnailPresent(target, &t))
        return true;
    if (!S_ISREG(t.st_mode))
        return false;
    struct stat s;
    if (::stat(QFile::encodeName(source).constData(), &s) != 0)
        return false;
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return laterThan(s.st_mtim, t.st_mtim) && !laterThan(s.st_mtim, now);
}

} // namespace

bool MZThumbgen::pellowcloud(const QString &source, const QString &thumbs, int width, int height) const
{
    removeLeftovers(thumbs);
    const QDir thumbDir(thumbs);
    const bool ownThumbs = sameFolder(source, thumbs);
    for (const QFileInfo &fi : listFolder(source)) {
        if (stopRequested())
            return false;
        if (ownThumbs && isThumbnailName(fi.fileName()))
            continue;
        const QString path = fi.absoluteFilePath();
        const MediaKind kind = mimeClass(path);
        if (kind != MediaNone) {
            const QString target = thumbDir.absoluteFilePath(QString::fromLatin1(md5hex(path)) + suffixFor(kind));
            if (needsRender(path, target))
                render(*this, kind, path, target, width, height);
        }
        if (!pauseAfterFile())
            return false;
    }
    return !stopRequested();
}

bool MZThumbgen::snapvault(const QString &source, const QString &thumbs, int width, int height) const
{
    removeLeftovers(thumbs);
    const QDir thumbDir(thumbs);
    if (!QFileInfo(source).isDir())
        return snapvaultFile(source, thumbDir, width, height);
    const bool ownThumbs = sameFolder(source, thumbs);
    for (const QFileInfo &fi : listFolder(source)) {
        if (stopRequested())
            return false;
        if (ownThumbs && isThumbnailName(fi.fileName()))
            continue;
        if (!snapvaultFile(fi.absoluteFilePath(), thumbDir, width, height))
            return false;
        if (!pauseAfterFile())
            return false;
    }
    return !stopRequested();
}

bool MZThumbgen::snapvaultFile(const QString &file, const QDir &thumbs, int width, int height) const
{
    const MediaKind kind = mimeClass(file);
    if (kind == MediaNone)
        return !stopRequested();
    // An unreadable file has no content hash; it is skipped rather than
    // rendered under the bare suffix.
    const QByteArray hash = fileMd5hex(file);
    if (hash.isEmpty())
        return !stopRequested();
    const QString target = thumbs.absoluteFilePath(QString::fromLatin1(hash) + suffixFor(kind));
    struct stat t;
    if (!thumbnailPresent(target, &t))
        render(*this, kind, file, target, width, height);
    return !stopRequested();
}

// Leaving without stranding a job. The live count falls only when the
// pool deletes a runnable, so a runnable that decided to leave would still
// be counted while a push looks at the count, and after the count was
// lowered every runnable that finished a job could leave at once. Instead a
// runnable that wants to leave first stops counting itself, then looks at
// the queue once more: a job pushed before that look is seen here (and the
// runnable stays if the pool is short), a job pushed after it sees the
// lowered count in push's top-up and gets a new runnable. Runnables that
// stay beyond the count leave at their next check, so in the steady state
// no more than the configured number take jobs.
bool MZThumbgen::leave()
{
    AppData *app = IAppData();
    g_amount.fetchAndSubOrdered(1);
    m_counted = false;
    if (stopRequested() || !app->hasQueued() || amount() >= app->threads())
        return true;
    g_amount.fetchAndAddOrdered(1);
    m_counted = true;
    return false;
}

void MZThumbgen::run()
{
    AppData *app = IAppData();
    QJsonObject job;
    while (!stopRequested()) {
        if (amount() > app->threads() || !app->pop(job)) {
            if (leave())
                return;
            continue;
        }
        if (!runJob(job, app->width(), app->height()))
            return;   // cut off by a quit: the row stays and the job is redone after the next start
        app->completed(toInt(job.value(QStringLiteral("quuno"))));
    }
}

bool MZThumbgen::expandCommand(const QString &command, const QStringList &args, QString &expanded)
{
    expanded = command;
    for (int i = 1; i <= args.size(); ++i) {
        const QString placeholder = QStringLiteral("${PARAM") + QString::number(i) + QLatin1Char('}');
        const QString &value = args.at(i - 1);
        // Work out the size first: arguments that repeat later placeholders
        // double the text with every pass.
        const qint64 hits = expanded.count(placeholder);
        if (hits == 0)
            continue;
        const qint64 size = expanded.size() + hits * (qint64(value.size()) - placeholder.size());
        if (size > MAX_COMMAND_CHARS)
            return false;
        expanded.replace(placeholder, value);
    }
    return true;
}

bool MZThumbgen::runCommand(const QString &commandLine) const
{
    const QStringList words = QProcess::splitCommand(commandLine);
    if (words.isEmpty())
        return true;
    // No time limit, as for any command job; a quit ends it.
    ChildProcess child(words.first(), words.mid(1));
    const ChildProcess::Outcome outcome = child.run(0);
    if (outcome == ChildProcess::Stopped)
        return false;
    // A stop of the whole session or control group reaches the child at
    // the same moment as the service: a command killed that way did not
    // finish, and its row must stay although the stop is seen a little later.
    if (outcome == ChildProcess::Finished && child.endedAsIfStopped() && waitForStop(CUT_OFF_GRACE_MS)) {
        child.killGroup();
        return false;
    }
    return true;   // done, or a command that cannot be started: done with
}

bool MZThumbgen::runJob(const QJsonObject &job, int width, int height) const
{
    // A stranger's job reads, writes and runs children as the stranger; it
    // never runs as the service, even when the identity cannot be taken.
    if (job.contains(QStringLiteral("peer"))) {
        const BR2PeerCredentials owner = peerFromJson(job.value(QStringLiteral("peer")).toObject());
        const FsIdentity as(owner);
        if (!as.active()) {
            PRINTLN(QStringLiteral("job %1 not run: cannot act as its client (uid %2)")
                        .arg(toInt(job.value(QStringLiteral("quuno"))))
                        .arg(owner.valid ? QString::number(owner.uid) : QStringLiteral("unknown")));
            return true;
        }
        return runAs(job, width, height);
    }
    return runAs(job, width, height);
}

bool MZThumbgen::runAs(const QJsonObject &job, int width, int height) const
{
    const QStringList args = toStrings(job.value(QStringLiteral("args")), false);
    const QJsonValue commandValue = job.value(QStringLiteral("command"));
    const QString command = commandValue.isString() ? commandValue.toString() : QString();

    if (!command.isEmpty()) {
        QString line;
        if (!expandCommand(command, args, line)) {
            const QString refused = QStringLiteral("command line longer than 2 MiB, not run: ") + command.left(200);
            PRINTEXPR(refused);
            return true;
        }
        return runCommand(line);
    }

    const QString layout = args.value(0);
    const bool cloud = layout == QLatin1String("pellowcloud");
    if ((!cloud && layout != QLatin1String("snapvault")) || args.size() < 3)
        return true;
    if (args.size() >= 5) {
        bool okw = false;
        bool okh = false;
        const int w = args.at(3).toInt(&okw, 10);
        const int h = args.at(4).toInt(&okh, 10);
        if (okw && okh && w > 0 && h > 0) {
            width = w;
            height = h;
        }
    }
    // A volume not mounted yet, or a typo: done, but said.
    if (!QFileInfo::exists(args.at(1))) {
        PRINTLN(QStringLiteral("%1 job over a missing source: %2").arg(layout, args.at(1)));
        return true;
    }
    return cloud ? pellowcloud(args.at(1), args.at(2), width, height)
                 : snapvault(args.at(1), args.at(2), width, height);
}
