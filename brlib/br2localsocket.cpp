#include "br2localsocket.h"

#include "br2error.h"
#include "br2localserver.h"
#include "br2rpcpacket.h"

#include <QMutexLocker>
#include <QtEndian>

#include <cerrno>
#include <fcntl.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#ifndef SO_PEERGROUPS
#define SO_PEERGROUPS 59   // Linux 4.13; older headers lack the name
#endif

namespace {

const int HEADER_SIZE = 16;
const qint64 MAX_FRAME = HEADER_SIZE + BR2LocalSocket::MAX_PAYLOAD;
// Requests are small; a larger frame is read straight into the buffer.
const int CHUNK_SIZE = 4096;

BR2PeerCredentials peerOf(int fd)
{
    BR2PeerCredentials peer;
    struct ucred cred {};
    socklen_t length = sizeof(cred);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof(cred))
        return peer;
    peer.valid = true;
    peer.pid = cred.pid;
    peer.uid = cred.uid;
    peer.gid = cred.gid;

    // Without the supplementary groups the peer is judged by uid and gid
    // alone, which can only refuse more, never allow more.
    std::vector<gid_t> groups(32);
    for (int attempt = 0; attempt < 3; ++attempt) {
        socklen_t size = socklen_t(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
            groups.resize(size / sizeof(gid_t));
            for (gid_t g : groups)
                peer.groups.append(uint(g));
            break;
        }
        if (errno != ERANGE)
            break;
        groups.resize(size / sizeof(gid_t) + 1);
    }
    return peer;
}

// Bytes the frame at the front of buffer still needs, when its header is
// complete and announces an acceptable size; 0 otherwise.
qint64 missingFrameBytes(const QByteArray &buffer)
{
    if (buffer.size() < HEADER_SIZE || !buffer.startsWith(PACKET_MARK))
        return 0;
    const uchar *header = reinterpret_cast<const uchar *>(buffer.constData());
    const qint64 total = HEADER_SIZE + qint64(qFromLittleEndian<quint32>(header + 5))
        + qint64(qFromLittleEndian<quint32>(header + 9));
    if (total > MAX_FRAME)
        return 0;
    return qMax<qint64>(0, total - buffer.size());
}

} // namespace

BR2LocalSocket::BR2LocalSocket(BR2LocalServer *server, quintptr descriptor, const bool *debugging)
    : m_server(server)
    , m_descriptor(descriptor)
    , m_debugging(debugging)
{
    m_cabinet.insert(QStringLiteral("protocol"), 128);
    m_cabinet.setPeerCredentials(peerOf(int(descriptor)));

    // The thread waits in blocking calls; stop() ends them with shutdown.
    const int fd = int(descriptor);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK))
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    struct timeval sendTimeout {WRITE_TIMEOUT_MS / 1000, (WRITE_TIMEOUT_MS % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout));

    m_running = true;
    m_started = ::pthread_create(&m_thread, nullptr, &BR2LocalSocket::threadMain, this) == 0;
    if (!m_started) {
        // No thread (for example the system's thread limit): the peer sees
        // the connection close; the service goes on.
        m_running = false;
        ::close(int(m_descriptor));
        m_descriptor = quintptr(-1);
    }
}

BR2LocalSocket::~BR2LocalSocket()
{
    if (m_started && !m_joined) {
        stop();
        join();
    }
}

void *BR2LocalSocket::threadMain(void *self)
{
    static_cast<BR2LocalSocket *>(self)->run();
    return nullptr;
}

void BR2LocalSocket::stop()
{
    m_stopping = true;
    QMutexLocker locker(&m_endMutex);
    // Shutting the socket down wakes the thread wherever it waits, in a
    // read or in a write; the descriptor stays valid because the thread closes it
    // only under this lock.
    if (m_running.load())
        ::shutdown(int(m_descriptor), SHUT_RDWR);
    while (m_running.load())
        m_ended.wait(&m_endMutex);
}

