#ifndef CTLSENTENCES_H
#define CTLSENTENCES_H
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The service answers with a code and, on failure, a message in Chinese;
// the client tells the user in one English sentence what happened and why,
// adding the service's own message only where it says more.

// What the client asked, for the sentence that tells its outcome.
struct Asked
{
    QString command;     // the client's command word: insert, run, cancel, ...
    QString cmd;         // the service's command name
    QStringList args;    // insert: LAYOUT SOURCE THUMBS [W H] as sent; setthreads and cancel: the number
};

// A reply of code 0 or 10000: what was done, from its "results".
QString doneSentence(const Asked &asked, const QJsonObject &results);
// Any other reply: what failed, and why as far as the reply and the
// client's own look at the paths tell.
QString failedSentence(const Asked &asked, const QJsonObject &reply);
// The service's fixed texts of its help (Chinese) in English; any other
// text as it is.
QString english(const QString &text);

#endif // CTLSENTENCES_H
