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

    void toIntRules_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<int>("def");
        QTest::addColumn<int>("expected");
        QTest::newRow("padded decimal text") << QJsonValue(" 42 ") << 5 << 42;
        QTest::newRow("12abc is hex") << QJsonValue("12abc") << 5 << 76476;
        QTest::newRow("bad text ignores default") << QJsonValue("12xyz") << 5 << 0;
        QTest::newRow("-7.9") << QJsonValue(-7.9) << 5 << -7;
        QTest::newRow("true") << QJsonValue(true) << 5 << 1;
        QTest::newRow("array default") << QJsonValue(QJsonArray{1}) << 5 << 5;
        // Saturation instead of an undefined cast: any client can send these.
        QTest::newRow("1e10 saturates") << QJsonValue(1e10) << 5 << INT_MAX;
        QTest::newRow("-1e300 saturates") << QJsonValue(-1e300) << 5 << INT_MIN;
        QTest::newRow("NaN") << QJsonValue(std::nan("")) << 5 << 0;
    }

    void toIntRules()
    {
        QFETCH(QJsonValue, value);
        QFETCH(int, def);
        QFETCH(int, expected);
        QCOMPARE(toInt(value, def), expected);
        QCOMPARE(toInt(value), expected == def ? 0 : expected);
    }

    void toStringsAndBool()
    {
        QCOMPARE(toString(QJsonValue(7.0)), QStringLiteral("7"));
        const QJsonArray a{QStringLiteral("a"), 1, QString(), QJsonValue(), true};
        QCOMPARE(toStrings(a, false), (QStringList{"a", "1", "", "", ""}));
        QCOMPARE(toStrings(a, true), (QStringList{"a", "1"}));
        for (const char *yes : {"2", "YES", "On", "t", "Ok", "y"})
            QVERIFY2(toBool(QJsonValue(yes)) && isTrue(QString::fromLatin1(yes)), yes);
        for (const char *no : {"0", "-1", "enabled", "", "yes "})
            QVERIFY2(!toBool(QJsonValue(no)) && !isTrue(QString::fromLatin1(no)), no);
        QVERIFY(toBool(QJsonValue(0.5)) && !toBool(QJsonValue(-1)) && !toBool(QJsonValue(std::nan(""))));
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
