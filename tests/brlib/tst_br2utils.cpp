#include "br2utils.h"

#include "../testthreads.h"

#include <QFile>
#include <QJsonArray>
#include <QMutex>
#include <QRect>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <climits>
#include <cmath>

class TestBr2Utils : public QObject
{
    Q_OBJECT
private slots:
    void toIntRules_data();
    void toIntRules();
    void toStringRules_data();
    void toStringRules();
    void toStringsKeepsOrSkipsEmpty();
    void toBoolRules_data();
    void toBoolRules();
    void toJsonObjectRejectsNonObjects_data();
    void toJsonObjectRejectsNonObjects();
    void md5hexKnownVectors();
    void fileMd5hex();
    void complieDateTimeFormatsVersion();
    void prettyPosition_data();
    void prettyPosition();
    void printStringRendering_data();
    void printStringRendering();
    void positionedLines();
    void expressionTraceIsOneLine();
    void linesFromThreadsNeverInterleave();
};

void TestBr2Utils::toIntRules_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<int>("def");
    QTest::addColumn<int>("expected");
    QTest::newRow("decimal text") << QJsonValue(QStringLiteral("42")) << 0 << 42;
    QTest::newRow("padded text") << QJsonValue(QStringLiteral(" 42 ")) << 0 << 42;
    QTest::newRow("hex text") << QJsonValue(QStringLiteral("ff")) << 0 << 255;
    QTest::newRow("decimal wins") << QJsonValue(QStringLiteral("10")) << 0 << 10;
    QTest::newRow("12abc is hex") << QJsonValue(QStringLiteral("12abc")) << 0 << 76476;
    QTest::newRow("12xyz") << QJsonValue(QStringLiteral("12xyz")) << 0 << 0;
    QTest::newRow("zz ignores default") << QJsonValue(QStringLiteral("zz")) << 5 << 0;
    QTest::newRow("7.9") << QJsonValue(7.9) << 0 << 7;
    QTest::newRow("-7.9") << QJsonValue(-7.9) << 0 << -7;
    QTest::newRow("true") << QJsonValue(true) << 0 << 1;
    QTest::newRow("null") << QJsonValue() << 0 << 0;
    QTest::newRow("null default") << QJsonValue() << 5 << 5;
    QTest::newRow("undefined default") << QJsonValue(QJsonValue::Undefined) << 5 << 5;
    QTest::newRow("array default") << QJsonValue(QJsonArray{1}) << 5 << 5;
    // Saturation instead of an undefined cast: any client can send these.
    QTest::newRow("1e10 saturates") << QJsonValue(1e10) << 0 << INT_MAX;
    QTest::newRow("-1e300 saturates") << QJsonValue(-1e300) << 0 << INT_MIN;
    QTest::newRow("1e300 saturates") << QJsonValue(1e300) << 0 << INT_MAX;
    QTest::newRow("INT_MAX") << QJsonValue(2147483647.0) << 0 << INT_MAX;
    QTest::newRow("INT_MIN") << QJsonValue(-2147483648.0) << 0 << INT_MIN;
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

void TestBr2Utils::toStringRules_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("7") << QJsonValue(7) << QStringLiteral("7");
    QTest::newRow("7.0") << QJsonValue(7.0) << QStringLiteral("7");
    QTest::newRow("2.5") << QJsonValue(2.5) << QStringLiteral("2.500000");
    QTest::newRow("160.5") << QJsonValue(160.5) << QStringLiteral("160.500000");
    QTest::newRow("3e9") << QJsonValue(3000000000.0) << QStringLiteral("3000000000.000000");
    QTest::newRow("true") << QJsonValue(true) << QString();
    QTest::newRow("string") << QJsonValue(QStringLiteral(" a ")) << QStringLiteral(" a ");
    QTest::newRow("object") << QJsonValue(QJsonObject()) << QString();
}

void TestBr2Utils::toStringRules()
{
    QFETCH(QJsonValue, value);
    QFETCH(QString, expected);
    QCOMPARE(toString(value), expected);
    QCOMPARE(toString(value, QStringLiteral("d")), expected.isEmpty() ? QStringLiteral("d") : expected);
}

void TestBr2Utils::toStringsKeepsOrSkipsEmpty()
{
    const QJsonArray a{QStringLiteral("a"), 1, QString(), QStringLiteral(" "), QJsonValue(), true};
    QCOMPARE(toStrings(a, false), (QStringList{"a", "1", "", " ", "", ""}));
    QCOMPARE(toStrings(a, true), (QStringList{"a", "1"}));
    QVERIFY(toStrings(QJsonValue(QStringLiteral("a")), false).isEmpty());
}

