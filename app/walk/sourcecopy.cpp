#include "sourcecopy.h"

#include "renderchannel.h"
#include "renderhelpers.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// A thread's memory file and the service's writable mapping of it.
struct SourceMemory
{
    int fd = -1;
    char *at = nullptr;
    size_t capacity = 0;
    QByteArray owner;         // whose file it holds (RenderHelpers::currentOwner)
    bool held = false;        // a SourceCopy of its thread uses it
    qint64 lastUsed = 0;      // ms since the epoch

    // Called with g_mutex held, or by the thread that holds it.
    void release()
    {
        if (at)
            ::munmap(at, capacity);
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        at = nullptr;
        capacity = 0;
    }
    // A new memory file of bytes, mapped for the service, then sealed: no
    // write through a descriptor or a mapping made after this one, no
    // change of size.
    bool make(size_t bytes)
    {
        release();
        fd = ::memfd_create("k8thumbgen-source", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        if (fd < 0)
            return false;
        void *mapped = MAP_FAILED;
        if (::ftruncate(fd, off_t(bytes)) == 0)
            mapped = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapped == MAP_FAILED) {
            release();
            return false;
        }
        at = static_cast<char *>(mapped);
        capacity = bytes;
        if (::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL) != 0) {
            release();
            return false;
        }
        return true;
    }
};

namespace {

// Read and hashed a piece at a time, so that the hash reads bytes still in
// the cache.
const size_t PIECE = 256 * 1024;
// Memory files are made in whole MiB, so that files of about one size
// share one.
const size_t GRAIN = size_t(1) << 20;

// Never destroyed: a thread's end, which gives its memory file back, can
// come after the process's statics are gone.
QMutex &g_mutex = *new QMutex;                            // guards g_memories and every SourceMemory's held, lastUsed and release
QSet<SourceMemory *> &g_memories = *new QSet<SourceMemory *>;

// The calling thread's memory, given back with the thread.
struct ThreadMemory
{
    SourceMemory *memory = nullptr;
    ~ThreadMemory()
    {
        if (!memory)
            return;
        QMutexLocker locker(&g_mutex);
        memory->release();
        g_memories.remove(memory);
        delete memory;
    }
};
thread_local ThreadMemory t_memory;

SourceMemory *holdThreadMemory()
{
    QMutexLocker locker(&g_mutex);
    if (!t_memory.memory) {
        t_memory.memory = new SourceMemory;
        g_memories.insert(t_memory.memory);
    }
    t_memory.memory->held = true;
    return t_memory.memory;
}

} // namespace

SourceCopy::~SourceCopy()
{
    if (!m_memory)
        return;
    QMutexLocker locker(&g_mutex);
    m_memory->held = false;
    m_memory->lastUsed = QDateTime::currentMSecsSinceEpoch();
    if (qint64(m_memory->capacity) > RenderChannel::KEPT_COPY_BYTES)
        m_memory->release();
}

int SourceCopy::fd() const
{
    return m_size > 0 ? m_memory->fd : -1;
}

bool SourceCopy::copy(const QString &file, const struct stat &st, qint64 most)
{
    m_size = 0;
    m_md5.clear();
    if (st.st_size <= 0 || st.st_size > most)
        return false;
    const int in = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (in < 0)
        return false;
    // The hash is remembered under the identity the caller's stat saw: a
    // file put in its place since is read the ordinary way.
    struct stat now;
    if (::fstat(in, &now) != 0 || !S_ISREG(now.st_mode) || now.st_dev != st.st_dev || now.st_ino != st.st_ino
        || now.st_mtim.tv_sec != st.st_mtim.tv_sec || now.st_mtim.tv_nsec != st.st_mtim.tv_nsec) {
        ::close(in);
        return false;
    }
    if (!m_memory)
        m_memory = holdThreadMemory();
    // One byte more than the stat's size is asked for: a file that grew
    // since is read the ordinary way.
    const size_t want = size_t(st.st_size) + 1;
    // Past a shorter file lie the bytes of the one before it, which a
    // helper working for another identity must not be given.
    const QByteArray owner = RenderHelpers::currentOwner();
    if (m_memory->owner != owner)
        m_memory->release();
    m_memory->owner = owner;
    if (m_memory->capacity < want && !m_memory->make((want + GRAIN - 1) / GRAIN * GRAIN)) {
        ::close(in);
        return false;
    }
    QCryptographicHash md5(QCryptographicHash::Md5);
    size_t got = 0;
    ssize_t n = 0;
    while (got < want) {
        n = ::read(in, m_memory->at + got, qMin(PIECE, want - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        md5.addData(m_memory->at + got, int(n));
        got += size_t(n);
    }
    ::close(in);
    if (n < 0 || qint64(got) != st.st_size)
        return false;
    m_size = qint64(got);
    m_md5 = md5.result().toHex();
    return true;
}

void SourceCopy::releaseIdle(qint64 idleMs)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QMutexLocker locker(&g_mutex);
    for (SourceMemory *m : qAsConst(g_memories)) {
        if (!m->held && m->capacity && now - m->lastUsed >= idleMs)
            m->release();
    }
}
