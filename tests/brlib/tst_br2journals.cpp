#include "br2error.h"
#include "br2journals.h"

#include <QtTest>

class TestBr2Journals : public QObject
{
    Q_OBJECT
private slots:
    void codeTable();
    void errorIds_data();
    void errorIds();
    void rendering_data();
    void rendering();
    void fullFormMessage();
    void contentFormOverwrites();
    void codeFormSetsResult();
    void copyIsDeep();
    void errorObject();
};

void TestBr2Journals::codeTable()
{
    const QMetaEnum meta = QMetaEnum::fromType<BR2Error::ERRORCODE>();
    QCOMPARE(meta.keyCount(), 141);
    QCOMPARE(meta.value(0), 10000);
    QCOMPARE(meta.value(1), 0);
    for (int i = 2; i < 139; ++i)
        QCOMPARE(meta.value(i), 9999 - (i - 2));
    QCOMPARE(QByteArray(meta.key(138)), QByteArray("ERR_CLASH"));
    QCOMPARE(meta.value(139), 8999);
    QCOMPARE(QByteArray(meta.key(140)), QByteArray("ERR_CODEVERFIY_WRONG"));
    QCOMPARE(meta.value(140), 8998);
}

void TestBr2Journals::errorIds_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("id");
    QTest::newRow("0") << 0 << QStringLiteral("ERR_SUCCEED");
    QTest::newRow("10000") << 10000 << QStringLiteral("ERR_SUCCESS");
    QTest::newRow("9995") << 9995 << QStringLiteral("ERR_PARAMS");
    QTest::newRow("9885") << 9885 << QStringLiteral("ERR_MISSING");
    QTest::newRow("9884") << 9884 << QStringLiteral("ERR_NO_PERMISSION");
    QTest::newRow("outside") << 12345 << QString();
}

void TestBr2Journals::errorIds()
{
    QFETCH(int, code);
    QFETCH(QString, id);
    QCOMPARE(BR2Error::toErrid(code), id);
}

void TestBr2Journals::rendering_data()
{
    QTest::addColumn<bool>("touch");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("withJournals");
    QTest::addColumn<QString>("tagged");
    QTest::addColumn<QStringList>("keys");
    QTest::newRow("untouched") << false << 0 << QString() << false << QString() << QStringList{"err"};
    QTest::newRow("untouched with journals") << false << 0 << QString() << true << QString()
                                             << QStringList{"elapsed", "err"};
    QTest::newRow("0 hides message") << true << 0 << QStringLiteral("x") << false << QStringLiteral("[ERR_SUCCEED]x")
                                     << QStringList{"err"};
    QTest::newRow("10000 hides message") << true << 10000 << QStringLiteral("x") << false
                                         << QStringLiteral("[ERR_SUCCESS]x") << QStringList{"err"};
    QTest::newRow("9995 empty") << true << 9995 << QString() << false << QStringLiteral("[ERR_PARAMS]")
                                << QStringList{"err"};
    QTest::newRow("9995 message") << true << 9995 << QStringLiteral("缺少参数: threads") << false
                                  << QStringLiteral("[ERR_PARAMS]缺少参数: threads") << QStringList{"err", "errmsg"};
    QTest::newRow("outside table") << true << 12345 << QStringLiteral("m") << false << QStringLiteral("[]m")
                                   << QStringList{"err", "errmsg"};
}

void TestBr2Journals::rendering()
{
    QFETCH(bool, touch);
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(bool, withJournals);
    QFETCH(QString, tagged);
    QFETCH(QStringList, keys);
    BR2Journals j;
    if (touch)
        QCOMPARE(j.setErr(code, message), tagged);
    QJsonObject reply{{QStringLiteral("err"), 9999}, {QStringLiteral("results"), 1}};
    j.toRetObject(reply, withJournals);
    QCOMPARE(reply.take(QStringLiteral("results")).toInt(), 1);
    QCOMPARE(reply.keys(), keys);
    QCOMPARE(reply.value(QStringLiteral("err")).toInt(), touch ? code : 9999);
    if (keys.contains(QStringLiteral("errmsg")))
        QCOMPARE(reply.value(QStringLiteral("errmsg")).toString(), message);
}

