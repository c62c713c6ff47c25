#ifndef SOURCECOPY_H
#define SOURCECOPY_H
#include <QByteArray>
#include <QString>

struct stat;

// A picture read once, for the hash and the decode both: the file's bytes
// streamed through a small buffer into the MD5 and into a sealed memory
// file that the render helper maps. Nothing the size of the file is held
// in the service's heap, and the helper reads bytes no one can change
// after they were hashed.
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

    // The sealed copy (-1 without one) and the MD5 of its bytes, in hex.
    int fd() const { return m_fd; }
    const QByteArray &md5hex() const { return m_md5; }

private:
    int m_fd = -1;
    QByteArray m_md5;
};

#endif // SOURCECOPY_H
