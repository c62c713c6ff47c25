#ifndef SERVICEFIXTURE_H
#define SERVICEFIXTURE_H
// Helpers for process-level tests: the real binary in its own temporary
// folder, with its own socket, database and configuration.
#include "br2dbsqlite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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

    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString socketPath() const { return m_dir.filePath(QStringLiteral("s")); }
    QString dbPath() const { return m_dir.filePath(QStringLiteral("db/queue.db")); }
    QString configPath() const { return m_dir.filePath(QStringLiteral("config.json")); }
    QJsonObject &config() { return m_config; }
    QProcess &process() { return m_proc; }

    // Makes the queue database with the built-in script and appends items
    // (compact JSON texts) and, when threads > 0, a stored thread count.
    bool prefill(const QStringList &items, int threads = 0)
    {
        BR2DBSqlite db;
        db.loadSqlCreator(QStringLiteral(":/k8thumbgen/creator.sql"));
        if (!db.open(dbPath()) || !db.loadSqlEngine(QStringLiteral(":/k8thumbgen/engine.sql")))
            return false;
        for (const QString &item : items) {
            if (!db.call(QStringLiteral("queue_append"), QJsonObject{{QStringLiteral("item"), item}}))
                return false;
        }
        if (threads > 0
            && !db.call(QStringLiteral("syscfg_set"),
                        QJsonObject{{QStringLiteral("key"), QStringLiteral("threads")},
                                    {QStringLiteral("value"), threads}}))
            return false;
        db.close();
        return true;
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

    // wrapper: a program and its arguments that run the service, such as prlimit.
    bool start(const QStringList &extraArgs = {}, const QStringList &wrapper = {})
    {
        writeFile(configPath(), QJsonDocument(m_config).toJson());
        m_output.clear();
        m_proc.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&m_proc, &QProcess::readyRead, [this] { m_output += m_proc.readAll(); });
        QStringList args = QStringList{QStringLiteral(K8_BINARY), QStringLiteral("--cfg"), configPath()} + extraArgs;
        args = wrapper + args;
        m_proc.start(args.takeFirst(), args);
        return m_proc.waitForStarted(5000);
    }

    bool waitListening(int ms = 10000)
    {
        return QTest::qWaitFor([this] { return output().contains("lpcID: ") || m_proc.state() == QProcess::NotRunning; },
                               ms)
            && m_proc.state() == QProcess::Running;
    }

    QByteArray output()
    {
        m_output += m_proc.readAll();
        return m_output;
    }

    // Sends a signal and waits up to ms for the end; -1 when it did not end.
    int stop(int signal, int ms = 5000)
    {
        if (m_proc.state() == QProcess::NotRunning)
            return m_proc.exitCode();
        ::kill(pid_t(m_proc.processId()), signal);
        if (!m_proc.waitForFinished(ms))
            return -1;
        output();
        return m_proc.exitStatus() == QProcess::NormalExit ? m_proc.exitCode() : 128 + signal;
    }

    int waitExit(int ms = 10000)
    {
        if (!m_proc.waitForFinished(ms))
            return -1;
        output();
        return m_proc.exitStatus() == QProcess::NormalExit ? m_proc.exitCode() : -1;
    }

private:
    QTemporaryDir m_dir;
    QJsonObject m_config;
    QProcess m_proc;
    QByteArray m_output;
};

inline QString compactItem(const QStringList &args, const QString &command)
{
    return QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("args"), QJsonArray::fromStringList(args)},
                                                       {QStringLiteral("command"), command}})
                                 .toJson(QJsonDocument::Compact));
}

#endif // SERVICEFIXTURE_H