void TestBr2Journals::fullFormMessage()
{
    BR2Journals j;
    QJsonObject e = j.add(QStringLiteral("p"), QStringLiteral("a"), false, QString(), QString());
    QVERIFY(!e.contains(QStringLiteral("msg")));
    QVERIFY(!e.contains(QStringLiteral("command")));
    j.setErr(9999, QStringLiteral("stored"));
    e = j.add(QStringLiteral("p"), QStringLiteral("a"), true, QString(), QStringLiteral("cmd"));
    QCOMPARE(e.value(QStringLiteral("msg")).toString(), QStringLiteral("stored"));
    QCOMPARE(e.value(QStringLiteral("command")).toString(), QStringLiteral("cmd"));
    QCOMPARE(e.value(QStringLiteral("success")).toBool(), true);
    QVERIFY(e.value(QStringLiteral("times")).isDouble());
    QCOMPARE(j.segments().size(), 2);
    QJsonObject reply;
    j.toRetObject(&reply, true);
    QCOMPARE(reply.value(QStringLiteral("journals")).toArray().size(), 2);
}

void TestBr2Journals::contentFormOverwrites()
{
    BR2Journals j;
    const QJsonObject e = j.add(QStringLiteral("here"), QStringLiteral("c"),
                                QJsonObject{{QStringLiteral("place"), 1}, {QStringLiteral("times"), "x"},
                                            {QStringLiteral("keep"), true}});
    QCOMPARE(e.value(QStringLiteral("place")).toString(), QStringLiteral("here"));
    QVERIFY(e.value(QStringLiteral("times")).isDouble());
    QCOMPARE(e.value(QStringLiteral("content")).toString(), QStringLiteral("c"));
    QVERIFY(e.value(QStringLiteral("keep")).toBool());
}

void TestBr2Journals::codeFormSetsResult()
{
    BR2Journals j;
    j.add(QStringLiteral("p"), 9995, QStringLiteral("a"), false, QStringLiteral("bad"), QString());
    QCOMPARE(j.err(), 9995);
    QCOMPARE(j.errmsg(), QStringLiteral("bad"));
    j.reset(0, QStringLiteral("m"), QJsonArray());
    QCOMPARE(j.err(), 0);
    QCOMPARE(j.errmsg(), QStringLiteral("m"));
    QVERIFY(j.segments().isEmpty());
    QCOMPARE(j.times(), 0);
}

void TestBr2Journals::copyIsDeep()
{
    BR2Journals a;
    a.setErr(9995, QStringLiteral("a"));
    BR2Journals b(a);
    b.setErr(0, QString());
    BR2Journals c;
    c = a;
    a.setErr(1, QStringLiteral("z"));
    QCOMPARE(b.err(), 0);
    QCOMPARE(c.err(), 9995);
    QCOMPARE(c.errmsg(), QStringLiteral("a"));
}

void TestBr2Journals::errorObject()
{
    BR2Error e(9999, QStringLiteral("m"));
    QCOMPARE(e.setErrmsg(QStringLiteral("  padded  ")), QStringLiteral("  padded  "));
    QCOMPARE(e.errmsg(), QStringLiteral("padded"));
    QCOMPARE(e.setError(9990, " saved %s %d ", "文件", 3), QStringLiteral(" saved 文件 3 "));
    QCOMPARE(e.errmsg(), QStringLiteral("saved 文件 3"));
    e.setErr(9990, QString());
    const QJsonObject entry = e.add(QStringLiteral("p"), QStringLiteral("a"), false, QString());
    QVERIFY(entry.contains(QStringLiteral("msg")));   // written even when empty
    QJsonObject out;
    e.write(out);
    QCOMPARE(out, (QJsonObject{{QStringLiteral("err"), 9990}}));
    e.write(nullptr);
    QCOMPARE(e.toObject().value(QStringLiteral("journals")).toArray().size(), 1);
}

QTEST_GUILESS_MAIN(TestBr2Journals)
#include "tst_br2journals.moc"
