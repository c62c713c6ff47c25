#include "workeractivity.h"

#include "stopflag.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>

#include <algorithm>
#include <list>

struct JobActivity::Slot
{
    int quuno = 0;
    QString job;
    QString file;          // guarded by g_mutex
    qint64 since = 0;      // ms since the epoch
    QAtomicInt cancel;
};

namespace {

QMutex g_mutex;                            // guards g_slots and every slot's file
std::list<JobActivity::Slot *> g_slots;    // in order of start
QSet<int> g_cancelled;                     // cancels of jobs popped but not yet registered
thread_local JobActivity::Slot *t_slot = nullptr;

} // namespace

JobActivity::JobActivity(int quuno, const QString &job)
    : m_slot(new Slot)
{
    m_slot->quuno = quuno;
    m_slot->job = job;
    m_slot->since = QDateTime::currentMSecsSinceEpoch();
    {
        QMutexLocker locker(&g_mutex);
        g_slots.push_back(m_slot);
        if (g_cancelled.remove(quuno))
            m_slot->cancel.storeRelease(1);
    }
    t_slot = m_slot;
    setJobStop(&m_slot->cancel);
}

JobActivity::~JobActivity()
{
    setJobStop(nullptr);
    t_slot = nullptr;
    {
        QMutexLocker locker(&g_mutex);
        g_slots.remove(m_slot);
    }
    delete m_slot;
}

bool JobActivity::cancelled() const
{
    return m_slot->cancel.loadAcquire() != 0;
}

void JobActivity::setFile(const QString &path)
{
    if (!t_slot)
        return;
    QMutexLocker locker(&g_mutex);
    t_slot->file = path;
}

QJsonArray JobActivity::running()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QJsonArray out;
    QMutexLocker locker(&g_mutex);
    for (const Slot *s : g_slots) {
        out.append(QJsonObject{{QStringLiteral("quuno"), s->quuno},
                               {QStringLiteral("job"), s->job},
                               {QStringLiteral("file"), s->file},
                               {QStringLiteral("since"), qMax<qint64>(0, (now - s->since) / 1000)}});
    }
    return out;
}

bool JobActivity::cancel(int quuno)
{
    QMutexLocker locker(&g_mutex);
    const auto it = std::find_if(g_slots.begin(), g_slots.end(), [quuno](const Slot *s) { return s->quuno == quuno; });
    if (it == g_slots.end()) {
        g_cancelled.insert(quuno);     // its worker is about to register it
        return false;
    }
    (*it)->cancel.storeRelease(1);
    return true;
}
