#ifndef THUMBNAILFILE_H
#define THUMBNAILFILE_H
#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

// How a thumbnail reaches its name: written to a hidden temporary file
// beside it and renamed into place, so that the final name only ever holds
// a complete file; and what stands at a thumbnail's name.

// The prefix of the temporary files (".k8thumb-").
QString temporaryPrefix();
// The mode of a finished thumbnail: 0666 under the process's umask.
mode_t thumbnailFileMode();

// Creates a new private temporary file in folder, never through a link.
// The descriptor, or -1.
int openTemporary(const QString &folder, QString &path);

// Closes the temporary file and, unless released, removes it.
class TemporaryGuard
{
public:
    TemporaryGuard(int fd, const QString &path) : m_fd(fd), m_path(path) {}
    ~TemporaryGuard();
    TemporaryGuard(const TemporaryGuard &) = delete;
    TemporaryGuard &operator=(const TemporaryGuard &) = delete;
    void release() const { m_released = true; }

private:
    int m_fd;
    QString m_path;
    mutable bool m_released = false;
};

// Makes the folder and writes img under target in target's format. The
// rename replaces whatever entry is there (a link is replaced, not followed).
bool writeThumbnail(const QImage &img, const QString &target);

// Makes the folder and writes the encoded thumbnail bytes under target
// the same way.
bool writeThumbnailBytes(const QByteArray &bytes, const QString &target);

// Puts a finished temporary file (fd, at tmpPath) in place under target:
// the thumbnail mode, then the rename. The guard is released on success.
bool placeThumbnail(const TemporaryGuard &guard, int fd, const QString &tmpPath, const QString &target);

// Whether folder takes files at all (a full or read-only file system, no
// permission refuse them); when it does not, the reason.
bool folderTakesFiles(const QString &folder, QString &reason);

// The folders the calling thread has put thumbnails into since the last
// call: a job's thumbnails must reach the disk before its row is deleted.
QStringList takeWrittenFolders();
// Flushes the file systems that hold these folders, each once (syncfs):
// the data of every thumbnail renamed into them and their folders'
// entries. False when a file system reports an error.
bool flushFolders(const QStringList &folders);

// Any entry at the name (a folder, a link, dangling or not) counts as a
// thumbnail, except an empty regular file: what a crash can leave behind
// when the data of a renamed file never reached the disk.
bool thumbnailPresent(const QString &path, struct stat *st);

// Removes the temporary files in folder that no writer of this process
// holds, at most once an hour per folder.
void removeLeftovers(const QString &folder);

#endif // THUMBNAILFILE_H
