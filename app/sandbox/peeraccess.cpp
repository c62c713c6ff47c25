#include "peeraccess.h"

#include "br2utils.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SYS_faccessat2
#define SYS_faccessat2 439
#endif

namespace {

// The identity the calling thread acts as; null while it acts as the service.
thread_local const FsIdentity *t_active = nullptr;

// The raw setgroups system call changes this thread only (see FsIdentity).
bool setThreadIdentity(uid_t uid, gid_t gid, const std::vector<gid_t> &groups)
{
    if (::syscall(SYS_setgroups, groups.size(), groups.empty() ? nullptr : groups.data()) != 0)
        return false;
    ::setfsgid(gid);
    ::setfsuid(uid);
    // setfsuid/setfsgid report the previous value, never an error; read
    // back to know the switch really happened.
    return uid_t(::setfsuid(uid_t(-1))) == uid && gid_t(::setfsgid(gid_t(-1))) == gid;
}

// faccessat without AT_EACCESS checks the real uid, which for a root
// service passes everything; faccessat2 with AT_EACCESS checks the
// file-system identity taken by FsIdentity. Kernels without it refuse.
bool mayAccess(const QString &path, int mode)
{
    const QByteArray native = QFile::encodeName(path);
    return ::syscall(SYS_faccessat2, AT_FDCWD, native.constData(), mode, AT_EACCESS) == 0;
}

bool isDirectory(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isWholeNumber(const QJsonValue &v)
{
    return v.isDouble() && v.toDouble() >= 0 && v.toDouble() < 4294967295.0 && v.toDouble() == double(qint64(v.toDouble()));
}

} // namespace

bool isTrustedPeer(const BR2PeerCredentials &peer, const PeerPolicy &policy)
{
    if (!peer.valid)
        return false;
    if (peer.uid == 0 || peer.uid == policy.serviceUid)
        return true;
    if (!policy.haveTrustGroup)
        return false;
    return peer.gid == policy.trustGid || peer.groups.contains(policy.trustGid);
}

bool peerMayWalk(const BR2PeerCredentials &peer, const QString &source, const QString &thumbs, QString &failedPath)
{
    failedPath = source;
    if (!peer.valid)
        return false;
    FsIdentity as(peer);
    if (!as.active()) {
        // Without the right to take another identity nothing can be checked
        // for the peer; refusing is the safe answer.
        static std::atomic<bool> told{false};
        if (!told.exchange(true)) {
            const QString cannot = QStringLiteral("cannot take a client's identity to check its paths; "
                                                  "layout jobs from untrusted clients are refused");
            PRINTEXPR(cannot);
        }
        return false;
    }
    if (!mayAccess(source, isDirectory(source) ? (R_OK | X_OK) : R_OK))
        return false;
    // The thumbnail folder may not exist yet: then its nearest existing
    // parent must let the peer create it.
    QString target = thumbs;
    while (!QFileInfo::exists(target) && !QFileInfo(target).isSymLink()) {
        const QString parent = QFileInfo(target).absolutePath();
        if (parent == QFileInfo(target).absoluteFilePath())
            break;
        target = parent;
    }
    failedPath = target;
    return mayAccess(target, W_OK | X_OK);
}

bool actingMayRead(const QString &path)
{
    return !FsIdentity::current() || mayAccess(path, R_OK);
}

bool userMayRead(uid_t uid, const QString &path)
{
    BR2PeerCredentials user;
    user.valid = true;
    user.uid = uid;
    // A user the database does not know gets no group but nogroup's.
    user.gid = 65534;
    struct passwd entry;
    struct passwd *found = nullptr;
    std::vector<char> text(16384);
    if (::getpwuid_r(uid, &entry, text.data(), text.size(), &found) == 0 && found) {
        user.gid = found->pw_gid;
        int count = 64;
        std::vector<gid_t> groups(static_cast<size_t>(count));
        if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
            groups.resize(size_t(count));
            ::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count);
        }
        for (int i = 0; i < count && i < int(groups.size()); ++i)
            user.groups.append(uint(groups[size_t(i)]));
    }
    FsIdentity as(user);
    return as.active() && mayAccess(path, R_OK);
}

QJsonObject peerToJson(const BR2PeerCredentials &peer)
{
    QJsonArray groups;
    for (uint g : peer.groups)
        groups.append(double(g));
    return QJsonObject{{QStringLiteral("uid"), double(peer.uid)},
                       {QStringLiteral("gid"), double(peer.gid)},
                       {QStringLiteral("groups"), groups}};
}

BR2PeerCredentials peerFromJson(const QJsonObject &object)
{
    BR2PeerCredentials peer;
    const QJsonValue uid = object.value(QStringLiteral("uid"));
    const QJsonValue gid = object.value(QStringLiteral("gid"));
    if (!isWholeNumber(uid) || !isWholeNumber(gid))
        return peer;
    for (const QJsonValue &g : object.value(QStringLiteral("groups")).toArray()) {
        if (!isWholeNumber(g))
            return peer;
        peer.groups.append(uint(g.toDouble()));
    }
    peer.uid = uint(uid.toDouble());
    peer.gid = uint(gid.toDouble());
    peer.valid = true;
    return peer;
}

FsIdentity::FsIdentity(const BR2PeerCredentials &peer)
    : m_peer(peer)
{
    const int count = ::getgroups(0, nullptr);
    m_savedGroups.resize(size_t(count > 0 ? count : 0));
    if (!m_savedGroups.empty())
        m_savedGroups.resize(size_t(::getgroups(int(m_savedGroups.size()), m_savedGroups.data())));
    m_savedUid = uid_t(::setfsuid(uid_t(-1)));
    m_savedGid = gid_t(::setfsgid(gid_t(-1)));
    m_previous = t_active;
    if (!peer.valid)
        return;
    m_active = setThreadIdentity(uid_t(peer.uid), gid_t(peer.gid), std::vector<gid_t>(peer.groups.begin(), peer.groups.end()));
    if (m_active)
        t_active = this;
}

FsIdentity::~FsIdentity()
{
    ::setfsuid(m_savedUid);
    ::setfsgid(m_savedGid);
    ::syscall(SYS_setgroups, m_savedGroups.size(), m_savedGroups.empty() ? nullptr : m_savedGroups.data());
    t_active = m_previous;
}

const BR2PeerCredentials *FsIdentity::current()
{
    return t_active ? &t_active->m_peer : nullptr;
}

ServiceIdentity::ServiceIdentity()
    : m_client(t_active)
{
    if (!m_client)
        return;
    // What the outermost identity taken on this thread saved is the service's own.
    const FsIdentity *first = m_client;
    while (first->m_previous)
        first = first->m_previous;
    setThreadIdentity(first->m_savedUid, first->m_savedGid, first->m_savedGroups);
    t_active = nullptr;
}

ServiceIdentity::~ServiceIdentity()
{
    if (!m_client)
        return;
    const BR2PeerCredentials &peer = m_client->m_peer;
    // It was taken once on this thread, so this cannot fail short of a
    // broken kernel; were it to, the thread would go on with the service's
    // rights on the client's behalf, which must never happen.
    if (!setThreadIdentity(uid_t(peer.uid), gid_t(peer.gid), std::vector<gid_t>(peer.groups.begin(), peer.groups.end()))) {
        PRINTLN(QStringLiteral("cannot act as uid %1 again; stopping").arg(peer.uid));
        std::abort();
    }
    t_active = m_client;
}
