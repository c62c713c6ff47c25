#ifndef CTLLOOKUP_H
#define CTLLOOKUP_H
#include <QString>

struct Service;

// Where the client finds the service's socket, in this order: --lpcid,
// --cfg, the file named by K8THUMBGEN_CFG, the default configuration. The
// first one given decides: a configuration file named on purpose that
// holds no socket is an error rather than a reason to ask some other
// service. lpcid and cfg are the options' values, empty when not given.
// False leaves in problem each place looked at and what it held.
bool findService(const QString &lpcid, const QString &cfg, Service &service, QString &problem);

#endif // CTLLOOKUP_H
