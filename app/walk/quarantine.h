#ifndef QUARANTINE_H
#define QUARANTINE_H
#include "renderresult.h"

#include <QByteArray>
#include <QJsonArray>
#include <QString>

#include <sys/stat.h>

// Poison files: a file that crashes a decoder takes the service down, and
// the job that walked to it would reach it again after every restart.
//
// Before a render, the worker records the file in its slot of
// "DATABASE.inprogress" (pwrite, no fsync: a crash of the process cannot
// lose it) and clears the slot afterwards. At start-up, a file still in a
// slot was being rendered when the process died; one file in several
// workers' slots (the jobs of both layouts over one folder) is one death.
// The process may have died for another reason (kill -9, the OOM killer,
// another worker's file), so such a file only becomes a suspect, which is
// rendered alone. Only a death while a file rendered alone is its own: it
// is then quarantined in "DATABASE.quarantine" (JSON lines, at most
// 10,000, oldest dropped), and walks skip it while its size and
// modification time stay the same. A changed file is tried again, and one
// that renders leaves the list. A video whose ffmpeg ran out of time while
// busy in CPU is remembered too, and tried once per start until it changes.
//
// Files are known by their path's own bytes, as the folder lists them,
// whether or not they are valid UTF-8 (see FileAlias); never by the link a
// renderer opens.
namespace Quarantine {

// Opens the side files beside a queue database that passed its identity
// check and takes over what the previous process left in its slots and in
// the temporary folder. Opening again lets go of what was open.
bool open(const QString &databasePath);
// Clears every slot: a quit that cuts renders off is not their fault.
void forgetInProgress();

enum Verdict { Render, RenderAlone, Skip };
Verdict verdict(const QByteArray &path, const struct stat &st);

// The render of one file, recorded in the calling thread's slot for its
// lifetime and, for a suspect, alone.
class Rendering
{
public:
    Rendering(const QByteArray &path, const struct stat &st, bool alone);
    ~Rendering();
    Rendering(const Rendering &) = delete;
    Rendering &operator=(const Rendering &) = delete;
    // What came of it: a file that rendered or failed leaves the list; one
    // a render helper died on is quarantined at once (nothing else ran in
    // the helper's process); one the helper or ffmpeg (busy in CPU) ran out
    // of time on is tried once per start until it changes.
    void finished(RenderResult result, bool busyTimeout);

private:
    QByteArray m_path;
    struct stat m_st;
};

int count();
// [{"path", "size", "mtime", "added", "state"}]: "quarantined" or "timeout".
QJsonArray list();

// Called with the file's path just before a render starts; tests only.
extern void (*renderHook)(const QByteArray &path);

} // namespace Quarantine

#endif // QUARANTINE_H
