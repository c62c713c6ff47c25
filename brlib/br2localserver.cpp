#include "br2localserver.h"

#include "br2error.h"
#include "br2localsocket.h"
#include "br2rpcpacket.h"
#include "br2utils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QMetaObject>
#include <QMutexLocker>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <limits>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#ifndef SO_PEERGROUPS
#define SO_PEERGROUPS 59   // Linux 4.13; older headers lack the name
#endif

namespace {

// Descriptors kept free of connections: the database, the pipes of ffmpeg
// and command children, image plug-ins, and the accept that refuses one
// connection over the caps.
const rlim_t SPARE_DESCRIPTORS = 128;
// How soon accepting is tried again after the process ran out of descriptors.
const int ACCEPT_RETRY_MS = 100;
// Connections taken per wake-up, so that a burst cannot starve the event loop.
const int ACCEPT_BATCH = 256;

BR2PeerCredentials peerOf(int fd);

// True when something accepts connections on name, or might (busy, or no
// right to connect): only a socket nobody listens on may be replaced.
// *uid: the uid of the process that answered, or uint(-1).
bool serviceAnswers(const QString &name, uint *uid)
{
    *uid = uint(-1);
    QLocalSocket probe;
    probe.connectToServer(name);
    if (probe.waitForConnected(1000)) {
        const BR2PeerCredentials server = peerOf(int(probe.socketDescriptor()));
        if (server.valid)
            *uid = server.uid;
        probe.abort();
        return true;
    }
    const QLocalSocket::LocalSocketError error = probe.error();
    return error != QLocalSocket::ServerNotFoundError && error != QLocalSocket::ConnectionRefusedError;
}

// Every connection holds a descriptor. Under the usual soft limit of 1024
// the process would run out before the connection limit is reached.
void raiseDescriptorLimit()
{
    const rlim_t wanted = rlim_t(BR2LocalServer::MAX_CONNECTIONS) + 256;
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : qMin(wanted, limit.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

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

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The name as the unknown-command message echoes it: whole up to limit
// characters, else cut there (never between the halves of a surrogate pair)
// and marked, so that a huge name does not make a huge reply.
QString echoedName(const QString &name, int limit)
{
    if (name.size() <= limit)
        return name;
    int cut = limit;
    if (name.at(cut - 1).isHighSurrogate())
        --cut;
    return name.left(cut) + QChar(0x2026);
}

} // namespace

BR2LocalServer::BR2LocalServer(QObject *parent)
    : QObject(parent)
{
    const uid_t self = ::geteuid();
    m_trusted = [self](const BR2PeerCredentials &peer) { return peer.uid == 0 || peer.uid == uint(self); };
    m_resume.setSingleShot(true);
    connect(&m_resume, &QTimer::timeout, this, [this] {
        if (m_notifier) {
            m_notifier->setEnabled(true);
            acceptPending();
        }
    });
}

BR2LocalServer::~BR2LocalServer()
{
    stop();
    QList<Connection> connections;
    {
        QMutexLocker locker(&m_connectionsMutex);
        connections.swap(m_connections);
    }
    // Every thread must be gone before the root router and the routers
    // added to it can be released.
    for (const Connection &connection : connections) {
        connection.socket->stop();
        connection.socket->join();
        delete connection.socket;
    }
}

QString BR2LocalServer::socketPath(const QString &name)
{
    if (name.startsWith(QLatin1Char('/')))
        return name;
    return QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + name;
}

void BR2LocalServer::setTrustPolicy(const std::function<bool(const BR2PeerCredentials &)> &trusted)
{
    if (trusted)
        m_trusted = trusted;
}

namespace {

// The listening socket a service manager passed (LISTEN_FDS, first at
// descriptor 3), once, or -1. The variables are cleared so that children
// do not take the socket for theirs.
bool g_passedTaken = false;

// Whether a service manager passed this process a socket not yet taken.
bool socketPassed()
{
    const QByteArray pid = qgetenv("LISTEN_PID");
    return !g_passedTaken && !pid.isEmpty() && pid.toLongLong() == qint64(::getpid()) && qgetenv("LISTEN_FDS").toInt() >= 1;
}

int takePassedSocket()
{
    if (!socketPassed())
        return -1;
    g_passedTaken = true;
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    const int fd = 3;
    int listening = 0, type = 0;
    socklen_t size = sizeof(int);
    struct sockaddr_storage address {};
    socklen_t addressSize = sizeof(address);
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening
        || ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &(size = sizeof(int))) != 0 || type != SOCK_STREAM
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &addressSize) != 0 || address.ss_family != AF_UNIX) {
        PRINTLN(QStringLiteral("the socket passed by the service manager is not a listening local stream socket; not used"));
        return -1;
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

} // namespace

bool BR2LocalServer::start(const QString &name)
{
    if (isListening())
        return true;
    // A socket made by the service manager is served as it is: it exists
    // from boot and through restarts, so no one can take its name, and it
    // is never made or removed here.
    const int passed = takePassedSocket();
    if (passed >= 0) {
        struct sockaddr_un address {};
        socklen_t size = sizeof(address);
        const QString at = ::getsockname(passed, reinterpret_cast<sockaddr *>(&address), &size) == 0
            ? QFile::decodeName(QByteArray(address.sun_path, int(qstrnlen(address.sun_path, sizeof(address.sun_path)))))
            : QString();
        PRINTLN(QStringLiteral("serving the local socket passed by the service manager: %1").arg(at));
        if (at != socketPath(name))
            PRINTLN(QStringLiteral("the configured socket %1 is not the one passed; clients that read the configuration will not find the service")
                        .arg(socketPath(name)));
        m_listenFd = passed;
        m_path.clear();
        m_name = name;
        sizeLimits();
        m_notifier = new QSocketNotifier(passed, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &BR2LocalServer::acceptPending);
        return true;
    }
    const QString path = socketPath(name);
    if (name.contains(QLatin1Char('/')))
        QDir().mkpath(QFileInfo(path).absolutePath());
    const QByteArray native = QFile::encodeName(path);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (native.isEmpty() || size_t(native.size()) >= sizeof(address.sun_path)) {
        PRINTLN(QStringLiteral("cannot create local socket %1: the path is too long").arg(path));
        return false;
    }
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));

    if (!mayListen(name))
        return false;
    struct stat st {};
    if (::lstat(native.constData(), &st) == 0 && S_ISSOCK(st.st_mode))
        ::unlink(native.constData());   // a socket nobody answers on, as mayListen found

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool bound = false;
    // Every local user may connect: what each may do is decided per request.
    // A burst of clients beyond the kernel's default backlog would be
    // refused before the server ever sees them.
    const bool ok = fd >= 0
        && (bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0)
        && ::chmod(native.constData(), 0777) == 0 && ::listen(fd, MAX_CONNECTIONS) == 0
        && ::lstat(native.constData(), &st) == 0;
    if (!ok) {
        const int error = errno;
        if (bound)
            ::unlink(native.constData());
        if (fd >= 0)
            ::close(fd);
        PRINTLN(QStringLiteral("cannot create local socket %1: %2").arg(path, systemError(error)));
        return false;
    }

    m_listenFd = fd;
    m_path = path;
    m_pathDev = st.st_dev;
    m_pathIno = st.st_ino;
    m_name = name;
    sizeLimits();
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &BR2LocalServer::acceptPending);
    return true;
}

