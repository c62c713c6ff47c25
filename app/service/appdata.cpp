#include "appdata.h"

#include "br2error.h"
#include "br2file.h"
#include "br2rpcpacket.h"
#include "br2utils.h"
#include "childprocess.h"
#include "fileidentitystore.h"
#include "mzthumbgen.h"
#include "quarantine.h"
#include "renderhelpers.h"
#include "rendersettings.h"
#include "sourcecopy.h"
#include "stopflag.h"
#include "thumbnailfile.h"
#include "workeractivity.h"

#include <QDateTime>
#include <QFileInfo>
#include <QImageReader>
#include <QMimeDatabase>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

namespace {

AppData *g_instance = nullptr;
int g_quitPipe[2] = {-1, -1};

// Runs in signal context: only async-signal-safe work. SIGINT and SIGTERM
// hand the signal number to the event loop through a pipe; the loop prints
// and quits. SIGHUP and SIGPIPE land here too and do nothing, which (unlike
// SIG_IGN) is not inherited by ffmpeg and command children.
void sigInt_AppQuit(int signal)
{
    if (signal != SIGINT && signal != SIGTERM)
        return;
    const int saved = errno;
    const char byte = char(signal);
    if (g_quitPipe[1] >= 0)
        (void)!::write(g_quitPipe[1], &byte, 1);
    errno = saved;
}

void route(int signal, void (*handler)(int))
{
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(signal, &sa, nullptr);
}

}   // namespace

AppConfig readAppConfig(const QJsonObject &configure, const QJsonObject &settings)
{
    AppConfig c;
    c.lpcid = configure.value(QStringLiteral("lpcid")).toString().trimmed();
    c.debugging = toBool(configure.value(QStringLiteral("debugging")));
    c.poporder = toInt(configure.value(QStringLiteral("poporder"))) >= 2 ? 2 : 1;
    c.threads = toInt(configure.value(QStringLiteral("threads")));
    c.priority = configure.contains(QStringLiteral("priority"))
        ? qBound(0, toInt(configure.value(QStringLiteral("priority"))), 7)
        : 1;
    c.dbpath = configure.value(QStringLiteral("database")).toString().trimmed();
    if (c.dbpath.isEmpty())
        c.dbpath = QStringLiteral("/orby/etc/thumbgen/queue.db");
    if (configure.contains(QStringLiteral("memorylimit")))
        c.memoryLimitMiB = qMax(16, toInt(configure.value(QStringLiteral("memorylimit"))));
    c.trustGroup = configure.value(QStringLiteral("trustgroup")).toString().trimmed();
    if (configure.contains(QStringLiteral("nice")))
        c.niceness = qBound(0, toInt(configure.value(QStringLiteral("nice"))), 19);
    c.videoKeepsAspect = configure.value(QStringLiteral("videofit")).toString().trimmed() == QLatin1String("aspect");
    if (configure.contains(QStringLiteral("rendertimeout")))
        c.renderTimeoutSeconds = qBound(1, toInt(configure.value(QStringLiteral("rendertimeout"))), 3600);
    if (configure.contains(QStringLiteral("folderretry")))
        c.folderRetrySeconds = qBound(1, toInt(configure.value(QStringLiteral("folderretry"))), 86400);
    if (configure.contains(QStringLiteral("filepause")))
        c.filePauseMs = qBound(0, toInt(configure.value(QStringLiteral("filepause"))), 10000);
    if (configure.contains(QStringLiteral("userjobs")))
        c.userJobs = qMax(1, toInt(configure.value(QStringLiteral("userjobs"))));
    if (configure.contains(QStringLiteral("userbytes")))
        c.userBytes = qMax<qint64>(4096, qint64(configure.value(QStringLiteral("userbytes")).toDouble()));
    const QString io = configure.value(QStringLiteral("ioclass")).toString().trimmed();
    if (io == QLatin1String("normal"))
        c.ioClass = RenderSettings::IoUnchanged;
    else if (io == QLatin1String("idle"))
        c.ioClass = RenderSettings::IoIdle;

    const QJsonObject size = settings.value(QStringLiteral("size")).toObject();
    const int w = toInt(size.value(QStringLiteral("width")));
    const int h = toInt(size.value(QStringLiteral("height")));
    if (w >= 1 && h >= 1) {
        c.width = w;
        c.height = h;
    }
    return c;
}

AppData *AppData::create()
{
    if (!g_instance)
        g_instance = new AppData;
    return g_instance;
}

