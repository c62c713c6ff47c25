#include "br2journals.h"

#include <QtTest>

class TestBr2Journals : public QObject
{
    Q_OBJECT
private slots:
    void rendering_data()
    {
        QTest::addColumn<bool>("touch");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("keys");
        QTest::newRow("born failed, with journals") << false << 9999 << "" << QStringList{"elapsed", "err"};
        QTest::newRow("success hides message") << true << 0 << "x" << QStringList{"err"};
        QTest::newRow("message") << true << 9995 << "缺少参数: threads" << QStringList{"err", "errmsg"};
    }

    void rendering()
    {
        QFETCH(bool, touch);
        QFETCH(int, code);
        QFETCH(QString, message);
        QFETCH(QStringList, keys);
        BR2Journals j;
        if (touch)
            j.setErr(code, message);
        QJsonObject reply{{QStringLiteral("err"), 1}, {QStringLiteral("results"), 1}};
        j.toRetObject(reply, !touch);
        QCOMPARE(reply.take(QStringLiteral("results")).toInt(), 1);
        QCOMPARE(reply.keys(), keys);
        QCOMPARE(reply.value(QStringLiteral("err")).toInt(), code);
        if (keys.contains(QStringLiteral("errmsg")))
            QCOMPARE(reply.value(QStringLiteral("errmsg")).toString(), message);
    }

    // The record is private; a shallow copy would share it and be freed twice.
    void copyIsDeep()
    {
        BR2Journals a;
        a.setErr(9995, QStringLiteral("a"));
        BR2Journals b(a);
        BR2Journals c;
        c = a;
        a.setErr(1, QStringLiteral("z"));
        QCOMPARE(b.err(), 9995);
        QCOMPARE(c.errmsg(), QStringLiteral("a"));
    }
};

QTEST_GUILESS_MAIN(TestBr2Journals)
#include "tst_br2journals.moc"