// Only a socket that nobody answers on may be replaced. Two services on
// one name would share one queue; a file of any other kind (a database,
// a folder, a link) is not ours to remove.
bool BR2LocalServer::mayListen(const QString &name)
{
    if (socketPassed())
        return true;   // the name is the service manager's, and served by start()
    const QString path = socketPath(name);
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return true;
    if (!S_ISSOCK(st.st_mode)) {
        PRINTLN(QStringLiteral("cannot create local socket %1: something that is not a socket is there").arg(path));
        return false;
    }
    uint uid = uint(-1);
    if (!serviceAnswers(name, &uid))
        return true;
    // Anyone may bind a name in a shared folder while the service is down;
    // a socket served by another user is a squatter's, not a service's.
    if (uid != uint(-1) && uid != uint(::geteuid()) && ::unlink(QFile::encodeName(path).constData()) == 0) {
        PRINTLN(QStringLiteral("local socket %1 was served by uid %2, not by this service's user: removed and taken over")
                    .arg(path)
                    .arg(uid));
        return true;
    }
    PRINTLN(QStringLiteral("local socket %1 is served by another process").arg(path));
    return false;
}

// The caps follow the descriptors the process really has, so that accept
// never runs out while the caps hold: some of them stay for the service's
// own files, and a share of the connections stays for trusted peers.
void BR2LocalServer::sizeLimits()
{
    raiseDescriptorLimit();
    struct rlimit limit {};
    qint64 usable = MAX_CONNECTIONS;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        usable = qint64(limit.rlim_cur) - qint64(SPARE_DESCRIPTORS);
    m_limit = int(qBound<qint64>(8, usable, MAX_CONNECTIONS));
    m_reserved = qMax(4, m_limit / 16);
    m_perPeer = qMin(MAX_CONNECTIONS_PER_PEER, m_limit - m_reserved);
}

