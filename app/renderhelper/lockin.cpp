#include "lockin.h"

#include "seccomppolicy.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Descriptors a locked-in helper may open beside the ones it has: the
// picture of a request, and the font files a new face needs.
const int SPARE_DESCRIPTORS = 16;

QString lastError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

bool becomeUser(const QByteArray &user, QString &error)
{
    // The system's unprivileged user when the helpers' own is missing; its
    // well-known ids when even that one is.
    uid_t uid = 65534;
    gid_t gid = 65534;
    const struct passwd *pw = ::getpwnam(user.constData());
    if (!pw)
        pw = ::getpwnam("nobody");
    if (pw) {
        uid = pw->pw_uid;
        gid = pw->pw_gid;
    }
    if (uid == 0 || gid == 0) {
        error = QStringLiteral("the user %1 is root").arg(QString::fromLocal8Bit(user));
        return false;
    }
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0) {
        error = lastError("cannot change the user");
        return false;
    }
    uid_t r, e, s;
    gid_t rg, eg, sg;
    if (::getresuid(&r, &e, &s) != 0 || r == 0 || e == 0 || s == 0 || ::getresgid(&rg, &eg, &sg) != 0 || rg == 0
        || eg == 0 || sg == 0) {
        error = QStringLiteral("root is still there after the change of user");
        return false;
    }
    return true;
}

// One more than the highest descriptor open now.
int descriptorsInUse()
{
    int highest = 2;
    if (DIR *dir = ::opendir("/proc/self/fd")) {
        while (const struct dirent *entry = ::readdir(dir))
            highest = qMax(highest, std::atoi(entry->d_name));
        ::closedir(dir);
    }
    return highest + 1;
}

// Threads of all helpers together: a helper runs about five (its own,
// Qt's two pool threads, a decoder's), and the service at most two workers
// a core.
const rlim_t HELPER_TASKS = 512;

bool limit(int resource, rlim_t value, const char *what, QString &error)
{
    const struct rlimit l = {value, value};
    if (::setrlimit(resource, &l) != 0) {
        error = lastError(what);
        return false;
    }
    return true;
}

} // namespace

bool lockIn(const QByteArray &user, qint64 dataLimit, QString &error)
{
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        error = lastError("PR_SET_NO_NEW_PRIVS");
        return false;
    }
    const pid_t parent = ::getppid();
    const bool root = ::geteuid() == 0;
    if (root && !becomeUser(user, error))
        return false;
    // The helpers' own user may run no more than this many threads in all
    // (every helper of the machine counts), so that a helper taken over
    // cannot exhaust the system's tasks. Not when it runs as the service's
    // user, whose own threads would count.
    if (root && !limit(RLIMIT_NPROC, HELPER_TASKS, "RLIMIT_NPROC", error))
        return false;
    // A change of user clears the death signal the launcher set: set again,
    // a helper never outlives the service, even in the middle of a decode.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || ::getppid() != parent) {
        error = QStringLiteral("the service is gone");
        return false;
    }
    std::signal(SIGXFSZ, SIG_IGN);
    rlim_t data = rlim_t(dataLimit);
#ifdef K8_SANITIZED
    data = RLIM_INFINITY;
#endif
    if (!limit(RLIMIT_DATA, data, "RLIMIT_DATA", error) || !limit(RLIMIT_FSIZE, 0, "RLIMIT_FSIZE", error)
        || !limit(RLIMIT_CORE, 0, "RLIMIT_CORE", error)
        || !limit(RLIMIT_NOFILE, rlim_t(descriptorsInUse() + SPARE_DESCRIPTORS), "RLIMIT_NOFILE", error))
        return false;
    return installRenderFilter(error);
}

qint64 dataSize()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmData:"))
            return line.mid(7).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}
