#include "ctlrecursiveinsert.h"

#include "ctloutput.h"
#include "ctlrequest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

#include <set>
#include <utility>

#include <sys/stat.h>

namespace {

// The folders a recursive insert queues a job for: source and every folder
// under it, depth first in name order. Hidden folders are left out (no
// QDir::Hidden), links to folders are not followed, and the thumbnail
// folder counts as seen before the walk begins, so neither it nor what is
// under it is listed; a folder met twice (a bind mount of a parent) is
// listed once, so that no walk goes round for ever.
QStringList foldersUnder(const QString &source, const QString &thumbs)
{
    std::set<std::pair<dev_t, ino_t>> seen;
    struct stat st {};
    if (::stat(QFile::encodeName(thumbs).constData(), &st) == 0)
        seen.insert({st.st_dev, st.st_ino});
    QStringList folders;
    QStringList pending{source};
    while (!pending.isEmpty()) {
        const QString folder = pending.takeLast();
        if (::stat(QFile::encodeName(folder).constData(), &st) != 0 || !seen.insert({st.st_dev, st.st_ino}).second)
            continue;
        folders << folder;
        const QDir dir(folder);
        if (!dir.isReadable())
            complain(QStringLiteral("warning: cannot list %1; folders under it are left out").arg(folder));
        const QStringList names = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
        for (auto it = names.crbegin(); it != names.crend(); ++it)
            pending << dir.filePath(*it);
    }
    return folders;
}

}   // namespace

int insertRecursive(const Service &service, QStringList args)
{
    const QString thumbs = QFileInfo(args.at(2)).canonicalFilePath();
    const QString from = QFileInfo(args.at(1)).canonicalFilePath();
    if (!thumbs.isEmpty() && from == thumbs)
        return fail(QStringLiteral("%1 is the thumbnail folder").arg(args.at(1)));
    if (!thumbs.isEmpty() && from.startsWith(thumbs + QLatin1Char('/')))
        return fail(QStringLiteral("%1 lies in the thumbnail folder %2").arg(args.at(1), args.at(2)));
    const QStringList folders = foldersUnder(args.at(1), args.at(2));
    int queued = 0;
    for (const QString &folder : folders) {
        args[1] = folder;
        QJsonObject results;
        const int status = exchange(service, insertRequest(args, QString()), "insert command", results);
        if (status == 2) {   // the service is gone: the rest would wait for nothing
            print({QStringLiteral("Queued %1 of %2 jobs.").arg(queued).arg(folders.size())});
            return 2;
        }
        if (status != 0)
            complain(QStringLiteral("the job for %1 was not queued").arg(folder));
        queued += status == 0;
    }
    print({queued == folders.size() ? QStringLiteral("Queued %1 jobs, one per folder.").arg(queued)
                                    : QStringLiteral("Queued %1 of %2 jobs, one per folder.").arg(queued).arg(folders.size())});
    return queued == folders.size() ? 0 : 1;
}
