#ifndef CTLREQUEST_H
#define CTLREQUEST_H
#include <QJsonObject>
#include <QString>
#include <QStringList>

struct Asked;

// The service to ask, and how long to wait for each of its replies.
struct Service
{
    QString lpcid;
    QString origin;        // where the name came from: "--lpcid", "--cfg FILE", ...
    qint64 timeout = 10;   // whole seconds
    // Whose server is believed besides root and the client's own user: the
    // owner of the configuration file the socket's name came from, which
    // names a service run as a user of its own.
    uint configOwner = uint(-1);
    QString configFile;
};

QJsonObject commandRequest(const char *cmd, const QJsonObject &params);
QJsonObject jobsRequest(int offset, int limit);
// A job to queue; the reply says its number.
QJsonObject insertRequest(const QStringList &args, const QString &command);

// One request: 0 with its reply, else 2 with the failure said on standard
// error (too large to send, no answer, a server not believed).
int ask(const Service &service, const QJsonObject &request, QJsonObject &reply);
// "err" 0 or 10000.
bool succeeded(const QJsonObject &reply);
// The reply as the service sent it, on one line, for scripts.
void printRaw(const QJsonObject &reply);

// One request for a readable command: 0 with the reply's "results", else
// the exit status, the failure said on standard error.
int exchange(const Service &service, const QJsonObject &request, const Asked &asked, QJsonObject &results);
// One request whose outcome is told in a sentence: what was done on
// standard output, what failed on standard error; with json the reply
// itself instead. Returns the exit status.
int answer(const Service &service, const QJsonObject &request, const Asked &asked, bool json);

#endif // CTLREQUEST_H
