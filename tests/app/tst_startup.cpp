#include "br2dbsqlite.h"
#include "br2utils.h"

#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// The real binary, started in its own folder with its own socket and
// database: configuration handling, the console report and signals.
class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { Q_INIT_RESOURCE(k8thumbgen); }
    void missingConfigFails();
    void blankLpcidFails();
    void emptyCfgValueReadsDefault();
    void relativeCfgReadsSettingsBeside();
    void quitSignals_data();
    void quitSignals();

private:
    static void writeJson(const QString &path, const QJsonObject &o);
    static QJsonObject config(const QTemporaryDir &dir, bool debugging);
    static QByteArray runToEnd(const QStringList &args, const QString &cwd, int &status);
};

void TestStartup::writeJson(const QString &path, const QJsonObject &o)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QJsonDocument(o).toJson());
}

QJsonObject TestStartup::config(const QTemporaryDir &dir, bool debugging)
{
    return QJsonObject{{QStringLiteral("lpcid"), dir.filePath(QStringLiteral("s"))},
                       {QStringLiteral("database"), dir.filePath(QStringLiteral("db/queue.db"))},
                       {QStringLiteral("debugging"), debugging}};
}

QByteArray TestStartup::runToEnd(const QStringList &args, const QString &cwd, int &status)
{
    QProcess p;
    p.setWorkingDirectory(cwd);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral(K8_BINARY), args);
    if (!p.waitForFinished(20000)) {
        p.kill();
        p.waitForFinished();
        status = -1;
    } else {
        status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    return p.readAll();
}

void TestStartup::missingConfigFails()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString cfg = dir.filePath(QStringLiteral("nothere/config.json"));
    int status = 0;
    const QString out = QString::fromUtf8(runToEnd({QStringLiteral("--cfg"), cfg}, dir.path(), status));
    QCOMPARE(status, 1);
    QVERIFY2(out.contains(QStringLiteral("系统配置文装载失败: ") + cfg + QLatin1Char('\n')), qPrintable(out));
    QVERIFY2(out.endsWith(QStringLiteral("未定义lpcid内容\n")), qPrintable(out));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("nothere"))));
}

void TestStartup::blankLpcidFails()
{
    QTemporaryDir dir;
    QJsonObject c = config(dir, true);
    c.insert(QStringLiteral("lpcid"), QStringLiteral("  \t "));
    writeJson(dir.filePath(QStringLiteral("config.json")), c);
    int status = 0;
    const QString out = QString::fromUtf8(
        runToEnd({QStringLiteral("--cfg=") + dir.filePath(QStringLiteral("config.json"))}, dir.path(), status));
    QCOMPARE(status, 1);
    QVERIFY2(out.contains(QStringLiteral("未定义lpcid内容")), qPrintable(out));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("db"))));
}

void TestStartup::emptyCfgValueReadsDefault()
{
    if (QFileInfo::exists(QStringLiteral("/orby/etc/thumbgen/config.json")))
        QSKIP("a default configuration exists on this machine");
    QTemporaryDir dir;
    int status = 0;
    const QString out = QString::fromUtf8(runToEnd({QStringLiteral("--cfg=")}, dir.path(), status));
    QCOMPARE(status, 1);
    QVERIFY2(out.contains(QStringLiteral("系统配置文装载失败: /orby/etc/thumbgen/config.json\n")), qPrintable(out));
    QVERIFY(out.contains(QStringLiteral("未定义lpcid内容")));
}

void TestStartup::relativeCfgReadsSettingsBeside()
{
    // The settings beside a relative configuration set the box of a job
    // that was queued before the start.
    QTemporaryDir dir;
    writeJson(dir.filePath(QStringLiteral("conf/a.json")), config(dir, true));
    writeJson(dir.filePath(QStringLiteral("conf/settings.json")),
              QJsonObject{{QStringLiteral("size"), QJsonObject{{QStringLiteral("width"), 100}, {QStringLiteral("height"), 100}}}});
    QDir().mkpath(dir.filePath(QStringLiteral("src")));
    QImage image(400, 300, QImage::Format_RGB32);
    image.fill(Qt::darkRed);
    QVERIFY(image.save(dir.filePath(QStringLiteral("src/a.png"))));
    BR2DBSqlite db;
    db.loadSqlCreator(QStringLiteral(":/k8thumbgen/creator.sql"));
    QVERIFY(db.open(dir.filePath(QStringLiteral("db/queue.db"))));
    QVERIFY(db.loadSqlEngine(QStringLiteral(":/k8thumbgen/engine.sql")));
    const QJsonObject job{{QStringLiteral("args"), QJsonArray{QStringLiteral("pellowcloud"), dir.filePath(QStringLiteral("src")),
                                                             dir.filePath(QStringLiteral("thumbs"))}},
                          {QStringLiteral("command"), QString()}};
    QVERIFY(db.call(QStringLiteral("queue_append"),
                    QJsonObject{{QStringLiteral("item"), QString::fromUtf8(QJsonDocument(job).toJson(QJsonDocument::Compact))}}));
    db.close();

    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral(K8_BINARY), {QStringLiteral("--cfg"), QStringLiteral("conf/a.json")});
    QVERIFY(p.waitForStarted());
    const QString thumb = dir.filePath(QStringLiteral("thumbs/"))
        + QString::fromLatin1(md5hex(dir.filePath(QStringLiteral("src/a.png")))) + QStringLiteral(".jpg");
    QByteArray bytes;
    QVERIFY(QTest::qWaitFor([&] { bytes += p.readAll(); return bytes.contains("lpcID: ") && QFileInfo::exists(thumb); }, 10000));
    ::kill(pid_t(p.processId()), SIGTERM);
    QVERIFY(p.waitForFinished(5000));
    QVERIFY2(bytes.contains("配置文装载成功: conf/a.json"), bytes);
    QCOMPARE(QImage(thumb).size(), QSize(100, 75));
}

void TestStartup::quitSignals_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
}

void TestStartup::quitSignals()
{
    QFETCH(int, signal);
    QTemporaryDir dir;
    writeJson(dir.filePath(QStringLiteral("config.json")), config(dir, false));
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral(K8_BINARY), {QStringLiteral("--cfg"), dir.filePath(QStringLiteral("config.json"))});
    QVERIFY(p.waitForStarted());
    QByteArray out;
    QVERIFY(QTest::qWaitFor([&] { out += p.readAll(); return out.contains("lpcID: "); }, 10000));
    // SIGHUP and SIGPIPE leave it running.
    ::kill(pid_t(p.processId()), SIGHUP);
    ::kill(pid_t(p.processId()), SIGPIPE);
    QVERIFY(!p.waitForFinished(300));
    QCOMPARE(p.state(), QProcess::Running);

    ::kill(pid_t(p.processId()), signal);
    QVERIFY(p.waitForFinished(1000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    QVERIFY((out + p.readAll()).contains("Wait for quit ...\n"));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
