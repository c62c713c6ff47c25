#include "br2cabinet.h"
#include "br2error.h"
#include "br2todorouter.h"

#include "brlibfixture.h"

#include <QTest>

// Two undescribed commands and a local-only variant of the first.
class AppRouter : public BR2TodoRouter
{
    Q_OBJECT
public:
    int aCalls = 0;
signals:
    void sig(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject);
private slots:
    void cmd_a(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
    {
        if (answerHelp(retObject, cmdObject, QJsonObject()))
            return;
        ++aCalls;
        retObject->insert(QStringLiteral("results"), QStringLiteral("a"));
        envObject->setErr(BR2Error::ERR_SUCCEED, QString());
    }
    void cmd_b(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *) { answerHelp(retObject, cmdObject, {}); }
    void __LS__cmd_a(QJsonObject *retObject, QJsonObject, BR2Cabinet *)
    {
        retObject->insert(QStringLiteral("results"), QStringLiteral("local a"));
    }
};

// A command "x" describing itself as told and answering with its comment.
class XRouter : public BR2TodoRouter
{
    Q_OBJECT
public:
    QJsonObject description;
private slots:
    void x(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *)
    {
        if (!answerHelp(retObject, cmdObject, description))
            retObject->insert(QStringLiteral("results"), description.value(QStringLiteral("comment")));
    }
};

class TestBr2TodoRouter : public QObject
{
    Q_OBJECT
private slots:
    void dispatch_data();
    void dispatch();
    void shadowingAndLocalPrecedence();
    void loopInTreeRefused();
    void helpInterfacesListsTree();
};

// A root with AppRouter as its only child, as the server builds it.
struct Tree
{
    BR2TodoRouter root;
    AppRouter app;
    Tree() { root.add(&app); }
};

// A reply with "results" means cmd_a ran; a help reply replaces the reply
// whole, runs nothing and leaves the connection's code alone.
void TestBr2TodoRouter::dispatch_data()
{
    QTest::addColumn<QJsonObject>("request");
    QTest::addColumn<bool>("served");
    QTest::addColumn<QJsonObject>("reply");
    const QJsonObject ran = json(R"({"err":9999,"results":"a"})");
    const QJsonObject missing = json(R"({"err":9885})");
    QTest::newRow("trimmed") << json(R"({"cmd":" \t cmd_a \n"})") << true << ran;
    QTest::newRow("no cmd") << json(R"({"x":1})") << false << json(R"({"err":9999})");
    QTest::newRow("unknown") << json(R"({"cmd":"foo"})") << false << missing;
    QTest::newRow("signature") << json(R"_({"cmd":"cmd_a(QJsonObject*,QJsonObject,BR2Cabinet*)"})_") << false << missing;
    QTest::newRow("slot of QObject") << json(R"({"cmd":"deleteLater"})") << false << missing;
    // A NUL used to cut the C string handed to the lookup: the first row
    // deleted the router and the process aborted.
    QTest::newRow("NUL-cut QObject slot") << json(R"({"cmd":"deleteLater()\u0000"})") << false << missing;
    QTest::newRow("NUL-cut signal") << json(R"({"cmd":"destroyed()\u0000"})") << false << missing;
    QTest::newRow("NUL behind a command") << json(R"({"cmd":"cmd_a\u0000x"})") << false << missing;
    QTest::newRow("own signal, command signature") << json(R"({"cmd":"sig"})") << false << missing;
    QTest::newRow("not ASCII") << json(R"({"cmd":"cmd_\u00e5"})") << false << missing;
    QTest::newRow("help false") << json(R"({"cmd":"cmd_a","help":false})") << true << QJsonObject();
}

void TestBr2TodoRouter::dispatch()
{
    QFETCH(QJsonObject, request);
    QFETCH(bool, served);
    QFETCH(QJsonObject, reply);
    Tree tree;
    BR2Cabinet cabinet;
    cabinet.setErr(BR2Error::ERR_PARAMS, QStringLiteral("left over"));
    QJsonObject got = json(R"({"err":9999})");
    QCOMPARE(tree.root.doSlot(got, request, &cabinet), served);
    QCOMPARE(got, reply);
    const bool ran = reply.contains(QStringLiteral("results"));
    QCOMPARE(tree.app.aCalls, ran ? 1 : 0);
    QCOMPARE(cabinet.err(), ran ? 0 : int(BR2Error::ERR_PARAMS));
}

// The first child with a name shadows later ones; a "__LS__" variant found
// by doCall anywhere in the tree wins over a plain name found first.
void TestBr2TodoRouter::shadowingAndLocalPrecedence()
{
    BR2TodoRouter root;
    XRouter first, second;
    BR2TodoRouter branch;
    AppRouter app;
    root.add(&first);
    root.add(&second);
    root.add(&branch);
    branch.add(&app);
    first.description = json(R"({"comment":"first"})");
    second.description = json(R"({"comment":"second"})");
    BR2Cabinet cabinet;
    QJsonObject reply;
    QVERIFY(root.doSlot(reply, json(R"({"cmd":"x"})"), &cabinet));
    QCOMPARE(reply.value("results").toString(), QStringLiteral("first"));
    root.del(&first);
    QVERIFY(root.doSlot(reply, json(R"({"cmd":"x"})"), &cabinet));
    QCOMPARE(reply.value("results").toString(), QStringLiteral("second"));

    reply = QJsonObject();
    QVERIFY(root.doCall(reply, json(R"({"cmd":"cmd_a"})"), &cabinet));
    QCOMPARE(reply.value("results").toString(), QStringLiteral("local a"));
    QCOMPARE(app.aCalls, 0);
    QVERIFY(!root.doCall(reply, json(R"({"cmd":"x"})"), &cabinet));
}

void TestBr2TodoRouter::loopInTreeRefused()
{
    BR2TodoRouter a, b, c;
    a.add(&b);
    a.add(&b);
    a.add(nullptr);
    b.add(&c);
    c.add(&a);     // would close a -> b -> c -> a
    a.add(&a);
    QVERIFY(c.list().isEmpty());
    QCOMPARE(a.list(), QList<BR2TodoRouter *>{&b});
    BR2Cabinet cabinet;
    QJsonObject reply;
    QVERIFY(!a.doSlot(reply, json(R"({"cmd":"nope"})"), &cabinet));
    QVERIFY(!a.doCall(reply, json(R"({"cmd":"nope"})"), &cabinet));

    // Sharing a router between branches is no loop, and parents never delete children.
    {
        BR2TodoRouter d;
        a.add(&d);
        b.add(&d);
        QCOMPARE(b.list().size(), 2);
    }
}

// The listing completes each description: the name is the slot's own
// whatever a description claims, and unpublished ones stay out of it.
void TestBr2TodoRouter::helpInterfacesListsTree()
{
    Tree tree;
    XRouter hidden;
    hidden.description = json(R"({"unpublished":"YES"})");
    tree.root.add(&hidden);
    BR2TodoRouter root;
    XRouter described;
    described.description = json(R"({"comment":"c","cmd":"other","params":{"n":1}})");
    root.add(&described);
    BR2Cabinet cabinet;
    // Neither the help key nor a "cmd" parameter narrows the listing.
    for (const char *request : {R"({"cmd":"help_interfaces","help":1})",
                                R"({"cmd":"help_interfaces","params":{"cmd":"cmd_a"}})"}) {
        cabinet.setErr(BR2Error::ERR_FAILED, QStringLiteral("before"));
        QJsonObject reply = json(R"({"err":9999})");
        QVERIFY(tree.root.doSlot(reply, json(request), &cabinet));
        QCOMPARE(reply.value("results").toObject().keys(), (QStringList{"cmd_a", "cmd_b", "help_interfaces"}));
        QCOMPARE(cabinet.err(), 0);
    }
    QCOMPARE(tree.app.aCalls, 0);
    QJsonObject all;
    root.allInterfaces(all);
    const QJsonObject x = all.value("x").toObject();
    QCOMPARE(x.value("cmd").toString(), QStringLiteral("x"));
    QCOMPARE(x.value("params").toObject(), json(R"({"n":1})"));

    // The name listing does not ask the slots, so unpublished names appear.
    QStringList names;
    tree.root.allInterfaces(names);
    QCOMPARE(names, (QStringList{"help_interfaces", "help_interfaces", "cmd_a", "cmd_b", "help_interfaces", "x"}));
}

QTEST_GUILESS_MAIN(TestBr2TodoRouter)
#include "tst_br2todorouter.moc"
