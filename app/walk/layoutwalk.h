#ifndef LAYOUTWALK_H
#define LAYOUTWALK_H
#include <QString>

// The two layouts' walks over a folder. Each lists the folder's files (no
// hidden ones, no subfolders), renders those that need a thumbnail and
// pauses 50 ms after every listed file, so that a walk never hogs the disk.
// True when the walk ran to its end, false when a stop cut it short or
// the thumbnail folder took no files (the job must then stay queued; the
// refusal, when asked for, says which folder and why).

// A thumbnail folder that takes no files (no space, read-only, no
// permission), or no render helper to decode for it: the job waits.
struct FolderRefusal
{
    QString folder;
    QString reason;
    bool refused() const { return !folder.isEmpty(); }
};

// pellowcloud: thumbnails named after the MD5 of the file's absolute path;
// one older than its source is made again.
bool pellowcloudWalk(const QString &source, const QString &thumbs, int width, int height,
                     FolderRefusal *refusal = nullptr);
// snapvault: thumbnails named after the MD5 of the file's content; source
// may also be one file.
bool snapvaultWalk(const QString &source, const QString &thumbs, int width, int height,
                   FolderRefusal *refusal = nullptr);

#endif // LAYOUTWALK_H
