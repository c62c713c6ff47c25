#ifndef PEERACCESS_H
#define PEERACCESS_H
#include "br2cabinet.h"

#include <QJsonObject>
#include <QString>

#include <sys/types.h>
#include <vector>

// Who may do what. The socket is open to every local user, while the
// service usually runs as root: anything done for an untrusted peer is done
// with that peer's rights.
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

// Whether the identity this thread acts as may read path: always for the
// service's own; checked for a client's taken with FsIdentity.
bool actingMayRead(const QString &path);

// Whether the user uid, with its groups from the user database, may read
// path; checked as that user on this thread. A walk follows a link only
// where the link's owner could read the target itself.
bool userMayRead(uid_t uid, const QString &path);

// The identity stored with a stranger's job ("uid", "gid", "groups"), and
// back. A stored object that is not a whole identity gives valid = false.
QJsonObject peerToJson(const BR2PeerCredentials &peer);
BR2PeerCredentials peerFromJson(const QJsonObject &object);

// Takes on the peer's file-system identity for the calling thread only and
// restores the previous one on destruction. The raw system calls matter:
// glibc's setgroups() changes every thread of the process, while the
// setgroups system call, setfsuid and setfsgid change only this one, so the
// pool and other connections keep acting as the service.
//
// While active, the identity is also the one that children started from
// this thread run as (see ChildProcess): execve resets the file-system
// identity to the process's.
class FsIdentity
{
public:
    explicit FsIdentity(const BR2PeerCredentials &peer);
    ~FsIdentity();
    FsIdentity(const FsIdentity &) = delete;
    FsIdentity &operator=(const FsIdentity &) = delete;
    bool active() const { return m_active; }

    // The identity this thread acts as, or null when it acts as the service.
    static const BR2PeerCredentials *current();

private:
    friend class ServiceIdentity;

    BR2PeerCredentials m_peer;
    const FsIdentity *m_previous = nullptr;
    uid_t m_savedUid = 0;
    gid_t m_savedGid = 0;
    std::vector<gid_t> m_savedGroups;
    bool m_active = false;
};

// Puts the service's own file-system identity back on the calling thread
// for its lifetime, and the client's again at its end; nothing when the
// thread already acts as the service. The service's own files (the
// quarantine list, the identity store) live in folders a client may not
// write, and a write made for the service must not fail because a walk
// happens to act as the client.
class ServiceIdentity
{
public:
    ServiceIdentity();
    ~ServiceIdentity();
    ServiceIdentity(const ServiceIdentity &) = delete;
    ServiceIdentity &operator=(const ServiceIdentity &) = delete;

private:
    const FsIdentity *m_client = nullptr;
};

#endif // PEERACCESS_H
