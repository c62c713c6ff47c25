#include "childprocess.h"

#include <QtTest>

class TestChildProcess : public QObject
{
    Q_OBJECT
private slots:
    // Standard error kept, its last bytes only; the exit code as given.
    void errorsCaptured()
    {
        ChildProcess child(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo one >&2; echo two >&2; exit 3")});
        child.captureErrors(6);
        QCOMPARE(child.run(10000), ChildProcess::Finished);
        QCOMPARE(child.exitCode(), 3);
        QCOMPARE(child.errorTail(), QByteArray("e\ntwo\n"));
    }
};

QTEST_GUILESS_MAIN(TestChildProcess)
#include "tst_childprocess.moc"
