#ifndef CTLRECURSIVEINSERT_H
#define CTLRECURSIVEINSERT_H
#include <QStringList>

struct Service;

// insert --recursive: one layout job per folder, SOURCE and every folder
// under it, each with the same THUMBS, W and H; prints how many it queued
// and their numbers, or with json each reply.
// args: LAYOUT SOURCE THUMBS [W H], checked, SOURCE a folder, the paths
// absolute. Returns 0 when every job was queued, 1 when the service
// refused any, 2 when it stopped answering.
int insertRecursive(const Service &service, QStringList args, bool json);

#endif // CTLRECURSIVEINSERT_H
