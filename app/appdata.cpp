#include "appdata.h"

#include "br2file.h"
#include "br2rpcpacket.h"
#include "br2utils.h"
#include "mzthumbgen.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

namespace {

AppData *g_instance = nullptr;
int g_quitPipe[2] = {-1, -1};

const char *const CREATOR_SQL = ":/k8thumbgen/creator.sql";
const char *const ENGINE_SQL = ":/k8thumbgen/engine.sql";

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
{
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
    MZThumbgen::requestStop();
    m_pool.waitForDone(1500);
    std::fflush(stdout);
    ::_exit(0);
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
        m_dbpath = c.dbpath;
        MZThumbgen::setMemoryCap(c.memoryLimitMiB * 1024 * 1024);
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

bool AppData::bringUpQueue()
{
    m_dbe.loadSqlCreator(QString::fromLatin1(CREATOR_SQL));
    bool created = false;
    if (!m_dbe.open(m_dbpath, &created))
        return false;
    if (!m_dbe.loadSqlEngine(QString::fromLatin1(ENGINE_SQL), false))
        return false;

    QList<QJsonObject> rows;
    if (!m_dbe.call(rows, QStringLiteral("syscfg_dbversion"), QJsonObject()) || rows.isEmpty()
        || toInt(rows.first().value(QStringLiteral("dbver"))) != 1) {
        m_dbe.close();
        return false;
    }
    // Only now that the file is known to be ours may a setting be stored in
    // it: a foreign database is left byte for byte unchanged.
    m_dbe.setJournalModeWal();

    rows.clear();
    if (m_dbe.call(rows, QStringLiteral("queue_alload"), QJsonObject())) {
        for (const QJsonObject &row : qAsConst(rows)) {
            QJsonObject item = toJsonObject(row.value(QStringLiteral("item")).toString());
            item.insert(QStringLiteral("quuno"), toInt(row.value(QStringLiteral("quuno"))));
            m_queue.append(item);
        }
    } else {
        PRINTEXPR(m_dbe.lastError());
    }

    rows.clear();
    if (m_dbe.call(rows, QStringLiteral("syscfg_get"), QJsonObject{{QStringLiteral("key"), QStringLiteral("threads")}})
        && !rows.isEmpty())
        m_threads.storeRelaxed(toInt(rows.first().value(QStringLiteral("value"))));

    setThreads(m_threads.loadRelaxed());
    return true;
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
    m_dbe.call(QStringLiteral("syscfg_set"),
               QJsonObject{{QStringLiteral("key"), QStringLiteral("threads")},
                           {QStringLiteral("value"), m_threads.loadRelaxed()}});
}

void AppData::topUp()
{
    if (MZThumbgen::stopRequested())
        return;
    const int threads = m_threads.loadRelaxed();
    for (int i = 0; qMax(i, MZThumbgen::amount()) < threads; ++i)
        m_pool.start(new MZThumbgen, m_priority);
}

bool AppData::push(BR2Journals &journal, const QStringList &args, const QString &command)
{
    Q_UNUSED(journal)
    QJsonObject item;
    item.insert(QStringLiteral("args"), QJsonArray::fromStringList(args));
    item.insert(QStringLiteral("command"), command);
    const QString text = QString::fromUtf8(QJsonDocument(item).toJson(QJsonDocument::Compact));

    int changes = 0;
    int lastId = 0;
    if (!m_dbe.call(changes, lastId, QStringLiteral("queue_append"), QJsonObject{{QStringLiteral("item"), text}})) {
        PRINTEXPR(m_dbe.lastError());
        return false;
    }
    item.insert(QStringLiteral("quuno"), lastId);
    {
        QMutexLocker lock(&m_mutex);
        m_queue.append(item);
    }
    topUp();
    return true;
}

bool AppData::pop(QJsonObject &item)
{
    QMutexLocker lock(&m_mutex);
    if (m_queue.isEmpty())
        return false;
    item = m_poporder == 1 ? m_queue.takeFirst() : m_queue.takeLast();
    return true;
}

bool AppData::hasQueued()
{
    QMutexLocker lock(&m_mutex);
    return !m_queue.isEmpty();
}

bool AppData::completed(int quuno)
{
    if (m_dbe.call(QStringLiteral("queue_remove"), QJsonObject{{QStringLiteral("quuno"), quuno}}))
        return true;
    PRINTEXPR(m_dbe.lastError());
    return false;
}

bool AppData::start()
{
    if (!m_initialized || m_lpcid.isEmpty())
        return false;
    m_server.debugging = m_debugging;
    const PeerPolicy policy = m_policy;
    m_server.setTrustPolicy([policy](const BR2PeerCredentials &peer) { return isTrustedPeer(peer, policy); });
    if (!m_server.start(m_lpcid))
        return false;
    PRINTLN(QString(QStringLiteral("lpcID: ") + m_lpcid));
    return true;
}