void TestBr2Utils::toBoolRules_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<bool>("expected");
    const char *yes[] = {"1", "2", "YES", "On", "t", "Ok", "y", "TRUE"};
    for (const char *s : yes)
        QTest::newRow(s) << QJsonValue(QString::fromLatin1(s)) << true;
    const char *no[] = {"0", "-1", "no", "false", "enabled", "", "yes "};
    for (const char *s : no)
        QTest::newRow(qPrintable(QStringLiteral("'%1'").arg(QString::fromLatin1(s)))) << QJsonValue(QString::fromLatin1(s))
                                                                                          << false;
    QTest::newRow("0.5") << QJsonValue(0.5) << true;
    QTest::newRow("-1") << QJsonValue(-1) << false;
    QTest::newRow("NaN") << QJsonValue(std::nan("")) << false;
    QTest::newRow("bool") << QJsonValue(true) << true;
    QTest::newRow("null") << QJsonValue() << false;
}

void TestBr2Utils::toBoolRules()
{
    QFETCH(QJsonValue, value);
    QFETCH(bool, expected);
    QCOMPARE(toBool(value), expected);
    QCOMPARE(isTrue(value), expected);
    if (value.isString())
        QCOMPARE(toBool(value.toString()), expected);
}

void TestBr2Utils::toJsonObjectRejectsNonObjects_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("array") << QByteArray("[1,2]");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("broken") << QByteArray("{\"a\":");
}

void TestBr2Utils::toJsonObjectRejectsNonObjects()
{
    QFETCH(QByteArray, text);
    QVERIFY(toJsonObject(text).isEmpty());
    QJsonObject out{{QStringLiteral("keep"), 1}};
    QVERIFY(!toJsonObject(out, text));
    QVERIFY(!toJsonObject(out, QString::fromUtf8(text)));
    QCOMPARE(out.value(QStringLiteral("keep")).toInt(), 1);
    QVERIFY(toJsonObject(out, QByteArray("{\"b\":2}")));
    QCOMPARE(out, (QJsonObject{{QStringLiteral("b"), 2}}));
}

void TestBr2Utils::md5hexKnownVectors()
{
    QCOMPARE(md5hex(QByteArray()), QByteArray("d41d8cd98f00b204e9800998ecf8427e"));
    QCOMPARE(md5hex(QByteArray("abc")), QByteArray("900150983cd24fb0d6963f7d28e17f72"));
    const QString text = QStringLiteral("/data/照片/a.png");
    QCOMPARE(md5hex(text), md5hex(text.toUtf8()));
}

void TestBr2Utils::fileMd5hex()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString empty = dir.filePath(QStringLiteral("empty"));
    const QString data = dir.filePath(QStringLiteral("data"));
    QFile f(empty);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QFile g(data);
    QVERIFY(g.open(QIODevice::WriteOnly));
    const QByteArray bytes(100000, 'x');
    g.write(bytes);
    g.close();
    QCOMPARE(::fileMd5hex(empty), md5hex(QByteArray()));
    QCOMPARE(::fileMd5hex(data), md5hex(bytes));
    QVERIFY(::fileMd5hex(dir.filePath(QStringLiteral("missing"))).isEmpty());
    // A folder opens but every read fails: no digest, and no endless loop.
    QVERIFY(::fileMd5hex(dir.path()).isEmpty());
}

void TestBr2Utils::complieDateTimeFormatsVersion()
{
    const QString fmt = QStringLiteral("yyyy.MM.dd.HHmm");
    QCOMPARE(complieDateTime(QStringLiteral("Mar 26 2025"), QStringLiteral("11:10:03")).toString(fmt),
             QStringLiteral("2025.03.26.1110"));
    QCOMPARE(complieDateTime(QStringLiteral("Dec  7 2026"), QStringLiteral("09:05:59")).toString(fmt),
             QStringLiteral("2026.12.07.0905"));
}

void TestBr2Utils::prettyPosition_data()
{
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("expected");
    QTest::newRow("method") << QByteArray("bool AppData::initialize(const QString&)") << 7
                            << QStringLiteral("AppData::initialize#7");
    QTest::newRow("plain") << QByteArray("main") << 0 << QStringLiteral("main");
    QTest::newRow("void f") << QByteArray("void f()") << 3 << QStringLiteral("f#3");
}

