#include "br2logger.h"

#include "../testthreads.h"
#include "brlibfixture.h"

#include <QtTest>

#include <memory>

namespace {

// Complete lines only: a line still being appended is not counted.
QStringList readLines(const QString &path)
{
    QStringList lines = QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'));
    lines.removeLast();
    return lines;
}

// Strips the leading "yyyy-MM-dd HH:mm:ss " after checking its shape.
QString afterStamp(const QString &record)
{
    static const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d "));
    return stamp.match(record + QLatin1Char(' ')).hasMatch() ? record.mid(20) : QLatin1String("<no stamp> ") + record;
}

} // namespace

class TestBr2Logger : public QObject
{
    Q_OBJECT
private slots:
    void rotationAndClean_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("backup");            // backup name, %1 = k
        QTest::addColumn<int>("existing");              // backups 1..existing hold "k"
        QTest::addColumn<int>("maxSize");
        QTest::addColumn<QByteArrayList>("backups");    // expected contents of backups 1, 2, ...
        // "old" (3 bytes) plus the 28-byte record "<stamp> Info new" is 31 bytes.
        QTest::newRow("fits exactly") << "app.log" << "app.%1.log" << 0 << 31 << QByteArrayList();
        QTest::newRow("no suffix") << "app" << "app.%1." << 0 << 30 << QByteArrayList{"old"};
        QTest::newRow("first free name") << "app.log" << "app.%1.log" << 2 << 30 << QByteArrayList{"1", "2", "old"};
        QTest::newRow("full set shifts") << "app.log" << "app.%1.log" << 10 << 30
                                         << QByteArrayList{"2", "3", "4", "5", "6", "7", "8", "9", "10", "old"};
    }

    void rotationAndClean()
    {
        QFETCH(QString, name);
        QFETCH(QString, backup);
        QFETCH(int, existing);
        QFETCH(int, maxSize);
        QFETCH(QByteArrayList, backups);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(name);
        for (int k = 1; k <= existing; ++k)
            QVERIFY(writeFile(dir.filePath(backup.arg(k)), QByteArray::number(k)));
        QVERIFY(writeFile(path, "old"));
        BR2Logger logger;
        logger.setFilePath(path);
        logger.setMaxSize(maxSize);
        const QByteArray record = logger.write(BR2Logger::Info, QString(), QString(), 0, "new").toUtf8();
        QCOMPARE(afterStamp(QString::fromUtf8(record)), QStringLiteral("Info new"));
        QCOMPARE(readFile(path), (backups.contains("old") ? QByteArray() : "old") + record + '\n');
        for (int k = 1; k <= 11; ++k)
            QCOMPARE(readFile(dir.filePath(backup.arg(k))), backups.value(k - 1, "<missing>"));

        QVERIFY(writeFile(dir.filePath(QStringLiteral("other.log")), "keep"));
        logger.clean();
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("other.log")});
    }

    void severalProducers_data()
    {
        QTest::addColumn<bool>("immediate");
        QTest::addColumn<int>("maxSize");         // 0: never rotate
        QTest::addColumn<int>("perProducer");
        QTest::addColumn<bool>("destroy");        // destroy the logger at once, while it drains
        // Rotating stays below eleven files' worth, so no backup is ever dropped.
        QTest::newRow("immediate, rotating") << true << 4000 << 150 << false;
        QTest::newRow("queued") << false << 0 << 2000 << false;
        QTest::newRow("destroyed while draining") << false << 0 << 5000 << true;
    }

    // Every record lands once, as one whole line in a UTF-8 file, in each
    // producer's order. A destroyed logger joins its writer (ASan sees any use
    // after free) and leaves a prefix of each producer's records.
    void severalProducers()
    {
        QFETCH(bool, immediate);
        QFETCH(int, maxSize);
        QFETCH(int, perProducer);
        QFETCH(bool, destroy);
        const int producers = 4;
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath(QStringLiteral("q/app.log"));
        auto logger = std::make_unique<BR2Logger>();
        logger->setFilePath(path);
        logger->setMaxSize(maxSize);
        logger->setImmediate(immediate);
        QVERIFY(runThreads(producers, [&](int t) {
            for (int i = 0; i < perProducer; ++i)
                logger->write(BR2Logger::Debug, QStringLiteral("c"), QString(), 0, "p%d n%d 日志", t, i);
        }));
        const auto oldestFirst = [&] {
            QStringList lines;
            for (int k = 1; k <= 10; ++k)
                lines += readLines(dir.filePath(QStringLiteral("q/app.%1.log").arg(k)));
            return lines + readLines(path);
        };
        if (destroy)
            logger.reset();
        else
            QTRY_COMPARE_WITH_TIMEOUT(oldestFirst().size(), producers * perProducer, 30000);
        // The limit is checked against the record without its line end.
        for (const QFileInfo &file : QDir(dir.filePath(QStringLiteral("q"))).entryInfoList(QDir::Files))
            QVERIFY2(readFile(file.filePath()).endsWith('\n') && (maxSize <= 0 || file.size() <= maxSize + 1),
                     qPrintable(file.fileName()));

        static const QRegularExpression shape(QStringLiteral("^Debug c p(\\d) n(\\d+) 日志$"));
        QVector<int> next(producers, 0);
        for (const QString &line : oldestFirst()) {
            const QRegularExpressionMatch m = shape.match(afterStamp(line));
            QVERIFY2(m.hasMatch(), qPrintable(line));
            QCOMPARE(m.captured(2).toInt(), next[m.captured(1).toInt()]++);
        }
        if (!destroy)
            QCOMPARE(next, QVector<int>(producers, perProducer));
    }
};

QTEST_GUILESS_MAIN(TestBr2Logger)
#include "tst_br2logger.moc"
