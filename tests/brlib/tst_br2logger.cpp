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
