#include "br2localsocket.h"

#include "br2error.h"
#include "br2localserver.h"
#include "br2rpcpacket.h"

#include <QElapsedTimer>
#include <QMutexLocker>
#include <QtEndian>

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
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

    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd >= 0) {
        m_running = true;
        m_started = ::pthread_create(&m_thread, nullptr, &BR2LocalSocket::threadMain, this) == 0;
    }
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
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

void *BR2LocalSocket::threadMain(void *self)
{
    static_cast<BR2LocalSocket *>(self)->run();
    return nullptr;
}

void BR2LocalSocket::stop()
{
    m_stopping = true;
    if (m_wakeFd >= 0) {
        const quint64 one = 1;
        ssize_t written = ::write(m_wakeFd, &one, sizeof(one));
        Q_UNUSED(written);   // a full counter is still readable, which is all poll needs
    }
    QMutexLocker locker(&m_endMutex);
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
    struct pollfd fds[2] = {{fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    while (!m_stopping.load()) {
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents != 0)
            break;
        if (fds[0].revents & POLLNVAL)
            break;
        if (fds[0].revents != 0 && !readable(fd))
            break;
    }
    ::close(fd);
    m_buffer = QByteArray();
    markEnded();
}

// Reads what the peer sent and answers every complete request. False ends
// the connection: hang-up, read error, garbage, or a reply that could not
// be written.
bool BR2LocalSocket::readable(int fd)
{
    ssize_t received;
    const qint64 missing = missingFrameBytes(m_buffer);
    if (missing > CHUNK_SIZE) {
        const int old = m_buffer.size();
        m_buffer.resize(old + int(missing));
        received = ::recv(fd, m_buffer.data() + old, size_t(missing), MSG_DONTWAIT);
        m_buffer.resize(old + int(qMax<ssize_t>(received, 0)));
    } else {
        // Never read past one frame of the largest size, so a peer cannot
        // grow the buffer beyond it.
        char chunk[CHUNK_SIZE];
        const qint64 room = qMin<qint64>(CHUNK_SIZE, MAX_FRAME - m_buffer.size());
        if (room <= 0)
            return false;
        received = ::recv(fd, chunk, size_t(room), MSG_DONTWAIT);
        if (received > 0)
            m_buffer.append(chunk, int(received));
    }
    if (received == 0)
        return false;
    if (received < 0)
        return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
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
        case BR2RpcPacket::DATAGRAM_INCOMPLETE:
            if (m_buffer.isEmpty() || m_buffer.capacity() > 4 * CHUNK_SIZE)
                m_buffer.squeeze();
            return true;
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
    QElapsedTimer clock;
    clock.start();
    while (left > 0) {
        // MSG_NOSIGNAL: a peer that hung up costs this reply, not the process.
        const ssize_t sent = ::send(fd, data, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            data += sent;
            left -= size_t(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        const qint64 wait = WRITE_TIMEOUT_MS - clock.elapsed();
        if (wait <= 0)
            return false;   // the peer reads nothing; holding the reply in memory for ever helps nobody
        struct pollfd fds[2] = {{fd, POLLOUT, 0}, {m_wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, int(wait));
        if (ready < 0 && errno != EINTR)
            return false;
        if (fds[1].revents != 0 || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)))
            return false;
    }
    return true;
}

void BR2LocalSocket::markEnded()
{
    {
        QMutexLocker locker(&m_endMutex);
        m_running = false;
        m_ended.wakeAll();
    }
    // Last touch of the server: it outlives every connection thread, since
    // its destructor stops and joins them before anything is released.
    m_server->connectionEnded();
}
