#ifndef CTLARGUMENTS_H
#define CTLARGUMENTS_H
#include <QString>
#include <QStringList>

// Checks on a command's arguments, made before anything is sent.

// path made absolute and clean, as the service wants it.
QString absolute(const QString &path);
// A whole number above 0, in decimal.
bool isPositive(const QString &text);
// pellowcloud or snapvault.
bool isLayout(const QString &name);
// Checks a layout job (LAYOUT SOURCE THUMBS [W H]) before it is sent: the
// service would queue a wrong one and do nothing with it. Empty when fine,
// else what is wrong.
QString layoutProblem(const QStringList &args);

#endif // CTLARGUMENTS_H