AppData *IAppData()
{
    return g_instance;
}

AppData::AppData()
    : m_router(this)
    , m_database([this] { return contents(); }, [this] { lostToAnotherService(); })
{
    // A SIGSEGV sent by another process (kill -SEGV) is ignored; a real
    // fault is not, since the kernel delivers a fault's SIGSEGV with the
    // default action whatever the disposition. Children get the default
    // back before they exec (ChildProcess).
    ::signal(SIGSEGV, SIG_IGN);
    route(SIGHUP, sigInt_AppQuit);
    route(SIGPIPE, sigInt_AppQuit);
    qRegisterMetaType<BR2RpcPacket>("BR2RpcPacket");
    m_etcDir.setPath(QStringLiteral("/orby/etc/thumbgen"));
    m_server.add(&m_router);

    if (::pipe2(g_quitPipe, O_NONBLOCK | O_CLOEXEC) == 0) {
        m_quitNotifier = new QSocketNotifier(g_quitPipe[0], QSocketNotifier::Read, this);
        connect(m_quitNotifier, &QSocketNotifier::activated, this, &AppData::onQuitSignal);
    }
    route(SIGINT, sigInt_AppQuit);
    route(SIGTERM, sigInt_AppQuit);

    m_retryTimer = new QTimer(this);
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, [this] {
        topUp();
        armRetry();
    });
    // An idle service keeps no render helper, nor the workers' copies of
    // pictures: each ends a minute after its last picture.
    m_helperTimer = new QTimer(this);
    m_helperTimer->setInterval(10000);
    connect(m_helperTimer, &QTimer::timeout, this, [] {
        RenderHelpers::endIdle();
        SourceCopy::releaseIdle(RenderSettings::current().helperIdleMs);
    });
    m_helperTimer->start();
}

AppData::~AppData() = default;

void AppData::onQuitSignal()
{
    char bytes[16];
    while (::read(g_quitPipe[0], bytes, sizeof bytes) > 0) {
    }
    PRINT("Wait for quit ...\n");
    // Walkers, ffmpeg and command children notice the request within a
    // fraction of a second; a job cut off keeps its row and is redone after
    // the next start. Work that cannot be interrupted (hashing a huge file,
    // one large decode) is not waited for: the process ends regardless,
    // without running static destructors under live worker threads.
    quit(0);
}

void AppData::quit(int status)
{
    m_server.stop();
    requestStop();
    m_pool.waitForDone(1500);
    // Jobs done since the last flush: their thumbnails to disk and their
    // rows gone, or they would all be redone after the next start. Not when
    // another service has the database: its rows are that service's now.
    if (status == 0)
        flushHeld();
    // A command's own children, and a child whose worker is still winding
    // down, must not outlive the service: they would run again after the
    // next start.
    ChildProcess::killAll();
    Quarantine::forgetInProgress();
    std::fflush(stdout);
    ::_exit(status);
}

