#ifndef BR2CABINET_H
#define BR2CABINET_H
#include "br2journals.h"

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVector>
#include <memory>

// Who is at the other end of a local connection, as the kernel reported it
// when the connection was accepted. valid is false when nothing was taken.
struct BR2PeerCredentials { bool valid = false; qint64 pid = -1; uint uid = uint(-1); uint gid = uint(-1); QVector<uint> groups; };

// The environment of one connection, handed to every command slot: the
// result journal of the request in progress plus two stores that live as
// long as the connection. The object store is seeded by the transport; the
// value store belongs to handlers. Each store has its own lock and no
// operation holds both, so store calls are safe from any thread. The journal
// part, the local flag and the token belong to the connection's thread.
class BR2Cabinet : public BR2Journals
{
public:
    BR2Cabinet();
    // Copies are deep: a copy owns its own stores and locks.
    BR2Cabinet(const BR2Cabinet &other);
    BR2Cabinet &operator=(const BR2Cabinet &other);
    ~BR2Cabinet() override;

    bool isLocal() const;
    void setLocal(bool local);
    QString token() const;
    void setToken(const QString &token);

    // Object store.
    void insert(const QString &key, const QJsonValue &value);
    QJsonValue value(const QString &key) const;
    QJsonObject object() const;

    // Value store.
    void set(const QString &key, const QJsonValue &value);
    bool get(const QString &key, QJsonValue &value) const;
    QString getString(const QString &key) const;
    bool contains(const QString &key) const;
    void remove(const QString &key);
    QStringList keys() const;
    void clear();

    // Kept apart from both stores, so handlers can neither read nor forge
    // them through insert or set.
    void setPeerCredentials(const BR2PeerCredentials &peer);
    BR2PeerCredentials peerCredentials() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

Q_DECLARE_METATYPE(BR2Cabinet)

#endif // BR2CABINET_H
