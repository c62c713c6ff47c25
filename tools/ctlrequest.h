#ifndef CTLREQUEST_H
#define CTLREQUEST_H
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The service to ask, and how long to wait for each of its replies.
struct Service
{
    QString lpcid;
    qint64 timeout = 10;   // whole seconds
    // Whose server is believed besides root and the client's own user: the
    // owner of the configuration file the socket's name came from, which
    // names a service run as a user of its own.
    uint configOwner = uint(-1);
    QString configFile;
};

QJsonObject commandRequest(const char *cmd, const QJsonObject &params);
QJsonObject jobsRequest(int offset, int limit);
QJsonObject insertRequest(const QStringList &args, const QString &command);

// One request for a readable command: 0 with the reply's "results", else
// the exit status, the failure said on standard error. what names the
// reply for a service too old to know the command.
int exchange(const Service &service, const QJsonObject &ask, const char *what, QJsonObject &results);
// One request whose reply is printed as indented JSON; returns the exit
// status. help: the request asked for a command's help.
int printReply(const Service &service, const QJsonObject &request, bool help);

#endif // CTLREQUEST_H
