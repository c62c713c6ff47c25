#ifndef BR2LOCALSERVER_H
#define BR2LOCALSERVER_H

#include "br2todorouter.h"

#include <QJsonObject>
#include <QList>
#include <QLocalServer>
#include <QMutex>
#include <QString>

class BR2Cabinet;
class BR2LocalSocket;

// The service's local socket: accepts connections and serves each on a
// thread of its own (BR2LocalSocket), dispatching every request through the
// embedded root router to the routers added with add(). Also the client side,
// localRequest, for one request to a named server.
class BR2LocalServer : public QLocalServer
{
    Q_OBJECT
public:
    // At most this many connections are served at once; further ones are
    // closed as soon as they are accepted.
    static const int MAX_CONNECTIONS = 1024;

    explicit BR2LocalServer(QObject *parent = nullptr);
    // Stops listening, then stops and reclaims every connection thread
    // before the routers go away.
    ~BR2LocalServer() override;

    // Replies carry "elapsed" and "journals" while this is true; connections
    // read it at every reply. Set it before start().
    bool debugging = false;

    // Listens on name (a path when it holds "/": missing folders are made).
    // A socket left behind by a dead process is replaced; a socket on which
    // a live service answers is left alone and start fails.
    bool start(const QString &name);
    void stop();

    // Adds a router below the root; null and repeated routers are ignored.
    // The server does not own it.
    void add(BR2TodoRouter *router);
    // Dispatches one request: "__LS__" + cmd anywhere in the tree first,
    // then cmd. When nobody serves it, the cabinet gets ERR_MISSING with the
    // command as sent.
    bool doCall(QJsonObject &reply, const QJsonObject &request, BR2Cabinet *cabinet);

    // Connections currently owned (serving, or ended and not yet reclaimed).
    int connectionCount() const;

    // Sends request to the server called name and, unless reply is null or
    // timeout (seconds) is not positive, waits for the answer; the 2 s
    // connect wait counts toward timeout. False: no server, or no answer in
    // time; *reply is then untouched.
    static bool localRequest(const QString &name, const QJsonObject &request, QJsonObject *reply, qint64 timeout);

protected:
    void incomingConnection(quintptr socketDescriptor) override;

private:
    friend class BR2LocalSocket;
    // Called on a connection's thread as its last act; reclaiming happens
    // on the server's thread.
    void connectionEnded();
    void reapConnections();

    QString m_name;
    BR2TodoRouter m_root;
    mutable QMutex m_connectionsMutex;      // guards m_connections
    QList<BR2LocalSocket *> m_connections;  // owned; guarded by m_connectionsMutex
};

#endif // BR2LOCALSERVER_H
