#ifndef SERVICEFIXTURE_H
#define SERVICEFIXTURE_H
// Helpers for process-level tests: the real binary in its own temporary
// folder, with its own socket, database and configuration.
#include "br2dbsqlite.h"
#include "br2localserver.h"
#include "../testhelpers.h"

#include <QImage>
#include <QtTest>

#include <csignal>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

inline QJsonObject cmd(const char *name, const QJsonObject &params = QJsonObject())
{
    QJsonObject o{{QStringLiteral("cmd"), QString::fromUtf8(name)}};
    if (!params.isEmpty())
        o.insert(QStringLiteral("params"), params);
    return o;
}

inline QString compactItem(const QStringList &args, const QString &command)
{
    return QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("args"), QJsonArray::fromStringList(args)},
                                                       {QStringLiteral("command"), command}})
                                 .toJson(QJsonDocument::Compact));
}

class ServiceFixture
{
public:
    ServiceFixture()
    {
        m_config = QJsonObject{{QStringLiteral("lpcid"), socketPath()},
                               {QStringLiteral("database"), dbPath()},
                               {QStringLiteral("threads"), 1}};
    }
    ~ServiceFixture() { stop(SIGKILL); }

    QString root() const { return m_dir.path(); }
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString socketPath() const { return m_dir.filePath(QStringLiteral("s")); }
    QString dbPath() const { return m_dir.filePath(QStringLiteral("db/queue.db")); }
    QString configPath() const { return m_dir.filePath(QStringLiteral("config.json")); }
    QJsonObject &config() { return m_config; }
    QString binary = QStringLiteral(K8_BINARY);
    QProcess &process() { return m_proc; }

    // Makes the queue database with the built-in script and appends items
    // (compact JSON texts) and, when threads > 0, a stored thread count.
    bool prefill(const QStringList &items, int threads = 0)
    {
        BR2DBSqlite db;
        db.loadSqlCreator(QStringLiteral(":/k8thumbgen/creator.sql"));
        bool ok = db.open(dbPath()) && db.loadSqlEngine(QStringLiteral(":/k8thumbgen/engine.sql"));
        for (const QString &item : items)
            ok = ok && db.call(QStringLiteral("queue_append"), QJsonObject{{QStringLiteral("item"), item}});
        if (threads > 0)
            ok = ok && db.call(QStringLiteral("syscfg_set"), QJsonObject{{"key", "threads"}, {"value", threads}});
        db.close();
        return ok;
    }

    QList<QJsonObject> rows(const QString &statement = QStringLiteral("queue_alload")) const
    {
        BR2DBSqlite db;
        QList<QJsonObject> out;
        if (db.openOnly(dbPath()) && db.loadSqlEngine(QStringLiteral(":/k8thumbgen/engine.sql")))
            db.call(out, statement, QJsonObject());
        db.close();
        return out;
    }
    bool drained(int ms = 10000) const { return QTest::qWaitFor([this] { return rows().isEmpty(); }, ms); }

    // Writes config.json and runs the service in the test's folder with args
    // (by default --cfg config.json); wrapper is a program and its arguments
    // that run the service, such as prlimit.
    bool start(const QStringList &wrapper = {}, const QStringList &args = {})
    {
        writeFile(configPath(), QJsonDocument(m_config).toJson());
        m_output.clear();
        m_proc.setWorkingDirectory(root());
        m_proc.setProcessChannelMode(QProcess::MergedChannels);
        QStringList line = wrapper + QStringList{binary}
            + (args.isEmpty() ? QStringList{QStringLiteral("--cfg"), configPath()} : args);
        m_proc.start(line.takeFirst(), line);
        return m_proc.waitForStarted(5000);
    }

    // Starts and waits until the service says it listens.
    bool listen(const QStringList &wrapper = {})
    {
        return start(wrapper)
            && QTest::qWaitFor([this] { return output().contains("lpcID: ") || m_proc.state() == QProcess::NotRunning; },
                               10000)
            && m_proc.state() == QProcess::Running;
    }

    QByteArray output()
    {
        if (m_proc.isOpen()) {   // a fixture never started has nothing to read
            // What the pipe holds now, not only what the event loop has read:
            // a line printed before a reply is then seen right after it.
            while (m_proc.state() == QProcess::Running && m_proc.waitForReadyRead(0)) {
            }
            m_output += m_proc.readAll();
        }
        return m_output;
    }