void TestBr2Utils::prettyPosition()
{
    QFETCH(QByteArray, signature);
    QFETCH(int, line);
    QFETCH(QString, expected);
    QCOMPARE(PRETTY(signature.constData(), line), expected);
}

void TestBr2Utils::printStringRendering_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("rect") << QVariant(QRect(QPoint(10, 20), QPoint(109, 69))) << QStringLiteral("QRect(10, 20, 100, 50)");
    QTest::newRow("size") << QVariant(QSize(3, 4)) << QStringLiteral("QSize(3, 4)");
    QTest::newRow("point") << QVariant(QPoint(-1, 2)) << QStringLiteral("QPoint(-1, 2)");
    QTest::newRow("json number") << QVariant::fromValue(QJsonValue(5)) << QString();
    QTest::newRow("json string") << QVariant::fromValue(QJsonValue(QStringLiteral("s"))) << QStringLiteral("s");
    QTest::newRow("int") << QVariant(5) << QStringLiteral("5");
    QTest::newRow("bool") << QVariant(true) << QStringLiteral("true");
    QTest::newRow("list") << QVariant(QStringList{"a", "b"}) << QStringLiteral("QStringList(a; b)");
    QTest::newRow("bytes to NUL") << QVariant(QByteArray("ab\0cd", 5)) << QStringLiteral("ab");
    QTest::newRow("object") << QVariant::fromValue(QJsonObject{{QStringLiteral("a"), 1}})
                            << QStringLiteral("{\n    \"a\": 1\n}\n");
}

void TestBr2Utils::printStringRendering()
{
    QFETCH(QVariant, value);
    QFETCH(QString, expected);
    QCOMPARE(toPrintString(value), expected);
}

namespace {

struct Capture
{
    Capture()
    {
        setConsoleSink([this](const QByteArray &b) { pieces.append(b); });
    }
    ~Capture() { setConsoleSink(nullptr); }
    QByteArray all() const { return pieces.join(); }
    QList<QByteArray> pieces;   // written under the sink's mutex
};

}   // namespace

void TestBr2Utils::positionedLines()
{
    Capture cap;
    PRINTPOS("a/b/c.cpp", 7, "f");
    PRINTPOS("x\\y\\z.cpp", 8, "g");
    PRINTNAME(QString());
    PRINTLN_WITHTIMEPOS(QStringLiteral("配置"), "dir/app.cpp", 0, "");
    PRINTLN_WITHTIMEPOS(QStringLiteral("v"), "dir/app.cpp", 12, "initialize");
    PRINTLN(QStringList{"a", "b"});
    QCOMPARE(cap.pieces.size(), 6);
    QVERIFY(QRegularExpression(QStringLiteral("^>>-->\\d\\d:\\d\\d:\\d\\d\\.\\d{3} c\\.cpp#7 => f: $"))
                .match(QString::fromUtf8(cap.pieces[0])).hasMatch());
    QVERIFY(cap.pieces[1].contains(" z.cpp#8 => g: "));
    QCOMPARE(cap.pieces[2], QByteArray("~~ ~~ ~~"));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} app\\.cpp: 配置\n$"))
                .match(QString::fromUtf8(cap.pieces[3])).hasMatch());
    QVERIFY(cap.pieces[4].endsWith(" app.cpp#12=>initialize: v\n"));
    QCOMPARE(cap.pieces[5], QByteArray("a; b\n"));
}

void TestBr2Utils::expressionTraceIsOneLine()
{
    Capture cap;
    const QString err = QStringLiteral("disk I/O error");
    PRINTEXPR(err);
    QCOMPARE(cap.pieces.size(), 1);
    QVERIFY2(cap.pieces[0].endsWith(" => expressionTraceIsOneLine: err = disk I/O error\n"), cap.pieces[0]);
    QVERIFY(cap.pieces[0].startsWith(">>-->"));
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
    const QList<QByteArray> lines = cap.all().split('\n');
    QCOMPARE(lines.size(), 4 * 300 + 1);
    for (const QByteArray &line : lines) {
        if (line.isEmpty() || line.startsWith(">>-->"))
            continue;
        QCOMPARE(line, QByteArray(200, line.at(0)));
    }
}

QTEST_GUILESS_MAIN(TestBr2Utils)
#include "tst_br2utils.moc"
