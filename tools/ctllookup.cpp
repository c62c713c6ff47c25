#include "ctllookup.h"

#include "br2file.h"
#include "ctlrequest.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QStringList>

#include <sys/stat.h>

namespace {

const char *const DEFAULT_CONFIG = "/orby/etc/thumbgen/config.json";
const char *const CONFIG_VARIABLE = "K8THUMBGEN_CFG";

// The socket's name in a configuration file; empty when there is none,
// with what was found instead in found.
QString lpcidIn(const QString &file, QString &found)
{
    const QFileInfo info(file);
    if (!info.exists())
        found = QStringLiteral("no such file");
    else if (!info.isFile() || !info.isReadable())
        found = QStringLiteral("cannot be read");
    const QString lpcid = BR2File::readJsonObject(file).value(QStringLiteral("lpcid")).toString().trimmed();
    if (found.isEmpty() && lpcid.isEmpty())
        found = QStringLiteral("no \"lpcid\" in it");
    return found.isEmpty() ? lpcid : QString();
}

}   // namespace

bool findService(const QString &lpcid, const QString &cfg, Service &service, QString &problem)
{
    if (!lpcid.isEmpty()) {
        service.lpcid = lpcid;
        service.origin = QStringLiteral("--lpcid");
        return true;
    }
    const QString variable = qEnvironmentVariable(CONFIG_VARIABLE);
    QStringList looked{QStringLiteral("--lpcid: not given")};
    QString file, origin;
    if (!cfg.isEmpty()) {
        file = cfg;
        origin = QStringLiteral("--cfg ") + cfg;
    } else {
        looked << QStringLiteral("--cfg: not given");
        if (!variable.isEmpty()) {
            file = variable;
            origin = QStringLiteral("%1=%2").arg(QLatin1String(CONFIG_VARIABLE), variable);
        } else {
            looked << QStringLiteral("%1: not set").arg(QLatin1String(CONFIG_VARIABLE));
            file = QLatin1String(DEFAULT_CONFIG);
            origin = file;
        }
    }
    QString found;
    service.lpcid = lpcidIn(file, found);
    if (service.lpcid.isEmpty()) {
        looked << origin + QStringLiteral(": ") + found;
        problem = QStringLiteral("found no socket to ask; looked at %1 (give --lpcid NAME, --cfg FILE or %2=FILE)")
                      .arg(looked.join(QStringLiteral("; ")), QLatin1String(CONFIG_VARIABLE));
        return false;
    }
    struct stat st;
    if (::stat(QFile::encodeName(file).constData(), &st) == 0)
        service.configOwner = st.st_uid;
    service.configFile = file;
    service.origin = origin;
    return true;
}
