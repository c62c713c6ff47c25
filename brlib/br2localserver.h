#ifndef BR2LOCALSERVER_H
#define BR2LOCALSERVER_H

#include "br2cabinet.h"
#include "br2requestbudget.h"
#include "br2requesthandler.h"
#include "br2todorouter.h"

#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <sys/types.h>

class BR2LocalSocket;
class QSocketNotifier;

// The service's local socket: accepts connections and serves each on a
// thread of its own (BR2LocalSocket), dispatching every request through the
// embedded root router to the routers added with add(). Also the client side,
// localRequest, for one request to a named server.
//
// The socket is reachable by every local user, so no one peer may take all
// connections: each untrusted uid has a cap, and some connections are kept
// for trusted peers. Accepting is done here on the listening descriptor, so
// that running out of descriptors pauses accepting instead of losing the
// socket.
class BR2LocalServer : public QObject, public BR2RequestHandler
{
    Q_OBJECT
public:
    // At most this many connections are served at once (fewer when the
    // process has fewer descriptors); further ones are closed as soon as
    // they are accepted.
    static const int MAX_CONNECTIONS = 1024;
    // Connections one untrusted uid may hold at once.
    static constexpr int MAX_CONNECTIONS_PER_PEER = 64;
    // Request bytes all connections may hold at once, the part untrusted
    // peers together and each untrusted uid may hold, and how many JSON
    // texts over BR2LocalSocket::LARGE_DECODE may be handled at once.
    static constexpr qint64 REQUEST_BUDGET = 32 * 1024 * 1024;
    static constexpr qint64 UNTRUSTED_BUDGET = 24 * 1024 * 1024;
    static constexpr qint64 PEER_BUDGET = 8 * 1024 * 1024;
    static constexpr int LARGE_DECODES = 2;

    explicit BR2LocalServer(QObject *parent = nullptr);
    // Stops listening, then stops and reclaims every connection thread
    // before the routers go away.
    ~BR2LocalServer() override;

    // Replies carry "elapsed" and "journals" while this is true; connections
    // read it at every reply. Set it before start().
    bool debugging = false;

    // Who counts as trusted: such peers are never held to the per-peer cap
    // and may use the reserved connections. Set before start(); by default
    // root and the service's own uid.
    void setTrustPolicy(const std::function<bool(const BR2PeerCredentials &)> &trusted);

    // Listens on name (a path when it holds "/": missing folders are made;
    // any other name lies in the temporary folder). A socket left behind by
    // a dead process is replaced; a socket on which a live service answers,
    // and anything that is not a socket, are left alone and start fails
    // with one console line saying why.
    bool start(const QString &name);
    void stop();
    // The check start() makes before it replaces anything: true when name is
    // free or holds a socket nobody answers on; otherwise one console line.
    static bool mayListen(const QString &name);
    // Where the socket of name lies: a name starting with "/" is the path
    // itself, any other lies in the temporary folder.
    static QString socketPath(const QString &name);
    bool isListening() const { return m_listenFd >= 0; }

    // Adds a router below the root; null and repeated routers are ignored.
    // The server does not own it.
    void add(BR2TodoRouter *router);
    // Dispatches one request: "__LS__" + cmd anywhere in the tree first,
    // then cmd. When nobody serves it, the cabinet gets ERR_MISSING with the
    // command as sent (cut after MAX_ECHOED_NAME characters).
    bool doCall(QJsonObject &reply, const QJsonObject &request, BR2Cabinet *cabinet) override;
    static constexpr int MAX_ECHOED_NAME = 4096;

    // Connections currently owned (serving, or ended and not yet reclaimed).
    int connectionCount() const;
    // The caps as sized at start() from the descriptors the process has.
    int connectionLimit() const { return m_limit; }
    int reservedConnections() const { return m_reserved; }
    const BR2RequestBudget &budget() const { return m_budget; }

    // Sends request to the server called name and, unless reply is null or
    // timeout (seconds) is not positive, waits for the answer; the 2 s
    // connect wait counts toward timeout. False: no server, or no answer in
    // time; *reply is then untouched.
    // acceptServer, when given, judges the uid of the process that serves
    // the socket (from the connection) before anything is sent: a request
    // never reaches a server it refuses (false, with *refusedUid set).
    static bool localRequest(const QString &name, const QJsonObject &request, QJsonObject *reply, qint64 timeout,
                             const std::function<bool(uint)> &acceptServer = nullptr, uint *refusedUid = nullptr);
    // The uid of the process serving a connected socket, or uint(-1).
    static uint serverUid(int fd);

private:
    struct Connection
    {
        BR2LocalSocket *socket;
        uint uid;
        bool trusted;
    };

    void acceptPending();
    void admit(int fd);
    void sizeLimits();
    // Reclaiming happens on the server's thread.
    void connectionEnded() override;
    void reapConnections();

    QString m_name;
    QString m_path;                       // the socket file made by start()
    dev_t m_pathDev = 0;                  // identity of that file, so stop() removes only our own
    ino_t m_pathIno = 0;
    int m_listenFd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer m_resume;                      // re-arms accepting after descriptors ran out
    bool m_acceptFailing = false;         // an accept error was reported and has not cleared yet
    int m_limit = MAX_CONNECTIONS;
    int m_reserved = 0;
    int m_perPeer = MAX_CONNECTIONS_PER_PEER;
    std::function<bool(const BR2PeerCredentials &)> m_trusted;
    BR2RequestBudget m_budget{REQUEST_BUDGET, UNTRUSTED_BUDGET, PEER_BUDGET, LARGE_DECODES};
    BR2TodoRouter m_root;
    mutable QMutex m_connectionsMutex;      // guards m_connections
    QList<Connection> m_connections;        // sockets owned; guarded by m_connectionsMutex
};

#endif // BR2LOCALSERVER_H
