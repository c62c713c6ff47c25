#ifndef APPDATA_H
#define APPDATA_H
#include "br2core.h"
#include "br2journals.h"
#include "br2localserver.h"
#include "jobqueue.h"
#include "peeraccess.h"
#include "queuedatabase.h"
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
    int userJobs = 10000;          // "userjobs": jobs one untrusted uid may have queued at once
    qint64 userBytes = 16 << 20;   // "userbytes": bytes of stored items one untrusted uid may have queued
    int filePauseMs = 50;          // "filepause": a walk's pause after every listed file, 0 for none
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

    int push(BR2Journals &journal, const QStringList &args, const QString &command,
              const QJsonObject &owner = QJsonObject()) override;
    bool pop(QJsonObject &item) override;
    bool completed(int quuno, const QStringList &wroteInto) override;
    void postpone(int quuno, const QString &folder, const QString &reason, const QStringList &wroteInto) override;
    void setThreads(int count);
    void changeThreads(int count) override;

    int threads() const override { return m_threads.loadRelaxed(); }
    QSize thumbnailBox() const override { return QSize(m_width, m_height); }
    int poolMaxThreads() const { return m_pool.maxThreadCount(); }
    bool debugging() const { return m_debugging; }
    bool hasQueued() override;
    PeerPolicy peerPolicy() const override { return m_policy; }
    int queuedCount() override;
    QList<QJsonObject> jobs(int offset, int limit, int &total, qint64 onlyUid) override;
    QHash<int, uint> owners() override;
    CancelOutcome cancel(int quuno) override;
    qint64 databaseBytes() const override;
    QJsonArray postponed() override;

    // Ends the process like a quit, with status: stop, let the workers and
    // children go for at most 1.5 s, end what is left, _exit.
    [[noreturn]] void quit(int status);

private:
    AppData();
    void lostToAnotherService();
    bool bringUpQueue();
    QueueDatabase::Contents contents();
    void deletePending(QList<int> quunos);
    bool readyLocked(const QJsonObject &job, qint64 now) const;
    void armRetry();
    void flushHeld();
    void setThreadsLocked(int count);
    void topUp();
    void onQuitSignal();
    void shareLocked(const QJsonObject &job, int sign);

    bool m_initialized = false;
    QString m_lpcid;
    RequestRouter m_router;
    BR2LocalServer m_server;
    int m_poporder = 1;
    QAtomicInt m_threads{1};   // written by setThreads, read lock-free by workers and commands
    int m_priority = 2;
    int m_width = 200;
    int m_height = 200;
    QMutex m_mutex;            // guards m_queue, m_running, m_highest, m_undeleted, m_postponed, m_shares, m_held*; never held across a database call
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
        QStringList wrote;     // folders it wrote thumbnails into before, not yet flushed
    };
    QHash<int, Postponement> m_postponed;   // waiting jobs whose thumbnail folder took no files
    // What each untrusted uid has queued (waiting and running), held to
    // m_userJobs and m_userBytes so that no user fills the queue.
    struct Share
    {
        int jobs = 0;
        qint64 bytes = 0;
    };
    QHash<uint, Share> m_shares;
    int m_userJobs = 10000;
    qint64 m_userBytes = 16 << 20;
    // Completed jobs whose thumbnails are not known to be on disk yet: their
    // rows go after one flush for many jobs, at most a second later.
    QList<int> m_held;
    QSet<QString> m_heldFolders;
    qint64 m_lastFlush = 0;              // ms since the epoch
    int m_folderRetryMs = 60000;
    QTimer *m_retryTimer = nullptr;      // main thread only
    QTimer *m_helperTimer = nullptr;     // main thread only: ends idle render helpers
    QMutex m_dbWriteMutex;     // serialises writes with the check and re-creation of the database file; taken before m_mutex
    QueueDatabase m_database;  // guarded by m_dbWriteMutex after the start; path() and bytes() read only what initialize set
    QThreadPool m_pool;
    QMutex m_threadsMutex;     // serialises setThreads/changeThreads; never taken with m_mutex held
    QSocketNotifier *m_quitNotifier = nullptr;
    PeerPolicy m_policy;       // written during initialize, read by connection threads afterwards
};

AppData *IAppData();

#endif // APPDATA_H
