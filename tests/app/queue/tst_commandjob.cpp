#include "commandjob.h"

#include <QtTest>

class TestCommandJob : public QObject
{
    Q_OBJECT
private slots:
    void placeholders_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("expected");     // null: refused
        QStringList ten, bomb;
        for (int i = 1; i <= 10; ++i)
            ten << QStringLiteral("v%1").arg(i);
        // Each argument repeats the next placeholder twice: the text doubles
        // with every pass and would exhaust memory long before the last one.
        for (int i = 2; i <= 40; ++i)
            bomb << QStringLiteral("${PARAM%1}${PARAM%1}").arg(i);
        QTest::newRow("every occurrence, unknown kept") << "${PARAM1}-${PARAM1} ${PARAM2}" << QStringList{"x"} << "x-x ${PARAM2}";
        QTest::newRow("1 and 10 apart") << "${PARAM1} ${PARAM10}" << ten << "v1 v10";
        QTest::newRow("brought in earlier") << "${PARAM1}" << QStringList{"${PARAM2}", "late"} << "late";
        QTest::newRow("doubling bomb") << "echo ${PARAM1}" << bomb + QStringList{"x"} << QString();
    }

    void placeholders()
    {
        QFETCH(QString, command);
        QFETCH(QStringList, args);
        QFETCH(QString, expected);
        QString expanded;
        QCOMPARE(expandCommand(command, args, expanded), !expected.isNull());
        if (!expected.isNull())
            QCOMPARE(expanded, expected);
    }
};

QTEST_GUILESS_MAIN(TestCommandJob)
#include "tst_commandjob.moc"
