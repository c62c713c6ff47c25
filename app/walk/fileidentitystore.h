#ifndef FILEIDENTITYSTORE_H
#define FILEIDENTITYSTORE_H
#include <QByteArray>
#include <QString>

#include <sys/stat.h>

// What identifies a file as unchanged: inode, size, modification and
// change times in nanoseconds. Not the device number, which USB disks,
// RAID and NFS renumber across reboots.
struct FileIdentity
{
    qint64 inode = 0;
    qint64 size = 0;
    qint64 mtimeNs = 0;
    qint64 ctimeNs = 0;

    static FileIdentity of(const struct stat &st);
    bool operator==(const FileIdentity &o) const
    {
        return inode == o.inode && size == o.size && mtimeNs == o.mtimeNs && ctimeNs == o.ctimeNs;
    }
};

// The identities walks have seen, so that a rescan reads nothing it has
// read before: "DATABASE.files" beside the queue database, an SQLite file
// of its own in WAL mode with synchronous=NORMAL (a power loss costs at
// most a re-hash or a render). snapvault records belong to a source path
// and hold its content MD5; pellowcloud records belong to a thumbnail path
// and hold its source's identity when it was rendered. A record whose
// file times lie within 2 s of when it was made is not trusted (a
// same-size rewrite within one coarse clock tick) and is made again.
// Every call works without the store (nothing recorded, nothing found):
// a walk never fails because of it.
namespace FileIdentityStore {

// Opens the store beside a queue database that passed its identity check;
// one that is corrupt is set aside (renamed) and made anew. untrustedNs:
// how close to its recording a file time makes a record untrusted.
bool open(const QString &databasePath, qint64 untrustedNs = qint64(2) * 1000000000);
void close();

// What snapvault knows of path under this identity: its renderer (by its
// MIME type, which the name and the unchanged content fix) and, for media,
// its content MD5. False when nothing trusted is recorded.
bool known(const QString &path, const FileIdentity &now, int &kind, QByteArray &md5);
void record(const QString &path, const FileIdentity &id, int kind, const QByteArray &md5);

enum Freshness { NoRecord, Current, Stale };
// Whether the thumbnail was rendered from the source as it is now; an
// untrusted record counts as none.
Freshness rendered(const QString &thumbnail, const FileIdentity &sourceNow);
void recordRender(const QString &thumbnail, const QString &source, const FileIdentity &id);

// After a walk of folder: the records of its files that no longer exist
// go, and what was recorded is committed.
void forgetGone(const QString &folder);
// Commits what was recorded (records are written in batches).
void commit();

} // namespace FileIdentityStore

#endif // FILEIDENTITYSTORE_H
