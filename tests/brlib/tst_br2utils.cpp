#include "br2utils.h"

#include "../testthreads.h"
#include "brlibfixture.h"

#include <QJsonArray>
#include <QRect>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <cmath>

class TestBr2Utils : public QObject
{
    Q_OBJECT
private slots:
    void toIntRules_data();
    void toIntRules();
    void toStringAndBool();
    void toJsonObjectRejectsNonObjects();
    void fileMd5hex();
    void printStringRendering();
    void traceLines();
    void linesFromThreadsNeverInterleave();
};

void TestBr2Utils::toIntRules_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<int>("def");
    QTest::addColumn<int>("expected");
    QTest::newRow("padded decimal text") << QJsonValue(" 42 ") << 0 << 42;
    QTest::newRow("12abc is hex") << QJsonValue("12abc") << 0 << 76476;
    QTest::newRow("12xyz") << QJsonValue("12xyz") << 0 << 0;
    QTest::newRow("zz ignores default") << QJsonValue("zz") << 5 << 0;
    QTest::newRow("-7.9") << QJsonValue(-7.9) << 0 << -7;
    QTest::newRow("true") << QJsonValue(true) << 0 << 1;
    QTest::newRow("null default") << QJsonValue() << 5 << 5;
    QTest::newRow("array default") << QJsonValue(QJsonArray{1}) << 5 << 5;
    // Saturation instead of an undefined cast: any client can send these.
    QTest::newRow("1e10 saturates") << QJsonValue(1e10) << 0 << INT_MAX;
    QTest::newRow("-1e300 saturates") << QJsonValue(-1e300) << 0 << INT_MIN;
    QTest::newRow("just below INT_MIN") << QJsonValue(-2147483648.9) << 0 << INT_MIN;
    QTest::newRow("NaN") << QJsonValue(std::nan("")) << 0 << 0;
}

void TestBr2Utils::toIntRules()
{
    QFETCH(QJsonValue, value);
    QFETCH(int, def);
    QFETCH(int, expected);
    QCOMPARE(toInt(value, def), expected);
    if (def == 0)
        QCOMPARE(toInt(value), expected);
}

void TestBr2Utils::toStringAndBool()
{
    QCOMPARE(toString(QJsonValue(7.0)), QStringLiteral("7"));
    QCOMPARE(toString(QJsonValue(2.5)), QStringLiteral("2.500000"));
    QCOMPARE(toString(QJsonValue(true), QStringLiteral("d")), QStringLiteral("d"));
    const QJsonArray a{QStringLiteral("a"), 1, QString(), QJsonValue(), true};
    QCOMPARE(toStrings(a, false), (QStringList{"a", "1", "", "", ""}));
    QCOMPARE(toStrings(a, true), (QStringList{"a", "1"}));
    for (const char *yes : {"2", "YES", "On", "t", "Ok", "y"})
        QVERIFY2(toBool(QJsonValue(yes)) && isTrue(QString::fromLatin1(yes)), yes);
    for (const char *no : {"0", "-1", "enabled", "", "yes "})
        QVERIFY2(!toBool(QJsonValue(no)) && !isTrue(QString::fromLatin1(no)), no);
    QVERIFY(toBool(QJsonValue(0.5)) && !toBool(QJsonValue(-1)) && !toBool(QJsonValue(std::nan(""))));
}

void TestBr2Utils::toJsonObjectRejectsNonObjects()
{
    QJsonObject out{{QStringLiteral("keep"), 1}};
    for (const QByteArray &text : {QByteArray("[1,2]"), QByteArray(), QByteArray("{\"a\":")}) {
        QVERIFY(toJsonObject(text).isEmpty());
        QVERIFY(!toJsonObject(out, text) && !toJsonObject(out, QString::fromUtf8(text)));
    }
    QCOMPARE(out.value(QStringLiteral("keep")).toInt(), 1);
    QVERIFY(toJsonObject(out, QByteArray("{\"b\":2}")));
    QCOMPARE(out, (QJsonObject{{QStringLiteral("b"), 2}}));
}

