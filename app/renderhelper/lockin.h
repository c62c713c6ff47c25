#ifndef LOCKIN_H
#define LOCKIN_H
#include <QByteArray>
#include <QString>

// What a render helper gives up before it reads a request, in this order:
// - new privileges (PR_SET_NO_NEW_PRIVS), so that nothing it could run
//   gains any, and so that it may install its filter unprivileged;
// - root: started as root it becomes user (or "nobody" when there is no
//   such user) with that user's group and no supplementary groups, and
//   checks that no id of root is left;
// - resources: a data size of dataLimit bytes, no file it may grow
//   (RLIMIT_FSIZE 0; SIGXFSZ is ignored, so a write to a file fails
//   instead of killing it), no core file, a few descriptors;
// - system calls: the filter of seccomppolicy.h.
// False with the reason in error: the helper must then end.
bool lockIn(const QByteArray &user, qint64 dataLimit, QString &error);

// The process's data size now (the data segment and private writable
// mappings: what RLIMIT_DATA limits), -1 when unknown.
qint64 dataSize();

#endif // LOCKIN_H
