#include "quarantine.h"

#include "br2utils.h"
#include "filealias.h"
#include "peeraccess.h"
#include "privatefile.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QReadWriteLock>
#include <QSaveFile>
#include <QVector>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace Quarantine {

void (*renderHook)(const QByteArray &path) = nullptr;

// Both side files hold JSON objects, one a line. A file is named by "path",
// its text, and when its bytes are not valid UTF-8 also by "path64", the
// bytes in base64, which wins on reading. The list, "DATABASE.quarantine",
// adds "size", "mtime" and "mtimens" (the modification time in s and ns),
// "added" (s since the epoch) and "state" ("suspect", "quarantined",
// "timeout"). The slots, "DATABASE.inprogress", are SLOT_BYTES each, one
// per worker thread, a free one starting with a newline; a taken one adds
// "size", "mtime", "mtimens" and "alone" (whether it rendered alone).
namespace {

enum State { Suspect, Quarantined, TimedOut };
const char *const STATE_NAMES[] = {"suspect", "quarantined", "timeout"};
const int MAX_ENTRIES = 10000;
// A slot holds one JSON line; a path too long for it is not recorded.
const int SLOT_BYTES = 8192;

struct Entry
{
    qint64 size = 0;
    qint64 mtimeNs = 0;
    qint64 added = 0;      // s since the epoch
    State state = Suspect;
    bool triedNow = false; // a timed-out video tried by this process
};

const qint64 NS = 1000000000;

qint64 mtimeNs(const struct stat &st)
{
    return qint64(st.st_mtim.tv_sec) * NS + st.st_mtim.tv_nsec;
}

// Seconds and nanoseconds apart: JSON numbers are doubles, which cannot
// hold nanoseconds since the epoch exactly.
qint64 mtimeOf(const QJsonObject &o)
{
    return qint64(o.value(QStringLiteral("mtime")).toDouble()) * NS + qint64(o.value(QStringLiteral("mtimens")).toDouble());
}

// The file's name in a line of either side file.
QJsonObject named(const QByteArray &path)
{
    QJsonObject o{{QStringLiteral("path"), QFile::decodeName(path)}};
    if (!FileAlias::isValidName(path))
        o.insert(QStringLiteral("path64"), QString::fromLatin1(path.toBase64()));
    return o;
}

QByteArray pathOf(const QJsonObject &o)
{
    const QJsonValue raw = o.value(QStringLiteral("path64"));
    return raw.isString() ? QByteArray::fromBase64(raw.toString().toLatin1()) : QFile::encodeName(o.value(QStringLiteral("path")).toString());
}

// The mutex and the slots are never destroyed: a thread's end, which gives
// its slot back, can come after the process's statics are gone.
QMutex &g_mutex = *new QMutex;        // guards everything below
QHash<QByteArray, Entry> g_entries;
QString g_listPath;
int g_slotFd = -1;
QVector<bool> &g_slotUsed = *new QVector<bool>;
QReadWriteLock g_gate;                // read: a render; write: a suspect's render alone

// The calling thread's slot, given back when the thread ends.
struct ThreadSlot
{
    int index = -1;
    ~ThreadSlot()
    {
        if (index < 0)
            return;
        QMutexLocker locker(&g_mutex);
        g_slotUsed[index] = false;
    }
};
thread_local ThreadSlot t_slot;

int slotIndex()
{
    if (t_slot.index >= 0)
        return t_slot.index;
    QMutexLocker locker(&g_mutex);
    const auto free = std::find(g_slotUsed.begin(), g_slotUsed.end(), false);
    t_slot.index = int(free - g_slotUsed.begin());
    if (free == g_slotUsed.end())
        g_slotUsed.append(true);
    else
        *free = true;
    return t_slot.index;
}

// Rewrites the list whole, oldest entries dropped beyond the bound. Called
// with g_mutex held.
void save()
{
    if (g_listPath.isEmpty())
        return;
    // The list's folder is the service's; a walk acting as a client could
    // not make the new file beside it.
    const ServiceIdentity asService;
    QVector<QPair<QByteArray, Entry>> all;
    for (auto it = g_entries.cbegin(); it != g_entries.cend(); ++it)
        all.append({it.key(), it.value()});
    std::sort(all.begin(), all.end(), [](const auto &a, const auto &b) { return a.second.added > b.second.added; });
    while (all.size() > MAX_ENTRIES)
        g_entries.remove(all.takeLast().first);
    QSaveFile file(g_listPath);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return;
    for (auto it = all.crbegin(); it != all.crend(); ++it) {
        QJsonObject line = named(it->first);
        line.insert(QStringLiteral("size"), double(it->second.size));
        line.insert(QStringLiteral("mtime"), double(it->second.mtimeNs / NS));
        line.insert(QStringLiteral("mtimens"), double(it->second.mtimeNs % NS));
        line.insert(QStringLiteral("added"), double(it->second.added));
        line.insert(QStringLiteral("state"), QLatin1String(STATE_NAMES[it->second.state]));
        file.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    }
    if (!file.commit())
        PRINTLN(QStringLiteral("cannot write %1: %2").arg(g_listPath, file.errorString()));
}

void load()
{
    QFile file(g_listPath);
    if (!file.open(QIODevice::ReadOnly))
        return;
    while (!file.atEnd()) {
        const QJsonObject o = QJsonDocument::fromJson(file.readLine()).object();
        const QByteArray path = pathOf(o);
        const QString state = o.value(QStringLiteral("state")).toString();
        if (path.isEmpty())
            continue;
        Entry e;
        e.size = qint64(o.value(QStringLiteral("size")).toDouble());
        e.mtimeNs = mtimeOf(o);
        e.added = qint64(o.value(QStringLiteral("added")).toDouble());
        e.state = state == QLatin1String("quarantined") ? Quarantined : state == QLatin1String("timeout") ? TimedOut : Suspect;
        g_entries.insert(path, e);
    }
}

} // namespace

