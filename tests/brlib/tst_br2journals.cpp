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
    }
};

QTEST_GUILESS_MAIN(TestBr2Journals)
#include "tst_br2journals.moc"