bool AppData::initialize(const QString &cfgPath)
{
    QString cfgFile;
    if (!cfgPath.isEmpty()) {
        cfgFile = cfgPath;
        m_etcDir.setPath(QFileInfo(cfgPath).absolutePath());
    } else {
        cfgFile = m_etcDir.filePath(QStringLiteral("config.json"));
    }
    m_configure = BR2File::readJsonObject(cfgFile);
    m_lpcid = m_configure.value(QStringLiteral("lpcid")).toString().trimmed();

    BR2Journals journal;
    if (m_lpcid.isEmpty()) {
        journal.add(PRETTY(Q_FUNC_INFO, __LINE__), QStringLiteral("lpcid"), false, QStringLiteral("未定义lpcid内容"),
                    QString());
    } else {
        const AppConfig c = readAppConfig(m_configure,
                                          BR2File::readJsonObject(m_etcDir.filePath(QStringLiteral("settings.json"))));
        m_debugging = c.debugging;
        m_poporder = c.poporder;
        m_threads.storeRelaxed(c.threads);
        m_priority = c.priority;
        m_width = c.width;
        m_height = c.height;
        m_database.setPath(c.dbpath);
        m_folderRetryMs = c.folderRetrySeconds * 1000;
        m_userJobs = c.userJobs;
        m_userBytes = c.userBytes;
        RenderSettings render = RenderSettings::current();
        render.memoryCap = c.memoryLimitMiB * 1024 * 1024;
        render.debugging = c.debugging;
        render.niceness = c.niceness;
        render.videoKeepsAspect = c.videoKeepsAspect;
        render.ioClass = RenderSettings::IoClass(c.ioClass);
        render.renderTimeoutMs = c.renderTimeoutSeconds * 1000;
        render.walkPauseMs = c.filePauseMs;
        RenderSettings::set(render);
        m_policy.serviceUid = ::geteuid();
        if (!c.trustGroup.isEmpty()) {
            const QByteArray name = c.trustGroup.toLocal8Bit();
            if (const struct group *g = ::getgrnam(name.constData())) {
                m_policy.haveTrustGroup = true;
                m_policy.trustGid = g->gr_gid;
            } else {
                const QString unknown = QStringLiteral("unknown trustgroup ") + c.trustGroup;
                PRINTEXPR(unknown);
            }
        }
        // Loaded now, as the service: a stranger's walk must not be the
        // first to read them, under the stranger's identity.
        QMimeDatabase().mimeTypeForFile(QStringLiteral("a.jpg"), QMimeDatabase::MatchExtension);
        QImageReader::supportedImageFormats();
        // One database has one service, and the socket's name must be free
        // before anything is opened or run.
        if (!m_database.lockQueue() || !BR2LocalServer::mayListen(m_lpcid))
            return false;
        if (bringUpQueue())
            m_initialized = true;
    }

    if (m_initialized) {
        if (m_debugging)
            PRINTLN_WITHTIMEPOS(QStringLiteral("配置文装载成功: ") + cfgFile, __FILE__, __LINE__, "initialize");
    } else {
        PRINTLN_WITHTIMEPOS(QStringLiteral("系统配置文装载失败: ") + cfgFile, __FILE__, __LINE__, "initialize");
        const QJsonArray entries = journal.segments();
        for (const QJsonValue &entry : entries)
            PRINTLN(entry.toObject().value(QStringLiteral("msg")).toString());
    }
    return m_initialized;
}

// Called with m_dbWriteMutex held, when another service has taken the
// database: this one must not run another job from its memory, or jobs
// would run in both. It stops as at a SIGTERM, with status 1.
void AppData::lostToAnotherService()
{
    PRINTLN(QStringLiteral("another service took over queue database %1; stopping").arg(m_database.path()));
    requestStop();
    QMetaObject::invokeMethod(this, [this] { quit(1); }, Qt::QueuedConnection);
}

bool AppData::bringUpQueue()
{
    if (!m_database.open())
        return false;

    // The side files exist beside a database known to be ours only.
    Quarantine::open(m_database.path());
    FileIdentityStore::open(m_database.path());

    const QList<QJsonObject> stored = m_database.storedJobs();
    for (const QJsonObject &job : stored) {
        m_highest = qMax(m_highest, toInt(job.value(QStringLiteral("quuno"))));
        m_queue.append(job);
        shareLocked(job, 1);
    }

    int threads = 0;
    if (m_database.storedThreads(threads))
        m_threads.storeRelaxed(threads);

    setThreads(m_threads.loadRelaxed());
    return true;
}

// What a database made anew stores again, read with m_dbWriteMutex held.
QueueDatabase::Contents AppData::contents()
{
    QueueDatabase::Contents c;
    {
        QMutexLocker lock(&m_mutex);
        c.jobs = m_running.values() + m_queue;
        c.highest = m_highest;
    }
    c.threads = m_threads.loadRelaxed();
    return c;
}

void AppData::setThreadsLocked(int count)
{
    const int most = 2 * QThread::idealThreadCount();
    if (count > most)
        count = most;
    if (count <= 0)
        count = 1;
    m_threads.storeRelaxed(count);
    m_pool.setMaxThreadCount(count);
    topUp();
}

void AppData::setThreads(int count)
{
    QMutexLocker lock(&m_threadsMutex);
    setThreadsLocked(count);
}

void AppData::changeThreads(int count)
{
    QMutexLocker lock(&m_threadsMutex);
    setThreadsLocked(count);
    QMutexLocker write(&m_dbWriteMutex);
    m_database.storeThreads(m_threads.loadRelaxed());
}

void AppData::topUp()
{
    if (stopRequested())
        return;
    const int threads = m_threads.loadRelaxed();
    for (int i = 0; qMax(i, MZThumbgen::amount()) < threads; ++i)
        m_pool.start(new MZThumbgen(this), m_priority);
}

