// Prints what routing one request costs: a slot of a child router found by
// the local-only lookup over the tree and then the plain one, as the local
// server dispatches; and the interface listing.
#include "br2cabinet.h"
#include "br2todorouter.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

class BenchRouter : public BR2TodoRouter
{
    Q_OBJECT
private slots:
    void bench_one(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
    {
        if (answerHelp(retObject, cmdObject, QJsonObject()))
            return;
        envObject->setErr(0, QString());
    }
    void bench_two(QJsonObject *, QJsonObject, BR2Cabinet *) {}
    void bench_three(QJsonObject *, QJsonObject, BR2Cabinet *) {}
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    BR2TodoRouter root;
    BenchRouter first;
    BenchRouter second;
    root.add(&first);
    root.add(&second);
    BR2Cabinet cabinet;
    const QJsonObject request{{QStringLiteral("cmd"), QStringLiteral("bench_three")},
                              {QStringLiteral("params"), QJsonObject{{QStringLiteral("threads"), 2}}}};
    const int rounds = 200000;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < rounds; ++i) {
        QJsonObject reply{{QStringLiteral("err"), 9999}};
        if (!root.doCall(reply, request, &cabinet))
            root.doSlot(reply, request, &cabinet);
    }
    std::printf("dispatch through doCall then doSlot: %.0f ns/request\n", double(clock.nsecsElapsed()) / rounds);

    clock.restart();
    const int listings = 2000;
    for (int i = 0; i < listings; ++i) {
        QJsonObject all;
        root.allInterfaces(all);
    }
    std::printf("allInterfaces of the tree: %.1f us/listing\n", clock.nsecsElapsed() / 1e3 / listings);
    return 0;
}

#include "bench_br2todorouter.moc"
