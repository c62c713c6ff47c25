#include "missedfiles.h"

#include "br2utils.h"
#include "peeraccess.h"

#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>

#include <deque>

namespace MissedFiles {

namespace {

// Enough to show an operator what went wrong lately, little enough to
// send with every status.
const size_t KEPT = 8;

QMutex g_mutex;
std::deque<QJsonObject> g_recent;     // guarded by g_mutex

} // namespace

void note(const QString &path, const QString &reason, bool printed)
{
    if (!printed)
        PRINTLN(QStringLiteral("no thumbnail for %1: %2").arg(path, reason));
    const BR2PeerCredentials *acting = FsIdentity::current();
    const QJsonObject entry{{QStringLiteral("file"), path},
                            {QStringLiteral("reason"), reason},
                            {QStringLiteral("uid"), acting ? qint64(acting->uid) : qint64(-1)}};
    QMutexLocker locker(&g_mutex);
    g_recent.push_back(entry);
    if (g_recent.size() > KEPT)
        g_recent.pop_front();
}

QJsonArray recent()
{
    QJsonArray out;
    QMutexLocker locker(&g_mutex);
    for (const QJsonObject &entry : g_recent)
        out.append(entry);
    return out;
}

} // namespace MissedFiles
