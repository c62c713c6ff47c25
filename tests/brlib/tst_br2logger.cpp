#include "br2logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>
#include <vector>

class TestBr2Logger : public QObject
{
    Q_OBJECT
private slots:
    void recordFormat_data();
    void recordFormat();
    void noPathWritesNothing();
    void immediateCreatesFolderAndWritesUtf8();
    void rotatesBeforeOverflow();
    void rotationShiftsFullBackupSet();
    void backupNames_data();
    void backupNames();
    void cleanRemovesFileAndBackups();
    void concurrentImmediateRotationLosesNothing();
    void queuedProducersKeepOrder();
    void queuedWriterRestartsAfterIdle();
    void destroyedWhileDraining();
    void currentInstance();
};

namespace {

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromUtf8(file.readAll());
    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Strips the leading "yyyy-MM-dd HH:mm:ss " after checking its shape.
QString afterStamp(const QString &record)
{
    static const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d "));
    const QRegularExpressionMatch m = stamp.match(record + QLatin1Char(' '));
    return m.hasMatch() ? record.mid(20) : QStringLiteral("<no stamp: %1>").arg(record);
}

} // namespace

void TestBr2Logger::recordFormat_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("context1");
    QTest::addColumn<QString>("context2");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("expected");    // the record after its time stamp

    QTest::newRow("all parts") << 2 << "A" << "B" << 12 << "Info A B #12 M";
    QTest::newRow("bare level") << 0 << "" << "" << 0 << "Trace";
    QTest::newRow("unnamed level 7") << 7 << "A" << "" << 0 << " A M";
    QTest::newRow("second context only") << 13 << "" << "B" << -3 << "DB B M";
    QTest::newRow("high levels") << 12 << "" << "" << 1 << "Script #1 M";
}

void TestBr2Logger::recordFormat()
{
    QFETCH(int, level);
    QFETCH(QString, context1);
    QFETCH(QString, context2);
    QFETCH(int, line);
    QFETCH(QString, expected);
    BR2Logger logger;
    const bool bare = expected == QLatin1String("Trace");
    const QString record = bare ? logger.write(level, context1, context2, line, "%s", "")
                                : logger.write(level, context1, context2, line, "%s", "M");
    QCOMPARE(afterStamp(record), expected);
}

void TestBr2Logger::noPathWritesNothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    BR2Logger logger;
    const QString record = logger.write(BR2Logger::Warn, QString(), QString(), 0, "n=%d %s", 5, "缺少参数");
    QCOMPARE(afterStamp(record), QStringLiteral("Warn n=5 缺少参数"));
    QVERIFY(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

void TestBr2Logger::immediateCreatesFolderAndWritesUtf8()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("a/b/app.log"));
    BR2Logger logger;
    logger.setFilePath(path);
    const QString record = logger.write(BR2Logger::Error, QStringLiteral("上下文"), QString(), 3, "%s", "未定义lpcid内容");
    QCOMPARE(readFile(path), record.toUtf8() + '\n');
    QVERIFY(record.endsWith(QStringLiteral("Error 上下文 #3 未定义lpcid内容")));

    logger.setOutput(false);
    logger.write(BR2Logger::Error, QString(), QString(), 0, "hidden");
    QCOMPARE(readLines(path).size(), 1);
}

void TestBr2Logger::rotatesBeforeOverflow()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("app.log"));
    writeFile(path, QByteArray(50, 'x'));
    BR2Logger logger;
    logger.setFilePath(path);
    logger.setMaxSize(100);
    // A 60-byte record: 20 bytes of stamp, "Info " and 35 bytes of message.
    const QString record = logger.write(BR2Logger::Info, QString(), QString(), 0, "%s", QByteArray(35, 'm').constData());
    QCOMPARE(record.toUtf8().size(), 60);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("app.1.log"))), QByteArray(50, 'x'));
    QCOMPARE(readFile(path), record.toUtf8() + '\n');

    // A record that fits is appended without rotating.
    logger.setMaxSize(1000);
    logger.write(BR2Logger::Info, QString(), QString(), 0, "small");
    QCOMPARE(readLines(path).size(), 2);
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("app.2.log"))));
}

void TestBr2Logger::rotationShiftsFullBackupSet()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("app.log"));
    for (int k = 1; k <= 10; ++k)
        writeFile(dir.filePath(QStringLiteral("app.%1.log").arg(k)), QByteArray::number(k));
    writeFile(path, "current");
    BR2Logger logger;
    logger.setFilePath(path);
    logger.setMaxSize(30);
    const QString record = logger.write(BR2Logger::Info, QString(), QString(), 0, "next");
    for (int k = 1; k <= 9; ++k)
        QCOMPARE(readFile(dir.filePath(QStringLiteral("app.%1.log").arg(k))), QByteArray::number(k + 1));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("app.10.log"))), QByteArray("current"));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("app.11.log"))));
    QCOMPARE(readFile(path), record.toUtf8() + '\n');
}

void TestBr2Logger::backupNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("firstBackup");
    QTest::newRow("suffix") << "app.log" << "app.1.log";
    QTest::newRow("no suffix") << "app" << "app.1.";
    QTest::newRow("two dots") << "app.x.log" << "app.x.1.log";
}

void TestBr2Logger::backupNames()
{
    QFETCH(QString, name);
    QFETCH(QString, firstBackup);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(name);
    writeFile(path, "old");
    BR2Logger logger;
    logger.setFilePath(path);
    logger.setMaxSize(10);
    logger.write(BR2Logger::Info, QString(), QString(), 0, "new");
    QCOMPARE(readFile(dir.filePath(firstBackup)), QByteArray("old"));
}