namespace {

// The untrusted client a job belongs to, or -1.
qint64 jobOwner(const QJsonObject &job)
{
    const QJsonValue uid = job.value(QStringLiteral("peer")).toObject().value(QStringLiteral("uid"));
    return uid.isDouble() ? qint64(uid.toDouble()) : -1;
}

// What a job's stored item costs: its arguments, command and identity as
// the stored JSON text (not its number and time, added after the check).
qint64 jobBytes(const QJsonObject &job)
{
    QJsonObject item = job;
    item.remove(QStringLiteral("quuno"));
    item.remove(QStringLiteral("crttime"));
    return QJsonDocument(item).toJson(QJsonDocument::Compact).size();
}

} // namespace

// Counts a job in (sign 1) or out (-1) of its owner's share, with m_mutex held.
void AppData::shareLocked(const QJsonObject &job, int sign)
{
    const qint64 uid = jobOwner(job);
    if (uid < 0)
        return;
    Share &share = m_shares[uint(uid)];
    share.jobs += sign;
    share.bytes += sign * jobBytes(job);
    if (share.jobs <= 0)
        m_shares.remove(uint(uid));
}

QHash<int, uint> AppData::owners()
{
    QHash<int, uint> out;
    QMutexLocker lock(&m_mutex);
    const auto add = [&](const QJsonObject &job) {
        const qint64 uid = jobOwner(job);
        if (uid >= 0)
            out.insert(toInt(job.value(QStringLiteral("quuno"))), uint(uid));
    };
    for (const QJsonObject &job : qAsConst(m_running))
        add(job);
    for (const QJsonObject &job : qAsConst(m_queue))
        add(job);
    return out;
}

int AppData::push(BR2Journals &journal, const QStringList &args, const QString &command, const QJsonObject &owner)
{
    QJsonObject item;
    item.insert(QStringLiteral("args"), QJsonArray::fromStringList(args));
    item.insert(QStringLiteral("command"), command);
    if (!owner.isEmpty())
        item.insert(QStringLiteral("peer"), owner);

    QList<int> undeleted;
    int lastId = 0;
    {
        // Acknowledged means stored where the next start finds it.
        QMutexLocker write(&m_dbWriteMutex);
        // Pushes are serialised here: a share checked now holds until the
        // job is in it.
        if (!owner.isEmpty()) {
            QMutexLocker lock(&m_mutex);
            const Share share = m_shares.value(uint(jobOwner(item)));
            if (share.jobs + 1 > m_userJobs) {
                journal.setErr(BR2Error::ERR_LIMIT, QStringLiteral("超出限制: jobs %1").arg(m_userJobs));
                return 0;
            }
            if (share.bytes + jobBytes(item) > m_userBytes) {
                journal.setErr(BR2Error::ERR_LIMIT, QStringLiteral("超出限制: bytes %1").arg(m_userBytes));
                return 0;
            }
        }
        QString reason;
        if (!m_database.append(item, lastId, reason)) {
            journal.setErr(BR2Error::ERR_FAILED, QStringLiteral("任务无法保存: ") + reason);
            return 0;
        }
        item.insert(QStringLiteral("quuno"), lastId);
        item.insert(QStringLiteral("crttime"), QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        QMutexLocker lock(&m_mutex);
        m_highest = qMax(m_highest, lastId);
        m_queue.append(item);
        shareLocked(item, 1);
        undeleted.swap(m_undeleted);
    }
    if (!undeleted.isEmpty())
        deletePending(undeleted);
    topUp();
    return lastId;
}

// Whether a waiting job may run now: not while it waits out the delay
// after its thumbnail folder took no files.
bool AppData::readyLocked(const QJsonObject &job, qint64 now) const
{
    if (m_postponed.isEmpty())
        return true;
    const auto it = m_postponed.constFind(toInt(job.value(QStringLiteral("quuno"))));
    return it == m_postponed.constEnd() || it->retryAt <= now;
}

bool AppData::pop(QJsonObject &item)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QMutexLocker lock(&m_mutex);
    const int count = m_queue.size();
    for (int n = 0; n < count; ++n) {
        const int i = m_poporder == 1 ? n : count - 1 - n;
        if (!readyLocked(m_queue.at(i), now))
            continue;
        item = m_queue.takeAt(i);
        m_running.insert(toInt(item.value(QStringLiteral("quuno"))), item);
        return true;
    }
    return false;
}

int AppData::queuedCount()
{
    QMutexLocker lock(&m_mutex);
    return m_queue.size();
}

