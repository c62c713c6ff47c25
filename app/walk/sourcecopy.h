#ifndef SOURCECOPY_H
#define SOURCECOPY_H
#include <QByteArray>
#include <QString>

struct stat;

// A picture read once, for the hash and the decode both: the file's bytes
// read into a memory file that the render helper maps, and hashed as they
// arrive. Nothing the size of the file is held in the service's heap, and
// the helper reads bytes no one can change after they were hashed.
//
// Each worker thread keeps its memory file from one picture to the next:
// fresh shared memory for every picture, and the helper's mapping of it,
// cost as much as the hash. The file is sealed against writes through any
// descriptor or new mapping (the helper's cannot write), and against
// growing and shrinking; only the service writes, through its own mapping,
// while its helper waits for a request. A thread that acts for another
// identity than its last copy's starts a new memory file, which no helper
// has seen. A copy over RenderChannel::KEPT_COPY_BYTES gives its memory
// back at once; the rest is given back by releaseIdle.
class SourceCopy
{
public:
    SourceCopy() = default;
    ~SourceCopy();
    SourceCopy(const SourceCopy &) = delete;
    SourceCopy &operator=(const SourceCopy &) = delete;

    // Copies file, whose stat is st, when it is a regular file no larger
    // than most bytes and it does not change size while it is read; false
    // otherwise (the caller hashes and decodes it the ordinary way).
    bool copy(const QString &file, const struct stat &st, qint64 most);

    // The memory file (-1 without a copy), whose first size() bytes are
    // the copy's (the file may be longer), and the MD5 of those bytes.
    int fd() const;
    qint64 size() const { return m_size; }
    const QByteArray &md5hex() const { return m_md5; }

    // Gives back the memory of every thread that has copied nothing for
    // idleMs (from any thread; a copy in use is left).
    static void releaseIdle(qint64 idleMs);

private:
    struct SourceMemory *m_memory = nullptr;   // the thread's, held while this copy lives
    qint64 m_size = 0;
    QByteArray m_md5;
};

#endif // SOURCECOPY_H
