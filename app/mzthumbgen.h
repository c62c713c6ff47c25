#ifndef MZTHUMBGEN_H
#define MZTHUMBGEN_H
#include <QJsonObject>
#include <QRunnable>
#include <QSize>
#include <QString>
#include <QStringList>

class QDir;

// One worker of the thumbnail pool. run() works off queued jobs; the
// renderers and layout walkers are const and stateless, so several workers
// may call them at once, and tests call them directly.
//
// Process-wide settings (stop flag, memory cap, video time limit, ffmpeg
// program) are atomics set before the workers start; requestStop() may come
// from any thread at any time.
class MZThumbgen : public QRunnable
{
public:
    // Renderer chosen for a file by its MIME type.
    enum MediaKind {
        MediaNone = 0,
        MediaHeif,          // imageThumbHeicSave, ".jpg"
        MediaImage,         // imageThumbSave, ".jpg"
        MediaVideo          // videoThumbSave, ".gif"
    };

    MZThumbgen();
    ~MZThumbgen() override;

    static int amount();

    void run() override;

    // One job: a command line, or a layout walk at the job's size or the
    // given one. False when a quit cut it off, so its row must stay.
    bool runJob(const QJsonObject &job, int width, int height) const;
    // Fills ${PARAMn} from args, ascending, every occurrence; false when
    // the text would grow beyond MAX_COMMAND_CHARS.
    static bool expandCommand(const QString &command, const QStringList &args, QString &expanded);
    static constexpr qint64 MAX_COMMAND_CHARS = 2 * 1024 * 1024;

    // Renderers: true when a complete thumbnail now stands under target.
    // The box (width x height) must be positive; the picture is fitted into
    // it, enlarged or reduced, keeping its aspect ratio.
    bool imageThumbSave(const QString &source, const QString &target, int width, int height) const;
    bool imageThumbHeicSave(const QString &source, const QString &target, int width, int height) const;
    bool videoThumbSave(const QString &source, const QString &target, int width, int height) const;

    // Layout walkers: true when the walk ran to its end, false when a stop
    // request cut it short (the job must then stay queued).
    bool pellowcloud(const QString &source, const QString &thumbs, int width, int height) const;
    bool snapvault(const QString &source, const QString &thumbs, int width, int height) const;
    bool snapvaultFile(const QString &file, const QDir &thumbs, int width, int height) const;

    // The renderer for a file: its MIME type's name or one of its aliases,
    // in any letter case, found in the HEIF, image or video list, in that order.
    static MediaKind mimeClass(const QString &path);
    // ".jpg", ".gif", or empty for MediaNone.
    static QString suffixFor(MediaKind kind);
    // The size a picture of the given size gets in a width x height box;
    // invalid when the picture or the box is empty.
    static QSize fitSize(const QSize &picture, int width, int height);

    static void requestStop();
    static bool stopRequested();
    static void clearStop();                        // tests only: the service never clears it

    // Upper bound, in bytes, for what one decode may hold (source buffers and
    // the thumbnail itself). 256 MiB unless configured.
    static void setMemoryCap(qint64 bytes);
    static qint64 memoryCap();

    // ffmpeg is killed after this long (300 s unless changed).
    static void setVideoTimeoutMs(int ms);
    static int videoTimeoutMs();

    // Program run for videos; "ffmpeg" found on PATH unless changed.
    static void setFfmpegProgram(const QString &program);
    static QString ffmpegProgram();

    // The prefix of the hidden files a thumbnail is written to before it is
    // renamed into place; walks remove those older than an hour.
    static QString temporaryPrefix();

private:
    bool leave();
    bool runAs(const QJsonObject &job, int width, int height) const;
    bool runCommand(const QString &commandLine) const;

    bool m_counted = true;   // whether this runnable is in the live count
};

#endif // MZTHUMBGEN_H