QList<QJsonObject> AppData::jobs(int offset, int limit, int &total, qint64 onlyUid)
{
    QList<QJsonObject> all;
    QHash<int, Postponement> postponed;
    {
        QMutexLocker lock(&m_mutex);
        all = m_running.values() + m_queue;
        postponed = m_postponed;
    }
    if (onlyUid >= 0)
        all.erase(std::remove_if(all.begin(), all.end(), [onlyUid](const QJsonObject &job) { return jobOwner(job) != onlyUid; }),
                  all.end());
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    total = all.size();
    std::sort(all.begin(), all.end(), [](const QJsonObject &a, const QJsonObject &b) {
        return toInt(a.value(QStringLiteral("quuno"))) < toInt(b.value(QStringLiteral("quuno")));
    });
    QList<QJsonObject> page;
    for (int i = qMax(0, offset); i < all.size() && page.size() < limit; ++i) {
        const QJsonObject &job = all.at(i);
        const int quuno = toInt(job.value(QStringLiteral("quuno")));
        QJsonObject entry{{QStringLiteral("quuno"), job.value(QStringLiteral("quuno"))},
                          {QStringLiteral("crttime"), job.value(QStringLiteral("crttime")).toString()},
                          {QStringLiteral("args"), job.value(QStringLiteral("args"))},
                          {QStringLiteral("command"), job.value(QStringLiteral("command")).toString()}};
        const auto p = postponed.constFind(quuno);
        if (p != postponed.constEnd() && p->retryAt > now)
            entry.insert(QStringLiteral("waiting"), QJsonObject{{QStringLiteral("folder"), p->folder},
                                                                {QStringLiteral("reason"), p->reason},
                                                                {QStringLiteral("retry"), (p->retryAt - now + 999) / 1000}});
        page.append(entry);
    }
    return page;
}

JobQueue::CancelOutcome AppData::cancel(int quuno)
{
    {
        QMutexLocker lock(&m_mutex);
        const auto it = std::find_if(m_queue.begin(), m_queue.end(), [quuno](const QJsonObject &job) {
            return toInt(job.value(QStringLiteral("quuno"))) == quuno;
        });
        if (it == m_queue.end()) {
            if (!m_running.contains(quuno))
                return CancelUnknown;
            JobActivity::cancel(quuno);
            return CancelStopping;
        }
        shareLocked(*it, -1);
        m_queue.erase(it);
        m_postponed.remove(quuno);
    }
    deletePending({quuno});
    return CancelRemoved;
}

qint64 AppData::databaseBytes() const
{
    return m_database.bytes();
}

bool AppData::hasQueued()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QMutexLocker lock(&m_mutex);
    return std::any_of(m_queue.cbegin(), m_queue.cend(), [&](const QJsonObject &job) { return readyLocked(job, now); });
}

QJsonArray AppData::postponed()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QJsonArray out;
    QMutexLocker lock(&m_mutex);
    for (auto it = m_postponed.cbegin(); it != m_postponed.cend(); ++it) {
        if (it->retryAt <= now || m_running.contains(it.key()))
            continue;
        out.append(QJsonObject{{QStringLiteral("quuno"), it.key()},
                               {QStringLiteral("folder"), it->folder},
                               {QStringLiteral("reason"), it->reason},
                               {QStringLiteral("retry"), (it->retryAt - now + 999) / 1000}});
    }
    return out;
}

void AppData::postpone(int quuno, const QString &folder, const QString &reason, const QStringList &wroteInto)
{
    qint64 delayMs = 0;
    {
        QMutexLocker lock(&m_mutex);
        const auto job = m_running.constFind(quuno);
        if (job == m_running.constEnd())
            return;
        Postponement &p = m_postponed[quuno];
        // A job that wrote thumbnails since its last refusal was not
        // refused in a row; what it wrote is flushed with its completion.
        if (!wroteInto.isEmpty())
            p.refusals = 0;
        p.wrote += wroteInto;
        // 1, 5, 15, then 60 times the first delay (a minute by default).
        static const int steps[] = {1, 5, 15, 60};
        delayMs = qint64(m_folderRetryMs) * steps[qMin(p.refusals, 3)];
        p.retryAt = QDateTime::currentMSecsSinceEpoch() + delayMs;
        ++p.refusals;
        p.folder = folder;
        p.reason = reason;
        m_queue.prepend(job.value());
        m_running.remove(quuno);
    }
    PRINTLN(QStringLiteral("job %1 waits for its thumbnail folder %2 (%3); tried again in %4 s")
                .arg(quuno)
                .arg(folder, reason)
                .arg(delayMs / 1000));
    QMetaObject::invokeMethod(this, [this] { armRetry(); }, Qt::QueuedConnection);
}

