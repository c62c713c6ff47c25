#ifndef REQUESTROUTER_H
#define REQUESTROUTER_H
#include "br2todorouter.h"

#include <QJsonObject>
#include <QString>

class BR2Cabinet;
struct BR2PeerCredentials;

// Who may queue what. The socket is open to every local user, while the
// service usually runs as root and runs command jobs as itself.
struct PeerPolicy
{
    uint serviceUid = 0;
    bool haveTrustGroup = false;
    uint trustGid = 0;
};

// Root, the service's own user and members of the trust group.
bool isTrustedPeer(const BR2PeerCredentials &peer, const PeerPolicy &policy);

// Whether the peer itself may read source and write thumbs, checked with
// the peer's identity on this thread only. False names the path that
// failed in failedPath.
bool peerMayWalk(const BR2PeerCredentials &peer, const QString &source, const QString &thumbs, QString &failedPath);

class RequestRouter : public BR2TodoRouter
{
    Q_OBJECT
public:
    explicit RequestRouter(QObject *parent = nullptr);
    ~RequestRouter() override;

private slots:
    void thumbgen_threads(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject);
    void thumbgen_setthreads(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject);
    void thumbgen_insert(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject);
};

#endif // REQUESTROUTER_H
