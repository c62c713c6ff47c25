#include "br2utils.h"

#include "../testhelpers.h"
#include "../testthreads.h"

#include <QtTest>

#include <climits>
#include <cmath>

class TestBr2Utils : public QObject
{
    Q_OBJECT
private slots:
    void printedNamesStayOnOneLine_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("printed");
        QTest::newRow("a forged line") << QVariant(QStringLiteral("x.jpg\nFORGED: all ok\ny.jpg"))
                                       << QStringLiteral("x.jpg\\nFORGED: all ok\\ny.jpg");
        QTest::newRow("a terminal escape") << QVariant(QStringLiteral("a\x1b[2Jb\rc\td")) << QStringLiteral("a\\x1b[2Jb\\rc\\td");
        QTest::newRow("DEL and a C1 CSI") << QVariant(QString::fromUtf8("a\x7f\xc2\x9b" "b")) << QStringLiteral("a\\x7f\\x9bb");
        QTest::newRow("raw bytes") << QVariant(QByteArray("p\nq")) << QStringLiteral("p\\nq");
        QTest::newRow("other scripts untouched") << QVariant(QString::fromUtf8("照片 é.jpg")) << QString::fromUtf8("照片 é.jpg");
        // A JSON document keeps its layout; JSON escapes its strings itself.
        QTest::newRow("JSON") << QVariant::fromValue(QJsonArray{QStringLiteral("a\nb")}) << QStringLiteral("[\n    \"a\\nb\"\n]\n");
    }

    void printedNamesStayOnOneLine()
    {
        QFETCH(QVariant, value);
        QTEST(toPrintString(value), "printed");
    }

    // Any client can send these: saturation instead of an undefined cast.
    void toIntSaturates_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<int>("expected");
        QTest::newRow("1e10") << QJsonValue(1e10) << INT_MAX;
        QTest::newRow("-1e300") << QJsonValue(-1e300) << INT_MIN;
        QTest::newRow("NaN") << QJsonValue(std::nan("")) << 0;
    }

    void toIntSaturates()
    {
        QFETCH(QJsonValue, value);
        QFETCH(int, expected);
        QCOMPARE(toInt(value, 5), expected);
        QCOMPARE(toInt(value), expected);
    }

    // A folder opens but every read fails: no digest, and no endless loop.
    void fileMd5hexOfFolder()
    {
        QTemporaryDir dir;
        const QByteArray bytes(100000, 'x');
        QVERIFY(writeFile(dir.filePath(QStringLiteral("data")), bytes));
        QCOMPARE(fileMd5hex(dir.filePath(QStringLiteral("data"))), md5hex(bytes));
        QVERIFY(fileMd5hex(dir.filePath(QStringLiteral("missing"))).isEmpty());
        QVERIFY(fileMd5hex(dir.path()).isEmpty());
    }

    // Each console line goes out in one piece, whatever other threads print.
    void linesFromThreadsNeverInterleave()
    {
        QByteArrayList pieces;
        QMutex mutex;
        setConsoleSink([&](const QByteArray &b) { QMutexLocker lock(&mutex); pieces.append(b); });
        const bool ran = runThreads(4, [](int t) {
            for (int i = 0; i < 300; ++i)
                PRINTLN(QString(200, QChar(u'A' + t)));
        });
        setConsoleSink(nullptr);
        QVERIFY(ran);
        const QList<QByteArray> lines = pieces.join().split('\n');
        QCOMPARE(lines.size(), 4 * 300 + 1);
        for (const QByteArray &line : lines.mid(0, lines.size() - 1))
            QCOMPARE(line, QByteArray(200, line.at(0)));
    }
};

QTEST_GUILESS_MAIN(TestBr2Utils)
#include "tst_br2utils.moc"