// Main thread: wakes the workers for postponed jobs that are due, and
// again when the next one is.
void AppData::armRetry()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    qint64 next = 0;
    bool due = false;
    {
        QMutexLocker lock(&m_mutex);
        for (auto it = m_postponed.cbegin(); it != m_postponed.cend(); ++it) {
            if (m_running.contains(it.key()))
                continue;
            if (it->retryAt <= now)
                due = true;
            else
                next = next == 0 ? it->retryAt : qMin(next, it->retryAt);
        }
    }
    if (due)
        topUp();
    if (next != 0)
        m_retryTimer->start(int(qMin<qint64>(next - now, 3600 * 1000)));
}

// A job that wrote thumbnails keeps its row until they are on disk: a
// power cut must not leave empty or missing thumbnails behind a deleted
// job. One flush of each file system serves every job completed since the
// last, so a library imported one photo a job pays one flush a second,
// not one per photo; the last job before the queue runs dry is flushed at
// once.
bool AppData::completed(int quuno, const QStringList &wroteInto)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QList<int> quunos;
    QList<int> flushed;       // taken from m_held: deleted once their folders are flushed
    QStringList folders;
    {
        QMutexLocker lock(&m_mutex);
        const auto job = m_running.constFind(quuno);
        if (job != m_running.constEnd())
            shareLocked(*job, -1);
        m_running.remove(quuno);
        const QStringList wrote = wroteInto + m_postponed.take(quuno).wrote;
        if (wrote.isEmpty()) {
            quunos.append(quuno);
        } else {
            m_held.append(quuno);
            for (const QString &folder : wrote)
                m_heldFolders.insert(folder);
        }
        const bool dry = std::none_of(m_queue.cbegin(), m_queue.cend(),
                                      [&](const QJsonObject &job) { return readyLocked(job, now); });
        if (!m_held.isEmpty() && (dry || now - m_lastFlush >= 1000)) {
            folders = m_heldFolders.values();
            m_heldFolders.clear();
            flushed.swap(m_held);
            m_lastFlush = now;
        }
        quunos += m_undeleted;
        m_undeleted.clear();
    }
    if (!flushed.isEmpty()) {
        if (flushFolders(folders))
            quunos += flushed;
        else
            PRINTLN(QStringLiteral("thumbnails of %1 jobs may not be on disk; they run again after the next start")
                        .arg(flushed.size()));
    }
    if (!quunos.isEmpty())
        deletePending(quunos);
    return true;
}

// Flushes and deletes what is held, at a quit.
void AppData::flushHeld()
{
    QList<int> quunos;
    QStringList folders;
    {
        QMutexLocker lock(&m_mutex);
        quunos.swap(m_held);
        folders = m_heldFolders.values();
        m_heldFolders.clear();
    }
    if (!quunos.isEmpty() && flushFolders(folders))
        deletePending(quunos);
}

// A row that cannot be deleted now (a full disk) keeps its number and is
// tried again at the next push or completion; the worker goes on.
void AppData::deletePending(QList<int> quunos)
{
    QList<int> failed;
    {
        QMutexLocker write(&m_dbWriteMutex);
        failed = m_database.remove(quunos);
        // The last job gone: the rows' space goes back to the file system.
        // A push waits for m_dbWriteMutex, so the queue stays empty meanwhile.
        bool empty;
        {
            QMutexLocker lock(&m_mutex);
            empty = failed.isEmpty() && m_queue.isEmpty() && m_running.isEmpty() && m_held.isEmpty() && m_undeleted.isEmpty();
        }
        if (empty)
            m_database.compact();
    }
    if (failed.isEmpty())
        return;
    QMutexLocker lock(&m_mutex);
    m_undeleted += failed;
}

bool AppData::start()
{
    if (!m_initialized || m_lpcid.isEmpty())
        return false;
    m_server.debugging = m_debugging;
    const PeerPolicy policy = m_policy;
    m_server.setTrustPolicy([policy](const BR2PeerCredentials &peer) { return isTrustedPeer(peer, policy); });
    // The workers run already: a failure now ends like a quit, never by
    // returning from main under live threads.
    if (!m_server.start(m_lpcid))
        quit(1);
    PRINTLN(QString(QStringLiteral("lpcID: ") + m_lpcid));
    return true;
}