void BR2LocalServer::stop()
{
    if (m_listenFd < 0)
        return;
    delete m_notifier;
    m_notifier = nullptr;
    m_resume.stop();
    ::close(m_listenFd);
    m_listenFd = -1;
    // Remove the socket file only while it is still the one start() made
    // (none when the socket was passed).
    if (m_path.isEmpty())
        return;
    struct stat st {};
    const QByteArray native = QFile::encodeName(m_path);
    if (::lstat(native.constData(), &st) == 0 && st.st_dev == m_pathDev && st.st_ino == m_pathIno)
        ::unlink(native.constData());
}

void BR2LocalServer::add(BR2TodoRouter *router)
{
    m_root.add(router);
}

bool BR2LocalServer::doCall(QJsonObject &reply, const QJsonObject &request, BR2Cabinet *cabinet)
{
    if (m_root.doCall(reply, request, cabinet))
        return true;
    if (m_root.doSlot(reply, request, cabinet))
        return true;
    if (cabinet) {
        cabinet->setErr(BR2Error::ERR_MISSING,
                        QStringLiteral("被调用的方法不存在: ")
                            + echoedName(request.value(QStringLiteral("cmd")).toString(), MAX_ECHOED_NAME));
    }
    return false;
}

int BR2LocalServer::connectionCount() const
{
    QMutexLocker locker(&m_connectionsMutex);
    return m_connections.size();
}

void BR2LocalServer::acceptPending()
{
    if (m_listenFd < 0)
        return;
    for (int i = 0; i < ACCEPT_BATCH; ++i) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            m_acceptFailing = false;
            admit(fd);
            continue;
        }
        const int error = errno;
        if (error == EINTR || error == ECONNABORTED || error == EPROTO)
            continue;
        if (error == EAGAIN || error == EWOULDBLOCK)
            return;
        // Out of descriptors or memory: the waiting connections stay in the
        // backlog, and accepting resumes shortly, without a busy loop.
        if (!m_acceptFailing) {
            PRINTLN(QStringLiteral("local socket %1: cannot accept a connection (%2); retrying")
                        .arg(m_path, systemError(error)));
            m_acceptFailing = true;
        }
        m_notifier->setEnabled(false);
        m_resume.start(ACCEPT_RETRY_MS);
        return;
    }
}