    // Sends a signal and waits up to ms for the end; -1 when it did not end.
    int stop(int signal, int ms = 5000)
    {
        if (m_proc.state() != QProcess::NotRunning)
            ::kill(pid_t(m_proc.processId()), signal);
        const int status = waitExit(ms);
        return status == -1 && m_proc.state() == QProcess::NotRunning ? 128 + signal : status;
    }

    // The exit status; -1 when it did not end within ms or died of a signal.
    int waitExit(int ms = 10000)
    {
        if (m_proc.state() != QProcess::NotRunning && !m_proc.waitForFinished(ms))
            return -1;
        output();
        return m_proc.exitStatus() == QProcess::NormalExit ? m_proc.exitCode() : -1;
    }

    QJsonObject call(const QJsonObject &request) const
    {
        QJsonObject reply;
        if (!BR2LocalServer::localRequest(socketPath(), request, &reply, 5))
            return QJsonObject{{QStringLiteral("noanswer"), true}};
        return reply;
    }

    // QTemporaryDir makes the folder 0700; another user must reach the socket.
    void openToAll() const { ::chmod(QFile::encodeName(root()).constData(), 0755); }
    // A folder of the test's folder with this mode; empty on failure.
    QString folder(const QString &name, mode_t mode = 0755) const
    {
        return QDir().mkpath(path(name)) && ::chmod(QFile::encodeName(path(name)).constData(), mode) == 0 ? path(name) : QString();
    }
    // A folder of count small pictures p0000.png ..., each of its own colour; empty on failure.
    QString pictures(const QString &name, int count) const
    {
        QImage image(64, 48, QImage::Format_RGB32);
        bool ok = !folder(name).isEmpty();
        for (int i = 0; ok && i < count; ++i) {
            image.fill(QColor::fromHsv(i % 360, 200, 200));
            ok = image.save(path(name + QStringLiteral("/p%1.png").arg(i, 4, 10, QLatin1Char('0'))));
        }
        return ok ? path(name) : QString();
    }

private:
    QTemporaryDir m_dir;
    QJsonObject m_config;
    QProcess m_proc;
    QByteArray m_output;
};

// SQL run on a database with the library directly, as another program would:
// the first column of every row it gives, joined; "<failed>" when it could not
// run, or when the database is missing and create is false.
inline QByteArray sqlite(const QString &path, const char *sql, bool create = false)
{
    sqlite3 *db = nullptr;
    QByteArray rows;
    const bool ok = sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0), nullptr) == SQLITE_OK
        && sqlite3_exec(db, sql, [](void *out, int, char **v, char **) {
            *static_cast<QByteArray *>(out) += v[0];
            return 0;
        }, &rows, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok ? rows : QByteArray("<failed>");
}

#ifdef K8_CTL_BINARY
// The client, run in s's folder against s's socket unless args or the
// wrapper's environment name another; its exit status, -1 when it hung or
// crashed. out: what it printed, standard error too unless mode keeps it apart.
inline int ctl(const ServiceFixture &s, QStringList args, QByteArray *out = nullptr, const QStringList &wrapper = {},
               QProcess::ProcessChannelMode mode = QProcess::MergedChannels)
{
    if (!args.contains(QStringLiteral("--lpcid")) && !args.contains(QStringLiteral("--cfg"))
        && wrapper.filter(QStringLiteral("K8THUMBGEN_CFG=")).isEmpty())
        args = QStringList{"--lpcid", s.socketPath()} + args;
    QProcess p;
    p.setProcessChannelMode(mode);
    p.setWorkingDirectory(s.root());
    QStringList line = wrapper + QStringList{QStringLiteral(K8_CTL_BINARY)} + args;
    p.start(line.takeFirst(), line);
    if (!p.waitForFinished(15000))
        return -1;
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}
#endif

// The wrapper that runs a program as uid with no other group, for ctl().
inline QStringList asUser(int uid)
{
    return {"setpriv", QStringLiteral("--reuid=%1").arg(uid), QStringLiteral("--regid=%1").arg(uid), "--clear-groups"};
}

#endif // SERVICEFIXTURE_H
