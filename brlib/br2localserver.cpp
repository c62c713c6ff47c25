#include "br2localserver.h"

#include "br2cabinet.h"
#include "br2error.h"
#include "br2localsocket.h"
#include "br2rpcpacket.h"
#include "br2utils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QMetaObject>
#include <QMutexLocker>

#include <limits>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Where QLocalServer puts the socket of name: a name starting with "/" is
// the path itself, any other lies in the temporary folder.
QString socketPath(const QString &name)
{
    if (name.startsWith(QLatin1Char('/')))
        return name;
    return QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + name;
}

// True when something accepts connections on name, or might (busy, or no
// right to connect): only a socket nobody listens on may be replaced.
bool serviceAnswers(const QString &name)
{
    QLocalSocket probe;
    probe.connectToServer(name);
    if (probe.waitForConnected(1000)) {
        probe.abort();
        return true;
    }
    const QLocalSocket::LocalSocketError error = probe.error();
    return error != QLocalSocket::ServerNotFoundError && error != QLocalSocket::ConnectionRefusedError;
}

// Every connection holds a descriptor. Under the usual soft limit of 1024
// the process would run out before the connection limit is reached, and a
// failed accept makes QLocalServer close the listening socket for good.
void raiseDescriptorLimit()
{
    const rlim_t wanted = rlim_t(BR2LocalServer::MAX_CONNECTIONS) + 256;
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : qMin(wanted, limit.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace

BR2LocalServer::BR2LocalServer(QObject *parent)
    : QLocalServer(parent)
{
    setMaxPendingConnections(MAX_CONNECTIONS);
    setSocketOptions(QLocalServer::WorldAccessOption);
}

BR2LocalServer::~BR2LocalServer()
{
    stop();
    QList<BR2LocalSocket *> connections;
    {
        QMutexLocker locker(&m_connectionsMutex);
        connections.swap(m_connections);
    }
    // Every thread must be gone before the root router and the routers
    // added to it can be released.
    for (BR2LocalSocket *connection : connections) {
        connection->stop();
        connection->join();
        delete connection;
    }
}

bool BR2LocalServer::start(const QString &name)
{
    if (isListening())
        return true;
    if (name.contains(QLatin1Char('/')))
        QDir().mkpath(QFileInfo(socketPath(name)).absolutePath());

    // Listening with world access puts the new socket in place by renaming,
    // which would silently take the name from a service that still runs:
    // two services would then share one queue. Ask first.
    if (serviceAnswers(name)) {
        PRINTLN(QStringLiteral("local socket %1 is served by another process").arg(socketPath(name)));
        return false;
    }
    raiseDescriptorLimit();
    bool listening = listen(name);
    if (!listening && serverError() == QAbstractSocket::AddressInUseError && !serviceAnswers(name)) {
        QLocalServer::removeServer(name);
        listening = listen(name);
    }
    if (!listening)
        return false;
    // QLocalServer asks the kernel for a backlog of 50; a burst of clients
    // beyond that would be refused before the server ever sees them.
    ::listen(int(socketDescriptor()), MAX_CONNECTIONS);
    m_name = name;
    return true;
}

void BR2LocalServer::stop()
{
    if (isListening())
        close();
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
                        QStringLiteral("被调用的方法不存在: ") + request.value(QStringLiteral("cmd")).toString());
    }
    return false;
}

int BR2LocalServer::connectionCount() const
{
    QMutexLocker locker(&m_connectionsMutex);
    return m_connections.size();
}

void BR2LocalServer::incomingConnection(quintptr socketDescriptor)
{
    reapConnections();
    if (connectionCount() >= MAX_CONNECTIONS) {
        ::close(int(socketDescriptor));
        return;
    }
    auto *connection = new BR2LocalSocket(this, socketDescriptor, &debugging);
    if (!connection->isStarted()) {
        delete connection;   // its descriptor is already closed
        return;
    }
    QMutexLocker locker(&m_connectionsMutex);
    m_connections.append(connection);
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
            if ((*it)->isRunning()) {
                ++it;
            } else {
                ended.append(*it);
                it = m_connections.erase(it);
            }
        }
    }
    for (BR2LocalSocket *connection : ended) {
        connection->join();
        delete connection;
    }
}

bool BR2LocalServer::localRequest(const QString &name, const QJsonObject &request, QJsonObject *reply,
                                  qint64 timeout)
{
    const QByteArray datagram = BR2RpcPacket(request).toDatagram();
    QElapsedTimer clock;
    clock.start();

    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    if (!socket.waitForConnected(2000))
        return false;
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