void BR2LocalServer::admit(int fd)
{
    reapConnections();
    const BR2PeerCredentials peer = peerOf(fd);
    const bool trusted = peer.valid && m_trusted(peer);
    bool room;
    {
        QMutexLocker locker(&m_connectionsMutex);
        int untrusted = 0;
        int mine = 0;
        for (const Connection &c : qAsConst(m_connections)) {
            if (!c.trusted) {
                ++untrusted;
                if (c.uid == peer.uid)
                    ++mine;
            }
        }
        room = m_connections.size() < m_limit
            && (trusted || (untrusted < m_limit - m_reserved && mine < m_perPeer));
    }
    if (!room) {
        ::close(fd);
        return;
    }
    auto *connection = new BR2LocalSocket(this, quintptr(fd), &debugging, peer, trusted, &m_budget);
    if (!connection->isStarted()) {
        delete connection;   // its descriptor is already closed
        return;
    }
    QMutexLocker locker(&m_connectionsMutex);
    m_connections.append(Connection{connection, peer.uid, trusted});
}

void BR2LocalServer::connectionEnded()
{
    // Queued: the ending thread cannot join itself, and a reclaim on the
    // server's thread cannot race the accept that adds to the list.
    QMetaObject::invokeMethod(this, [this] { reapConnections(); }, Qt::QueuedConnection);
}

void BR2LocalServer::reapConnections()
{
    QList<BR2LocalSocket *> ended;
    {
        QMutexLocker locker(&m_connectionsMutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            if (it->socket->isRunning()) {
                ++it;
            } else {
                ended.append(it->socket);
                it = m_connections.erase(it);
            }
        }
    }
    for (BR2LocalSocket *connection : ended) {
        connection->join();
        delete connection;
    }
}

uint BR2LocalServer::serverUid(int fd)
{
    const BR2PeerCredentials server = peerOf(fd);
    return server.valid ? server.uid : uint(-1);
}

bool BR2LocalServer::localRequest(const QString &name, const QJsonObject &request, QJsonObject *reply,
                                  qint64 timeout, const std::function<bool(uint)> &acceptServer, uint *refusedUid)
{
    const QByteArray datagram = BR2RpcPacket(request).toDatagram();
    QElapsedTimer clock;
    clock.start();

    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    if (!socket.waitForConnected(2000))
        return false;
    if (acceptServer) {
        const uint uid = serverUid(int(socket.socketDescriptor()));
        if (!acceptServer(uid)) {
            socket.abort();
            if (refusedUid)
                *refusedUid = uid;
            return false;
        }
    }
    socket.write(datagram);
    socket.flush();

    const qint64 limit = timeout > std::numeric_limits<qint64>::max() / 1000
        ? std::numeric_limits<qint64>::max() : timeout * 1000;
    if (!reply || limit <= 0) {
        while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(2000)) {
        }
        socket.disconnectFromServer();
        return true;
    }

    QByteArray buffer;
    BR2RpcPacket packet;
    for (;;) {
        const qint64 left = limit - clock.elapsed();
        if (left <= 0)
            break;
        const int wait = int(qMin<qint64>(left, std::numeric_limits<int>::max()));
        if (socket.bytesToWrite() > 0) {
            socket.waitForBytesWritten(wait);
        } else if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(wait)) {
            if (socket.state() != QLocalSocket::ConnectedState)
                break;   // the server hung up: no answer will come
            continue;
        }
        buffer += socket.readAll();
        for (;;) {
            const int result = packet.fromDatagram(buffer);
            if (result == BR2RpcPacket::DATAGRAM_KEEPALIVE)
                continue;
            if (result != BR2RpcPacket::DATAGRAM_OK)
                break;
            if (packet.isEmpty())
                continue;
            socket.disconnectFromServer();
            *reply = packet;
            return true;
        }
        if (socket.state() != QLocalSocket::ConnectedState && socket.bytesAvailable() == 0)
            break;
    }
    socket.abort();
    return false;
}
