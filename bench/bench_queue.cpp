// Queue throughput: what the database alone allows, what the queue, the
// pool and the runner make of it end to end, and how long a start-up with
// a long queue takes to reload it.
//
//   build/bin/bench_queue [jobs]      (default 3000)
#include "appdata.h"
#include "br2dbsqlite.h"
#include "mzthumbgen.h"
#include "stopflag.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <unistd.h>

namespace {

QString writeConfig(const QTemporaryDir &dir, const QString &db)
{
    const QString path = dir.filePath(QStringLiteral("config.json"));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(QJsonDocument(QJsonObject{{QStringLiteral("lpcid"), dir.filePath(QStringLiteral("s"))},
                                      {QStringLiteral("database"), db},
                                      {QStringLiteral("threads"), 1}})
                .toJson());
    return path;
}

QString pragma(BR2DBSqlite &db, const char *name)
{
    QList<QJsonObject> rows;
    int c = 0;
    int id = 0;
    db.exec(c, id, rows, QStringLiteral("PRAGMA %1;").arg(QLatin1String(name)), QJsonObject(), QJsonObject());
    return rows.isEmpty() ? QString() : rows.first().begin().value().toVariant().toString();
}

// (a) the database alone: append + remove pairs through call.
double databasePairs(const QString &path, int n, QString &mode, QString &sync)
{
    BR2DBSqlite db;
    db.loadSqlCreator(QStringLiteral(":/k8thumbgen/creator.sql"));
    db.open(path);
    db.loadSqlEngine(QStringLiteral(":/k8thumbgen/engine.sql"));
    db.setJournalModeWal();
    mode = pragma(db, "journal_mode");
    sync = pragma(db, "synchronous");
    const QJsonObject item{{QStringLiteral("item"), QStringLiteral("{\"args\":[],\"command\":\"\"}")}};
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i) {
        int changes = 0;
        int id = 0;
        db.call(changes, id, QStringLiteral("queue_append"), item);
        db.call(QStringLiteral("queue_remove"), QJsonObject{{QStringLiteral("quuno"), id}});
    }
    return n * 1000.0 / qMax<qint64>(1, t.elapsed());
}

// (b) jobs end to end: push, pop, an empty layout job, completed.
double jobsPerSecond(int runnables, int n)
{
    IAppData()->setThreads(runnables);
    BR2Journals journal;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i)
        IAppData()->push(journal, {QStringLiteral("none")}, QString());
    while (IAppData()->hasQueued() || MZThumbgen::amount() > 0)
        QThread::usleep(200);
    return n * 1000.0 / qMax<qint64>(1, t.elapsed());
}

int reloadChild(const QString &cfg)
{
    requestStop();   // measure the reload, not the work
    QElapsedTimer t;
    t.start();
    const bool ok = AppData::create()->initialize(cfg);
    std::printf("%lld\n", static_cast<long long>(t.elapsed()));
    return ok ? 0 : 1;
}

}   // namespace

int main(int argc, char *argv[])
{
    Q_INIT_RESOURCE(k8thumbgen);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args.at(1) == QLatin1String("--reload"))
        return reloadChild(args.at(2));
    const int n = args.size() > 1 ? qMax(100, args.at(1).toInt()) : 3000;

    QTemporaryDir dir;
    QString mode;
    QString sync;
    const double a = databasePairs(dir.filePath(QStringLiteral("a.db")), n, mode, sync);
    std::printf("journal_mode=%s synchronous=%s (2 = FULL), %d jobs\n", qPrintable(mode), qPrintable(sync), n);
    std::printf("(a) database alone:   %8.0f append+remove pairs/s (%0.0f commits/s)\n", a, 2 * a);

    AppData::create()->initialize(writeConfig(dir, dir.filePath(QStringLiteral("q.db"))));
    const double b1 = jobsPerSecond(1, n);
    const double b4 = jobsPerSecond(4, n);
    std::printf("(b) end to end, 1 runnable:  %8.0f jobs/s  = %.2f of (a)  (goal >= 0.75); database share about %.0f%% ((b)/(a))\n", b1,
                b1 / a, 100.0 * b1 / a);
    std::printf("(b) end to end, 4 runnables: %8.0f jobs/s  = %.2f of 1 runnable (goal >= 0.9)\n", b4, b4 / b1);

    // Start-up with 100,000 queued rows, in a fresh process.
    QTemporaryDir big;
    const QString bigDb = big.filePath(QStringLiteral("q.db"));
    {
        BR2DBSqlite db;
        db.loadSqlCreator(QStringLiteral(":/k8thumbgen/creator.sql"));
        db.open(bigDb);
        int c = 0;
        int id = 0;
        db.exec(c, id,
                QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) "
                               "INSERT INTO t_queue (quu_item) SELECT '{\"args\":[\"pellowcloud\",\"/a/' || i || "
                               "'\",\"/b\"],\"command\":\"\"}' FROM n;"),
                QJsonObject(), QJsonObject());
    }
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--reload"), writeConfig(big, bigDb)});
    child.waitForFinished(120000);
    const QList<QByteArray> lines = child.readAllStandardOutput().trimmed().split('\n');
    std::printf("start-up reload of 100000 queued jobs: %s ms (goal < 1000)\n", lines.last().constData());
    std::fflush(stdout);
    // The singleton's workers are not torn down, so the process ends without
    // destructors: remove the folders here.
    dir.remove();
    big.remove();
    ::_exit(0);
}
