#ifndef APPDATA_H
#define APPDATA_H
#include "br2core.h"
#include "br2dbsqlite.h"
#include "br2journals.h"
#include "br2localserver.h"
#include "jobqueue.h"
#include "peeraccess.h"
#include "requestrouter.h"

#include <QAtomicInt>
#include <QJsonArray>
#include <QJsonObject>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include <sys/types.h>

class QSocketNotifier;
class QTimer;

// The service's settings as read from "config.json" and "settings.json",
// with every default and clamp applied. Kept apart from AppData so the
// rules can be checked without the process-wide singleton.
struct AppConfig
{
    QString lpcid;
    bool debugging = false;
    int poporder = 1;
    int threads = 0;
    int priority = 1;
    int width = 200;
    int height = 200;
    QString dbpath;
    qint64 memoryLimitMiB = 256;   // "memorylimit": decode and output cap of the image renderers
    QString trustGroup;            // "trustgroup": members may queue command jobs
    int niceness = 10;             // "nice": 0..19 for the workers and their children
    int ioClass = 1;               // "ioclass": RenderSettings::IoClass ("normal", "besteffort", "idle")
    bool videoKeepsAspect = false; // "videofit": "aspect"
    int folderRetrySeconds = 60;   // "folderretry": first delay of a job whose thumbnail folder takes no files
    int renderTimeoutSeconds = 60; // "rendertimeout": a render helper's time for one picture
};
AppConfig readAppConfig(const QJsonObject &configure, const QJsonObject &settings);

class AppData : public QObject, public BR2Core, public JobQueue
{
    Q_OBJECT
public:
    static AppData *create();
    ~AppData() override;

    bool initialize(const QString &cfgPath);
    bool start();

    bool push(BR2Journals &journal, const QStringList &args, const QString &command,
              const QJsonObject &owner = QJsonObject()) override;
    bool pop(QJsonObject &item) override;
    bool completed(int quuno, const QStringList &wroteInto) override;
    void postpone(int quuno, const QString &folder, const QString &reason) override;
    void setThreads(int count);
    void changeThreads(int count) override;

    int threads() const override { return m_threads.loadRelaxed(); }
    QSize thumbnailBox() const override { return QSize(m_width, m_height); }
    int poolMaxThreads() const { return m_pool.maxThreadCount(); }
    bool debugging() const { return m_debugging; }
    bool hasQueued() override;
    PeerPolicy peerPolicy() const override { return m_policy; }
    int queuedCount() override;
    QList<QJsonObject> jobs(int offset, int limit, int &total) override;
    CancelOutcome cancel(int quuno) override;
    qint64 databaseBytes() const override;
    QJsonArray postponed() override;

    // Ends the process like a quit, with status: stop, let the workers and
    // children go for at most 1.5 s, end what is left, _exit.
    [[noreturn]] void quit(int status);

private:
    AppData();
    QString lockPath() const;
    bool lockQueue();
    bool lockDatabaseFile();
    void lostToAnotherService();
    bool openQueueFile();
    bool bringUpQueue();
    bool recordDatabaseFile();
    bool databaseCurrent() const;
    bool walCurrent() const;
    void recordWal();
    bool lockCurrent() const;
    bool recreateDatabase();
    void deletePending(QList<int> quunos);
    bool readyLocked(const QJsonObject &job, qint64 now) const;
    void armRetry();
    void flushHeld();
    void setThreadsLocked(int count);
    void topUp();
    void onQuitSignal();

    bool m_initialized = false;
    QString m_lpcid;
    RequestRouter m_router;
    BR2LocalServer m_server;
    QString m_dbpath;
    BR2DBSqlite m_dbe;
    int m_poporder = 1;
    QAtomicInt m_threads{1};   // written by setThreads, read lock-free by workers and commands
    int m_priority = 2;
    int m_width = 200;
    int m_height = 200;
    QMutex m_mutex;            // guards m_queue, m_running, m_highest, m_undeleted, m_postponed, m_held*; never held across a database call
    QList<QJsonObject> m_queue;
    QHash<int, QJsonObject> m_running;   // popped and not completed: stored again if the database is recreated
    int m_highest = 0;                   // the highest queue number ever seen
    QList<int> m_undeleted;              // completed jobs whose rows could not be deleted yet
    struct Postponement
    {
        qint64 retryAt = 0;    // ms since the epoch
        int refusals = 0;      // in a row
        QString folder;
        QString reason;
    };
    QHash<int, Postponement> m_postponed;   // waiting jobs whose thumbnail folder took no files
    // Completed jobs whose thumbnails are not known to be on disk yet: their
    // rows go after one flush for many jobs, at most a second later.
    QList<int> m_held;
    QSet<QString> m_heldFolders;
    qint64 m_lastFlush = 0;              // ms since the epoch
    int m_folderRetryMs = 60000;
    QTimer *m_retryTimer = nullptr;      // main thread only
    QTimer *m_helperTimer = nullptr;     // main thread only: ends idle render helpers
    QMutex m_dbWriteMutex;     // serialises writes with the check and re-creation of the database file; taken before m_mutex
    dev_t m_dbDev = 0;         // the file the open database is, guarded by m_dbWriteMutex
    ino_t m_dbIno = 0;
    bool m_threadsStored = false;   // a count is stored in the database; guarded by m_dbWriteMutex
    int m_lockFd = -1;         // the flock on m_lockPath; guarded by m_dbWriteMutex after the start
    QString m_lockPath;
    dev_t m_lockDev = 0;       // the lock file locked, so that a deleted one is noticed and taken again
    ino_t m_lockIno = 0;
    // The same lock on the database file itself, which no one deletes by
    // accident (flock does not meet SQLite's own fcntl locks); guarded like m_lockFd.
    int m_dbLockFd = -1;
    dev_t m_dbLockDev = 0;
    ino_t m_dbLockIno = 0;
    bool m_heldElsewhere = false;   // the last lock attempt met another service's lock
    QString m_storeFailure;         // why the database could not be brought back, for a refused insert
    dev_t m_walDev = 0;        // the write-ahead log in use; 0: none seen yet. Guarded by m_dbWriteMutex
    ino_t m_walIno = 0;
    QThreadPool m_pool;
    QMutex m_threadsMutex;     // serialises setThreads/changeThreads; never taken with m_mutex held
    QSocketNotifier *m_quitNotifier = nullptr;
    PeerPolicy m_policy;       // written during initialize, read by connection threads afterwards
};

AppData *IAppData();

#endif // APPDATA_H
