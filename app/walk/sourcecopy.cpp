#include "sourcecopy.h"

#include "br2utils.h"

#include <QCryptographicHash>
#include <QFile>

#include <cerrno>
#include <memory>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Small enough to come from the heap that the walk reuses, large enough
// that the copy is a few calls a picture.
const size_t CHUNK = 64 * 1024;

} // namespace

SourceCopy::~SourceCopy()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool SourceCopy::copy(const QString &file, const struct stat &st, qint64 most)
{
    if (st.st_size <= 0 || st.st_size > most)
        return false;
    const int in = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (in < 0)
        return false;
    struct stat now;
    const int out = ::fstat(in, &now) == 0 && S_ISREG(now.st_mode)
                        ? ::memfd_create("k8thumbgen-source", MFD_CLOEXEC | MFD_ALLOW_SEALING)
                        : -1;
    QCryptographicHash md5(QCryptographicHash::Md5);
    std::unique_ptr<char[]> chunk(new char[CHUNK]);
    qint64 got = 0;
    bool ok = out >= 0;
    // Read until the end, not until st_size: a file that grew since is
    // read the ordinary way.
    while (ok && got <= st.st_size) {
        const ssize_t n = ::read(in, chunk.get(), CHUNK);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        md5.addData(chunk.get(), int(n));
        ok = writeFully(out, chunk.get(), size_t(n));
        got += n;
    }
    ::close(in);
    if (!ok || got != st.st_size
        || ::fcntl(out, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0
        || ::lseek(out, 0, SEEK_SET) != 0) {
        if (out >= 0)
            ::close(out);
        return false;
    }
    m_fd = out;
    m_md5 = md5.result().toHex();
    return true;
}