bool open(const QString &databasePath)
{
    // Links to the files a dead process was rendering, left in the
    // temporary folder.
    FileAlias::removeStale();
    QMutexLocker locker(&g_mutex);
    if (g_slotFd >= 0)
        ::close(g_slotFd);
    g_entries.clear();
    g_listPath = databasePath + QStringLiteral(".quarantine");
    load();
    const QByteArray slotFile = QFile::encodeName(databasePath + QStringLiteral(".inprogress"));
    g_slotFd = ::open(slotFile.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (g_slotFd < 0) {
        PRINTLN(QStringLiteral("cannot open %1: %2").arg(QString::fromLocal8Bit(slotFile), QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    makePrivate({QFile::decodeName(slotFile), g_listPath});
    // What the previous process was rendering when it died: one file in
    // several slots died once, and alone if any slot says so (a file that
    // renders alone is in one slot only).
    QVector<QByteArray> dead;
    QHash<QByteArray, QJsonObject> slotOf;
    std::vector<char> slot(SLOT_BYTES);
    ssize_t got;
    for (off_t at = 0; (got = ::pread(g_slotFd, slot.data(), slot.size(), at)) > 0; at += SLOT_BYTES) {
        const QByteArray text(slot.data(), int(got));
        const QJsonObject o = QJsonDocument::fromJson(text.left(text.indexOf('\n'))).object();
        const QByteArray path = pathOf(o);
        if (path.isEmpty())
            continue;
        if (!slotOf.contains(path))
            dead.append(path);
        if (!slotOf.value(path).value(QStringLiteral("alone")).toBool())
            slotOf.insert(path, o);
    }
    for (const QByteArray &path : qAsConst(dead)) {
        const QJsonObject &o = slotOf[path];
        Entry &e = g_entries[path];
        e.size = qint64(o.value(QStringLiteral("size")).toDouble());
        e.mtimeNs = mtimeOf(o);
        e.added = QDateTime::currentSecsSinceEpoch();
        e.state = o.value(QStringLiteral("alone")).toBool() ? Quarantined : Suspect;
        const QString name = QFile::decodeName(path);
        PRINTLN(e.state == Quarantined ? QStringLiteral("quarantined %1: the service died while it was rendered alone").arg(name)
                                       : QStringLiteral("%1 was being rendered when the service died; it is rendered alone next").arg(name));
    }
    if (::ftruncate(g_slotFd, 0) != 0)
        PRINTLN(QStringLiteral("cannot clear %1").arg(QString::fromLocal8Bit(slotFile)));
    if (!dead.isEmpty())
        save();
    return true;
}

void forgetInProgress()
{
    if (g_slotFd >= 0 && ::ftruncate(g_slotFd, 0) != 0)
        return;
}

Verdict verdict(const QByteArray &path, const struct stat &st)
{
    QMutexLocker locker(&g_mutex);
    const auto it = g_entries.find(path);
    if (it == g_entries.end())
        return Render;
    const bool same = it->size == qint64(st.st_size) && it->mtimeNs == mtimeNs(st);
    switch (it->state) {
    case Suspect:
        return RenderAlone;
    case Quarantined:
        return same ? Skip : RenderAlone;
    case TimedOut:
        if (same && it->triedNow)
            return Skip;
        it->triedNow = true;
        return Render;
    }
    return Render;
}

Rendering::Rendering(const QByteArray &path, const struct stat &st, bool alone)
    : m_path(path)
    , m_st(st)
{
    alone ? g_gate.lockForWrite() : g_gate.lockForRead();
    // The slots' descriptor was opened by the service at start: writing
    // through it needs no identity, whoever the thread acts as.
    if (g_slotFd >= 0) {
        QJsonObject slot = named(path);
        slot.insert(QStringLiteral("size"), double(st.st_size));
        slot.insert(QStringLiteral("mtime"), double(st.st_mtim.tv_sec));
        slot.insert(QStringLiteral("mtimens"), double(st.st_mtim.tv_nsec));
        slot.insert(QStringLiteral("alone"), alone);
        const QByteArray line = QJsonDocument(slot).toJson(QJsonDocument::Compact) + '\n';
        if (line.size() <= SLOT_BYTES && ::pwrite(g_slotFd, line.constData(), size_t(line.size()), off_t(slotIndex()) * SLOT_BYTES) < 0)
            PRINTLN(QStringLiteral("cannot record the file being rendered: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    }
    if (renderHook)
        renderHook(path);
}

Rendering::~Rendering()
{
    if (g_slotFd >= 0) {
        // Cleared whole: a free slot keeps no trace of the path it held.
        static const QByteArray empty = QByteArray(1, '\n') + QByteArray(SLOT_BYTES - 1, '\0');
        if (::pwrite(g_slotFd, empty.constData(), size_t(empty.size()), off_t(slotIndex()) * SLOT_BYTES) < 0)
            PRINTLN(QStringLiteral("cannot clear the file being rendered"));
    }
    g_gate.unlock();
}

void Rendering::finished(RenderResult result, bool busyTimeout)
{
    QMutexLocker locker(&g_mutex);
    if (result == RenderResult::Stopped)
        return;
    if (result == RenderResult::HelperUnavailable) {
        // Not tried: a time-out's one try this start is still to come.
        const auto it = g_entries.find(m_path);
        if (it != g_entries.end() && it->state == TimedOut)
            it->triedNow = false;
        return;
    }
    if (result == RenderResult::HelperDied) {
        // A decoder that died on a file died of that file: no second death
        // is needed to tell, since nothing else ran in its process.
        Entry &e = g_entries[m_path];
        e = Entry{qint64(m_st.st_size), mtimeNs(m_st), QDateTime::currentSecsSinceEpoch(), Quarantined, false};
        save();
    } else if ((result == RenderResult::FfmpegTimedOut && busyTimeout) || result == RenderResult::HelperTimedOut) {
        Entry &e = g_entries[m_path];
        e = Entry{qint64(m_st.st_size), mtimeNs(m_st), QDateTime::currentSecsSinceEpoch(), TimedOut, true};
        save();
    } else if (g_entries.remove(m_path)) {
        save();
    }
}

int count()
{
    QMutexLocker locker(&g_mutex);
    return int(std::count_if(g_entries.cbegin(), g_entries.cend(), [](const Entry &e) { return e.state != Suspect; }));
}

QJsonArray list()
{
    QMutexLocker locker(&g_mutex);
    QJsonArray out;
    for (auto it = g_entries.cbegin(); it != g_entries.cend(); ++it) {
        if (it->state == Suspect)
            continue;
        out.append(QJsonObject{{QStringLiteral("path"), QFile::decodeName(it.key())},
                               {QStringLiteral("size"), double(it->size)},
                               {QStringLiteral("mtime"), double(it->mtimeNs / NS)},
                               {QStringLiteral("mtimens"), double(it->mtimeNs % NS)},
                               {QStringLiteral("added"), double(it->added)},
                               {QStringLiteral("state"), QLatin1String(STATE_NAMES[it->state])}});
    }
    return out;
}

} // namespace Quarantine