void TestBr2Utils::fileMd5hex()
{
    QTemporaryDir dir;
    const QByteArray bytes(100000, 'x');
    QVERIFY(writeFile(dir.filePath(QStringLiteral("data")), bytes));
    QCOMPARE(::fileMd5hex(dir.filePath(QStringLiteral("data"))), md5hex(bytes));
    QVERIFY(::fileMd5hex(dir.filePath(QStringLiteral("missing"))).isEmpty());
    // A folder opens but every read fails: no digest, and no endless loop.
    QVERIFY(::fileMd5hex(dir.path()).isEmpty());
}

void TestBr2Utils::printStringRendering()
{
    QCOMPARE(toPrintString(QRect(QPoint(10, 20), QPoint(109, 69))), QStringLiteral("QRect(10, 20, 100, 50)"));
    QCOMPARE(toPrintString(QVariant::fromValue(QJsonValue(5))), QString());
    QCOMPARE(toPrintString(QStringList{"a", "b"}), QStringLiteral("QStringList(a; b)"));
    QCOMPARE(toPrintString(QByteArray("ab\0cd", 5)), QStringLiteral("ab"));
    QCOMPARE(toPrintString(QVariant::fromValue(QJsonObject{{"a", 1}})), QStringLiteral("{\n    \"a\": 1\n}\n"));
    QCOMPARE(PRETTY("bool AppData::initialize(const QString&)", 7), QStringLiteral("AppData::initialize#7"));
    QCOMPARE(PRETTY("main", 0), QStringLiteral("main"));
    // __DATE__ pads a one-digit day with a blank.
    QCOMPARE(complieDateTime(QStringLiteral("Dec  7 2026"), QStringLiteral("09:05:59")).toString("yyyy.MM.dd.HHmm"),
             QStringLiteral("2026.12.07.0905"));
}

namespace {

struct Capture
{
    Capture() { setConsoleSink([this](const QByteArray &b) { pieces.append(b); }); }
    ~Capture() { setConsoleSink(nullptr); }
    QList<QByteArray> pieces;   // written under the sink's mutex
};

}   // namespace

void TestBr2Utils::traceLines()
{
    Capture cap;
    PRINTPOS("x\\y\\z.cpp", 8, "g");
    PRINTLN_WITHTIMEPOS(QStringLiteral("配置"), "dir/app.cpp", 0, "");
    PRINTLN_WITHTIMEPOS(QStringLiteral("v"), "dir/app.cpp", 12, "initialize");
    const QString err = QStringLiteral("disk I/O error");
    PRINTEXPR(err);
    QCOMPARE(cap.pieces.size(), 4);
    QVERIFY(QRegularExpression(QStringLiteral("^>>-->\\d\\d:\\d\\d:\\d\\d\\.\\d{3} z\\.cpp#8 => g: $"))
                .match(QString::fromUtf8(cap.pieces[0])).hasMatch());
    QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} app\\.cpp: 配置\n$"))
                .match(QString::fromUtf8(cap.pieces[1])).hasMatch());
    QVERIFY(cap.pieces[2].endsWith(" app.cpp#12=>initialize: v\n"));
    QVERIFY2(cap.pieces[3].startsWith(">>-->") && cap.pieces[3].endsWith(" => traceLines: err = disk I/O error\n"),
             cap.pieces[3]);
}

void TestBr2Utils::linesFromThreadsNeverInterleave()
{
    Capture cap;
    QVERIFY(runThreads(4, [](int t) {
        for (int i = 0; i < 300; ++i) {
            if (i % 3 == 0) {
                PRINTEXPR(i);
            } else {
                PRINTLN(QString(200, QChar(u'A' + t)));
            }
        }
    }));
    const QList<QByteArray> lines = cap.pieces.join().split('\n');
    QCOMPARE(lines.size(), 4 * 300 + 1);
    for (const QByteArray &line : lines) {
        if (!line.isEmpty() && !line.startsWith(">>-->"))
            QCOMPARE(line, QByteArray(200, line.at(0)));
    }
}

QTEST_GUILESS_MAIN(TestBr2Utils)
#include "tst_br2utils.moc"
