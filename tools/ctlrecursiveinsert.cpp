#include "ctlrecursiveinsert.h"

#include "ctloutput.h"
#include "ctlrequest.h"
#include "ctlsentences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QList>

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

int insertRecursive(const Service &service, QStringList args, bool json)
{
    const QString thumbs = QFileInfo(args.at(2)).canonicalFilePath();
    const QString from = QFileInfo(args.at(1)).canonicalFilePath();
    if (!thumbs.isEmpty() && from == thumbs)
        return fail(QStringLiteral("%1 is the thumbnail folder").arg(args.at(1)));
    if (!thumbs.isEmpty() && from.startsWith(thumbs + QLatin1Char('/')))
        return fail(QStringLiteral("%1 lies in the thumbnail folder %2").arg(args.at(1), args.at(2)));
    const QStringList folders = foldersUnder(args.at(1), args.at(2));
    QList<int> numbers;
    int queued = 0;
    int status = 0;
    for (const QString &folder : folders) {
        args[1] = folder;
        QJsonObject reply;
        status = ask(service, insertRequest(args, QString()), reply);
        if (status != 0)   // the service is gone: the rest would wait for nothing
            break;
        if (json)
            printRaw(reply);
        if (!succeeded(reply)) {
            if (!json)
                complain(QStringLiteral("%1: %2").arg(folder, failedSentence(Asked{QStringLiteral("insert"), QStringLiteral("thumbgen_insert"), args}, reply)));
            continue;
        }
        ++queued;
        const QJsonValue quuno = reply.value(QStringLiteral("results")).toObject().value(QStringLiteral("quuno"));
        if (quuno.isDouble())
            numbers << quuno.toInt();
    }
    if (!json) {
        const QLatin1String jobs(folders.size() == 1 ? "job" : "jobs");
        QString said = queued == folders.size() ? QStringLiteral("queued %1 %2, one per folder").arg(queued).arg(jobs)
                                                : QStringLiteral("queued %1 of %2 %3, one per folder").arg(queued).arg(folders.size()).arg(jobs);
        // Other clients' jobs may come between: the numbers are a range
        // only when they follow one another.
        if (!numbers.isEmpty() && numbers.size() == queued) {
            if (numbers.size() == 1)
                said += QStringLiteral(": job %1").arg(numbers.first());
            else if (numbers.last() - numbers.first() + 1 == numbers.size())
                said += QStringLiteral(": jobs %1 to %2").arg(numbers.first()).arg(numbers.last());
            else
                said += QStringLiteral(": jobs %1 to %2, not all of those between").arg(numbers.first()).arg(numbers.last());
        }
        print({said});
    }
    if (status != 0)
        return status;
    return queued == folders.size() ? 0 : 1;
}
