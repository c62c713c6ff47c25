#include "requestrouter.h"

#include "appdata.h"
#include "br2cabinet.h"
#include "br2error.h"
#include "br2utils.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#ifndef SYS_faccessat2
#define SYS_faccessat2 439
#endif

namespace {

// Every command answers a request holding "help" (whatever its value) with
// its help object instead of acting.
const QJsonObject &helpObject()
{
    static const QJsonObject help = toJsonObject(QByteArrayLiteral("{ \n }"));
    return help;
}

QJsonObject paramsOf(const QJsonObject &cmdObject)
{
    return cmdObject.value(QStringLiteral("params")).toObject();
}

// Takes on the peer's file-system identity for the calling thread only and
// restores the service's on destruction. The raw system calls matter:
// glibc's setgroups() changes every thread of the process, while the
// setgroups system call, setfsuid and setfsgid change only this one, so the
// pool and other connections keep acting as the service.
class FsIdentity
{
public:
    explicit FsIdentity(const BR2PeerCredentials &peer)
    {
        m_savedGroups.resize(size_t(::getgroups(0, nullptr) > 0 ? ::getgroups(0, nullptr) : 0));
        if (!m_savedGroups.empty())
            m_savedGroups.resize(size_t(::getgroups(int(m_savedGroups.size()), m_savedGroups.data())));
        m_savedUid = uid_t(::setfsuid(uid_t(-1)));
        m_savedGid = gid_t(::setfsgid(gid_t(-1)));

        std::vector<gid_t> groups(peer.groups.begin(), peer.groups.end());
        if (::syscall(SYS_setgroups, groups.size(), groups.empty() ? nullptr : groups.data()) != 0)
            return;
        ::setfsgid(gid_t(peer.gid));
        ::setfsuid(uid_t(peer.uid));
        // setfsuid/setfsgid report the previous value, never an error; read
        // back to know the switch really happened.
        m_active = uid_t(::setfsuid(uid_t(-1))) == uid_t(peer.uid) && gid_t(::setfsgid(gid_t(-1))) == gid_t(peer.gid);
    }
    ~FsIdentity()
    {
        ::setfsuid(m_savedUid);
        ::setfsgid(m_savedGid);
        ::syscall(SYS_setgroups, m_savedGroups.size(), m_savedGroups.empty() ? nullptr : m_savedGroups.data());
    }
    FsIdentity(const FsIdentity &) = delete;
    FsIdentity &operator=(const FsIdentity &) = delete;
    bool active() const { return m_active; }

private:
    uid_t m_savedUid = 0;
    gid_t m_savedGid = 0;
    std::vector<gid_t> m_savedGroups;
    bool m_active = false;
};

// faccessat without AT_EACCESS checks the real uid, which for a root
// service passes everything; faccessat2 with AT_EACCESS checks the
// file-system identity taken above. Kernels without it refuse.
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

}   // namespace

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

RequestRouter::RequestRouter(QObject *parent)
    : BR2TodoRouter(parent)
{
}

RequestRouter::~RequestRouter() = default;

void RequestRouter::thumbgen_threads(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
{
    if (answerHelp(retObject, cmdObject, helpObject()))
        return;
    retObject->insert(QStringLiteral("results"), QJsonObject{{QStringLiteral("threads"), IAppData()->threads()}});
    envObject->setErr(BR2Error::ERR_SUCCEED, QString());
}

void RequestRouter::thumbgen_setthreads(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
{
    if (answerHelp(retObject, cmdObject, helpObject()))
        return;
    // The count is the service's for every user of the machine; reading it
    // stays open to all.
    if (!isTrustedPeer(envObject->peerCredentials(), IAppData()->peerPolicy())) {
        envObject->setErr(BR2Error::ERR_NO_PERMISSION, QStringLiteral("没有权限: threads"));
        return;
    }
    const int n = toInt(paramsOf(cmdObject).value(QStringLiteral("threads")));
    if (n < 1) {
        envObject->setErr(BR2Error::ERR_PARAMS, QStringLiteral("缺少参数: threads"));
        return;
    }
    IAppData()->changeThreads(n);
    envObject->setErr(BR2Error::ERR_SUCCEED, QString());
}

void RequestRouter::thumbgen_insert(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
{
    if (answerHelp(retObject, cmdObject, helpObject()))
        return;
    const QJsonObject params = paramsOf(cmdObject);
    const QStringList args = toStrings(params.value(QStringLiteral("args")), false);
    const QString command = params.value(QStringLiteral("command")).toString().trimmed();

    const BR2PeerCredentials peer = envObject->peerCredentials();
    if (!isTrustedPeer(peer, IAppData()->peerPolicy())) {
        // A command job runs as the service; a layout job writes where the
        // service can. Untrusted peers get neither beyond their own rights,
        // judged when the job is queued.
        if (!command.isEmpty()) {
            envObject->setErr(BR2Error::ERR_NO_PERMISSION, QStringLiteral("没有权限: command"));
            return;
        }
        const QString layout = args.value(0);
        if (args.size() >= 3 && (layout == QLatin1String("pellowcloud") || layout == QLatin1String("snapvault"))) {
            QString failed;
            if (!peerMayWalk(peer, args.at(1), args.at(2), failed)) {
                envObject->setErr(BR2Error::ERR_NO_PERMISSION, QStringLiteral("没有权限: ") + failed);
                return;
            }
        }
    }

    if (IAppData()->push(*envObject, args, command))
        envObject->setErr(BR2Error::ERR_SUCCEED, QString());
    else
        envObject->setErr(BR2Error::ERR_FAILED, QString());
}
