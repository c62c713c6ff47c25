#include "br2cabinet.h"

#include <QMutex>
#include <QMutexLocker>

struct BR2Cabinet::Private
{
    bool local = false;                     // no lock: belongs to the connection's thread
    mutable QMutex objectMutex;             // guards object
    QJsonObject object;
    mutable QMutex valueMutex;              // guards values
    QHash<QString, QJsonValue> values;
    QString token;                          // no lock: belongs to the connection's thread
    mutable QMutex peerMutex;               // guards peer; set on the accepting thread, read on the connection's
    BR2PeerCredentials peer;
};

BR2Cabinet::BR2Cabinet()
    : d(new Private)
{
}

BR2Cabinet::BR2Cabinet(const BR2Cabinet &other)
    : BR2Journals(other), d(new Private)
{
    d->local = other.d->local;
    d->token = other.d->token;
    d->object = other.object();
    {
        QMutexLocker locker(&other.d->valueMutex);
        d->values = other.d->values;
    }
    d->peer = other.peerCredentials();
}

BR2Cabinet &BR2Cabinet::operator=(const BR2Cabinet &other)
{
    if (this == &other)
        return *this;
    BR2Journals::operator=(other);
    d->local = other.d->local;
    d->token = other.d->token;
    // Each side's lock is taken on its own, so two cabinets assigned to each
    // other on two threads cannot deadlock.
    const QJsonObject object = other.object();
    {
        QMutexLocker locker(&d->objectMutex);
        d->object = object;
    }
    QHash<QString, QJsonValue> values;
    {
        QMutexLocker locker(&other.d->valueMutex);
        values = other.d->values;
    }
    {
        QMutexLocker locker(&d->valueMutex);
        d->values.swap(values);
    }
    setPeerCredentials(other.peerCredentials());
    return *this;
}

BR2Cabinet::~BR2Cabinet() = default;

bool BR2Cabinet::isLocal() const
{
    return d->local;
}

void BR2Cabinet::setLocal(bool local)
{
    d->local = local;
}

QString BR2Cabinet::token() const
{
    return d->token;
}

void BR2Cabinet::setToken(const QString &token)
{
    d->token = token;
}

void BR2Cabinet::insert(const QString &key, const QJsonValue &value)
{
    QMutexLocker locker(&d->objectMutex);
    d->object.insert(key, value);
}

QJsonValue BR2Cabinet::value(const QString &key) const
{
    QMutexLocker locker(&d->objectMutex);
    return d->object.value(key);
}

QJsonObject BR2Cabinet::object() const
{
    QMutexLocker locker(&d->objectMutex);
    return d->object;
}

void BR2Cabinet::set(const QString &key, const QJsonValue &value)
{
    QMutexLocker locker(&d->valueMutex);
    d->values.insert(key, value);
}

bool BR2Cabinet::get(const QString &key, QJsonValue &value) const
{
    QMutexLocker locker(&d->valueMutex);
    const auto it = d->values.constFind(key);
    if (it == d->values.constEnd())
        return false;
    value = it.value();
    return true;
}

QString BR2Cabinet::getString(const QString &key) const
{
    QMutexLocker locker(&d->valueMutex);
    return d->values.value(key).toString();
}

bool BR2Cabinet::contains(const QString &key) const
{
    QMutexLocker locker(&d->valueMutex);
    return d->values.contains(key);
}

void BR2Cabinet::remove(const QString &key)
{
    QMutexLocker locker(&d->valueMutex);
    d->values.remove(key);
}

QStringList BR2Cabinet::keys() const
{
    QMutexLocker locker(&d->valueMutex);
    return d->values.keys();
}

void BR2Cabinet::clear()
{
    QMutexLocker locker(&d->valueMutex);
    d->values.clear();
}

void BR2Cabinet::setPeerCredentials(const BR2PeerCredentials &peer)
{
    QMutexLocker locker(&d->peerMutex);
    d->peer = peer;
}

BR2PeerCredentials BR2Cabinet::peerCredentials() const
{
    QMutexLocker locker(&d->peerMutex);
    return d->peer;
}