void TestBr2Logger::cleanRemovesFileAndBackups()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("app.log"));
    writeFile(path, "x");
    for (int k = 1; k <= 10; ++k)
        writeFile(dir.filePath(QStringLiteral("app.%1.log").arg(k)), "b");
    writeFile(dir.filePath(QStringLiteral("other.log")), "keep");
    BR2Logger logger;
    logger.setFilePath(path);
    logger.clean();
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("other.log")});
}

void TestBr2Logger::concurrentImmediateRotationLosesNothing()
{
    // Four threads write and rotate the same file; the total stays below
    // eleven files' worth, so every line must survive exactly once and whole.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("app.log"));
    BR2Logger logger;
    logger.setFilePath(path);
    logger.setMaxSize(3000);
    const int perThread = 150;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(QThread::create([&logger, t] {
            for (int i = 0; i < perThread; ++i)
                logger.write(BR2Logger::Info, QString(), QString(), 0, "p%d n%d", t, i);
        }));
        threads.back()->start();
    }
    for (auto &thread : threads)
        QVERIFY(thread->wait(30000));

    QSet<QString> seen;
    QStringList files{path};
    for (int k = 1; k <= 10; ++k)
        files << dir.filePath(QStringLiteral("app.%1.log").arg(k));
    static const QRegularExpression shape(QStringLiteral("^Info p\\d n\\d+$"));
    for (const QString &file : files) {
        // The limit is checked against the record without its line end.
        QVERIFY2(QFileInfo(file).size() <= 3000 + 1, qPrintable(file + QStringLiteral(" %1").arg(QFileInfo(file).size())));
        for (const QString &line : readLines(file)) {
            const QString body = afterStamp(line);
            QVERIFY2(shape.match(body).hasMatch(), qPrintable(line));
            QVERIFY2(!seen.contains(body), qPrintable(line));
            seen.insert(body);
        }
    }
    QCOMPARE(seen.size(), 4 * perThread);
}

void TestBr2Logger::queuedProducersKeepOrder()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("q/app.log"));
    BR2Logger logger;
    logger.setFilePath(path);
    logger.setImmediate(false);
    const int producers = 4;
    const int perProducer = 2000;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < producers; ++t) {
        threads.emplace_back(QThread::create([&logger, t] {
            for (int i = 0; i < perProducer; ++i)
                logger.write(BR2Logger::Debug, QStringLiteral("c"), QString(), 0, "p%d n%d 日志", t, i);
        }));
        threads.back()->start();
    }
    for (auto &thread : threads)
        QVERIFY(thread->wait(30000));
    QTRY_COMPARE_WITH_TIMEOUT(readLines(path).size(), producers * perProducer, 30000);

    static const QRegularExpression shape(QStringLiteral("^Debug c p(\\d) n(\\d+) 日志$"));
    QVector<int> next(producers, 0);
    for (const QString &line : readLines(path)) {
        const QRegularExpressionMatch m = shape.match(afterStamp(line));
        QVERIFY2(m.hasMatch(), qPrintable(line));
        const int p = m.captured(1).toInt();
        QCOMPARE(m.captured(2).toInt(), next[p]);
        ++next[p];
    }
    QCOMPARE(next, QVector<int>(producers, perProducer));
}

void TestBr2Logger::queuedWriterRestartsAfterIdle()
{
    // Each record is waited for before the next one: the writer goes idle in
    // between, and a record queued while it is leaving must not be stranded.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("app.log"));
    BR2Logger logger;
    logger.setFilePath(path);
    logger.setImmediate(false);
    for (int i = 1; i <= 100; ++i) {
        logger.write(BR2Logger::Info, QString(), QString(), 0, "r%d", i);
        QVERIFY2(QTest::qWaitFor([&] { return readLines(path).size() == i; }, 5000), qPrintable(QString::number(i)));
    }
    QCOMPARE(afterStamp(readLines(path).last()), QStringLiteral("Info r100"));
}

void TestBr2Logger::destroyedWhileDraining()
{
    // The writer must be stopped and joined by the destructor; under ASan a
    // writer left running would touch freed memory.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("app.log"));
    {
        BR2Logger logger;
        logger.setFilePath(path);
        logger.setImmediate(false);
        for (int i = 0; i < 20000; ++i)
            logger.write(BR2Logger::Info, QString(), QString(), 0, "%d", i);
    }
    // What made it to the file is a run of whole lines from the start.
    const QStringList lines = readLines(path);
    for (int i = 0; i < lines.size(); ++i)
        QCOMPARE(afterStamp(lines.at(i)), QStringLiteral("Info %1").arg(i));
}

void TestBr2Logger::currentInstance()
{
    BR2Logger *outer = BR2Logger::i();
    auto first = std::make_unique<BR2Logger>();
    QCOMPARE(BR2Logger::i(), first.get());
    auto second = std::make_unique<BR2Logger>();
    QCOMPARE(BR2Logger::i(), second.get());
    first->setCurrentInstance();
    QCOMPARE(BR2Logger::i(), first.get());
    first.reset();
    QCOMPARE(BR2Logger::i(), second.get());     // the last one remaining
    auto third = std::make_unique<BR2Logger>();
    second->setCurrentInstance();
    second.reset();
    QCOMPARE(BR2Logger::i(), third.get());
    third.reset();
    QCOMPARE(BR2Logger::i(), outer);
}

QTEST_GUILESS_MAIN(TestBr2Logger)
#include "tst_br2logger.moc"