void BR2LocalSocket::join()
{
    if (m_started && !m_joined) {
        ::pthread_join(m_thread, nullptr);
        m_joined = true;
    }
}

void BR2LocalSocket::run()
{
    const int fd = int(m_descriptor);
    while (!m_stopping.load() && readable(fd)) {
    }
    m_buffer = QByteArray();
    markEnded(fd);
}

// Waits in a blocking read for what the peer sends and answers every
// complete request. False ends the connection: hang-up, stop() (whose
// shutdown ends the read), read error, garbage, or a reply that could not
// be written.
bool BR2LocalSocket::readable(int fd)
{
    ssize_t received;
    const qint64 missing = missingFrameBytes(m_buffer);
    if (missing > CHUNK_SIZE) {
        const int old = m_buffer.size();
        m_buffer.resize(old + int(missing));
        received = ::recv(fd, m_buffer.data() + old, size_t(missing), 0);
        m_buffer.resize(old + int(qMax<ssize_t>(received, 0)));
    } else {
        // Never read past one frame of the largest size, so a peer cannot
        // grow the buffer beyond it.
        char chunk[CHUNK_SIZE];
        const qint64 room = qMin<qint64>(CHUNK_SIZE, MAX_FRAME - m_buffer.size());
        if (room <= 0)
            return false;
        received = ::recv(fd, chunk, size_t(room), 0);
        if (received > 0)
            m_buffer.append(chunk, int(received));
    }
    if (received == 0)
        return false;
    if (received < 0)
        return errno == EINTR;
    return processBuffer(fd);
}

bool BR2LocalSocket::processBuffer(int fd)
{
    BR2RpcPacket request;
    while (!m_stopping.load()) {
        switch (request.fromDatagram(m_buffer, MAX_PAYLOAD)) {
        case BR2RpcPacket::DATAGRAM_KEEPALIVE:
            // Go on: a request behind the keep-alive is already here and
            // must not wait for bytes that may never come.
            continue;
        case BR2RpcPacket::DATAGRAM_INCOMPLETE: {
            // Give back what a large frame left behind, but not while a
            // frame is still arriving into it.
            const qint64 needed = m_buffer.size() + missingFrameBytes(m_buffer);
            if (m_buffer.capacity() > 4 * CHUNK_SIZE && m_buffer.capacity() > 2 * needed)
                m_buffer.squeeze();
            return true;
        }
        case BR2RpcPacket::DATAGRAM_OK:
            if (request.isEmpty())
                continue;
            if (!answer(fd, request))
                return false;
            continue;
        default:
            // Not a datagram: nothing behind it can be framed again, and
            // leaving it would keep the peer waiting for ever.
            return false;
        }
    }
    return false;
}

bool BR2LocalSocket::answer(int fd, const QJsonObject &request)
{
    // The attachment of a request is not passed on, and a reply has none.
    BR2RpcPacket reply;
    reply.insert(QStringLiteral("err"), int(BR2Error::ERR_FAILED));
    m_server->doCall(reply, request, &m_cabinet);
    m_cabinet.toRetObject(reply, *m_debugging);
    return writeAll(fd, reply.toDatagram());
}

bool BR2LocalSocket::writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    size_t left = size_t(bytes.size());
    while (left > 0 && !m_stopping.load()) {
        // MSG_NOSIGNAL: a peer that hung up costs this reply, not the
        // process. A send that makes no progress for the socket's send
        // time-out fails with EAGAIN: the peer reads nothing, and holding the
        // reply for ever would help nobody.
        const ssize_t sent = ::send(fd, data, left, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        left -= size_t(sent);
    }
    return left == 0;
}

void BR2LocalSocket::markEnded(int fd)
{
    {
        QMutexLocker locker(&m_endMutex);
        ::close(fd);
        m_descriptor = quintptr(-1);
        m_running = false;
        m_ended.wakeAll();
    }
    // Last touch of the server: it outlives every connection thread, since
    // its destructor stops and joins them before anything is released.
    m_server->connectionEnded();
}
