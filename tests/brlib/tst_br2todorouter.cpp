#include "br2cabinet.h"
#include "br2error.h"
#include "br2todorouter.h"

#include <QAtomicInt>
#include <QJsonArray>
#include <QJsonObject>
#include <QPointer>
#include <QScopedPointer>
#include <QTest>
#include <QThread>

#include <vector>

// An application router: three commands without description and a
// local-only variant of the first.
class AppRouter : public BR2TodoRouter
{
    Q_OBJECT
public:
    QAtomicInt aCalls;
    QAtomicInt localCalls;
private slots:
    void cmd_a(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
    {
        if (answerHelp(retObject, cmdObject, QJsonObject()))
            return;
        aCalls.ref();
        retObject->insert(QStringLiteral("results"), QStringLiteral("a"));
        envObject->setErr(BR2Error::ERR_SUCCEED, QString());
    }
    void cmd_b(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
    {
        if (answerHelp(retObject, cmdObject, QJsonObject()))
            return;
        envObject->setErr(BR2Error::ERR_PARAMS, QStringLiteral("缺少参数: b"));
    }
    void cmd_c(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
    {
        if (answerHelp(retObject, cmdObject, QJsonObject()))
            return;
        envObject->setErr(BR2Error::ERR_SUCCEED, QString());
    }
    void __LS__cmd_a(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
    {
        if (answerHelp(retObject, cmdObject, QJsonObject()))
            return;
        localCalls.ref();
        retObject->insert(QStringLiteral("results"), QStringLiteral("local a"));
        envObject->setErr(BR2Error::ERR_SUCCEED, QString());
    }
};

// Two routers with the same command, told apart by what they answer.
class XRouter : public BR2TodoRouter
{
    Q_OBJECT
public:
    explicit XRouter(const QString &tag) : m_tag(tag) {}
private slots:
    void x(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *envObject)
    {
        if (answerHelp(retObject, cmdObject, QJsonObject{{QStringLiteral("comment"), m_tag}}))
            return;
        retObject->insert(QStringLiteral("results"), m_tag);
        envObject->setErr(BR2Error::ERR_SUCCEED, QString());
    }
private:
    QString m_tag;
};

// A router whose one command describes itself as the test asks.
class DescribedRouter : public BR2TodoRouter
{
    Q_OBJECT
public:
    QJsonObject description;
private slots:
    void described(QJsonObject *retObject, QJsonObject cmdObject, BR2Cabinet *)
    {
        answerHelp(retObject, cmdObject, description);
    }
};

class TestBr2TodoRouter : public QObject
{
    Q_OBJECT
private slots:
    void dispatch_data();
    void dispatch();
    void localVariantWinsAnywhereInTree();
    void helpKeyCountsWhateverItsValue_data();
    void helpKeyCountsWhateverItsValue();
    void firstChildShadowsLater();
    void childListKeepsOneEntryAndNeverDeletes();
    void loopInTreeRefused();
    void helpInterfacesListsTree();
    void descriptionCompleted_data();
    void descriptionCompleted();
    void nameListing();
    void inject();
    void concurrentDispatchAndAdd();
};

// A root with AppRouter as its only child, as the server builds it.
struct Tree
{
    BR2TodoRouter root;
    AppRouter app;
    Tree() { root.add(&app); }
};

void TestBr2TodoRouter::dispatch_data()
{
    QTest::addColumn<QJsonObject>("request");
    QTest::addColumn<bool>("served");
    QTest::addColumn<QJsonObject>("reply");

    const QJsonObject untouched{{QStringLiteral("err"), 9999}};
    const QJsonObject missing{{QStringLiteral("err"), 9885}};
    const QJsonObject servedA{{QStringLiteral("err"), 9999}, {QStringLiteral("results"), QStringLiteral("a")}};
    QTest::newRow("plain") << QJsonObject{{QStringLiteral("cmd"), QStringLiteral("cmd_a")}} << true << servedA;
    QTest::newRow("blanks around name")
        << QJsonObject{{QStringLiteral("cmd"), QStringLiteral(" \t cmd_a \n")}} << true << servedA;
    QTest::newRow("no cmd") << QJsonObject{{QStringLiteral("x"), 1}} << false << untouched;
    QTest::newRow("empty cmd") << QJsonObject{{QStringLiteral("cmd"), QString()}} << false << untouched;
    QTest::newRow("blank cmd") << QJsonObject{{QStringLiteral("cmd"), QStringLiteral("   ")}} << false << untouched;
    QTest::newRow("number cmd") << QJsonObject{{QStringLiteral("cmd"), 7}} << false << untouched;
    QTest::newRow("unknown") << QJsonObject{{QStringLiteral("cmd"), QStringLiteral("foo")}} << false << missing;
    QTest::newRow("case differs") << QJsonObject{{QStringLiteral("cmd"), QStringLiteral("CMD_A")}} << false << missing;
    QTest::newRow("prefix is not a name")
        << QJsonObject{{QStringLiteral("cmd"), QStringLiteral("cmd_a(QJsonObject*,QJsonObject,BR2Cabinet*)")}}
        << false << missing;
    QTest::newRow("slot of QObject") << QJsonObject{{QStringLiteral("cmd"), QStringLiteral("deleteLater")}} << false
                                     << missing;
}

void TestBr2TodoRouter::dispatch()
{
    QFETCH(QJsonObject, request);
    QFETCH(bool, served);
    QFETCH(QJsonObject, reply);

    Tree tree;
    BR2Cabinet cabinet;
    QJsonObject got{{QStringLiteral("err"), 9999}};
    QCOMPARE(tree.root.doSlot(got, request, &cabinet), served);
    QCOMPARE(got, reply);
    QCOMPARE(tree.app.aCalls.loadAcquire(), served ? 1 : 0);
    QCOMPARE(cabinet.err(), served ? 0 : 9999);
}

void TestBr2TodoRouter::localVariantWinsAnywhereInTree()
{
    // The plain command sits on the root's first child, the local variant
    // one level further down a later branch: the server's order (doCall over
    // the tree, then doSlot) still picks the local variant.
    BR2TodoRouter root;
    XRouter plainA(QStringLiteral("plain"));
    BR2TodoRouter branch;
    AppRouter app;
    root.add(&plainA);
    root.add(&branch);
    branch.add(&app);

    BR2Cabinet cabinet;
    QJsonObject reply;
    const QJsonObject request{{QStringLiteral("cmd"), QStringLiteral("cmd_a")}};
    QVERIFY(root.doCall(reply, request, &cabinet));
    QCOMPARE(reply.value(QStringLiteral("results")).toString(), QStringLiteral("local a"));
    QCOMPARE(app.localCalls.loadAcquire(), 1);
    QCOMPARE(app.aCalls.loadAcquire(), 0);

    // doCall of a name without a local variant finds nothing.
    QJsonObject other;
    QVERIFY(!root.doCall(other, QJsonObject{{QStringLiteral("cmd"), QStringLiteral("x")}}, &cabinet));
    QCOMPARE(other.value(QStringLiteral("err")).toInt(), 9885);
}

void TestBr2TodoRouter::helpKeyCountsWhateverItsValue_data()
{
    QTest::addColumn<QJsonValue>("help");
    QTest::newRow("true") << QJsonValue(true);
    QTest::newRow("false") << QJsonValue(false);
    QTest::newRow("null") << QJsonValue(QJsonValue::Null);
    QTest::newRow("zero") << QJsonValue(0);
    QTest::newRow("empty string") << QJsonValue(QString());
}

void TestBr2TodoRouter::helpKeyCountsWhateverItsValue()
{
    QFETCH(QJsonValue, help);
    Tree tree;
    BR2Cabinet cabinet;
    cabinet.setErr(BR2Error::ERR_PARAMS, QStringLiteral("left over"));
    QJsonObject request{{QStringLiteral("cmd"), QStringLiteral("cmd_a")}};
    request.insert(QStringLiteral("help"), help);
    QVERIFY(request.contains(QStringLiteral("help")));

    QJsonObject reply{{QStringLiteral("err"), 9999}};
    QVERIFY(tree.root.doSlot(reply, request, &cabinet));
    QCOMPARE(reply, QJsonObject());                  // replaced whole by the empty description
    QCOMPARE(tree.app.aCalls.loadAcquire(), 0);      // nothing done
    QCOMPARE(cabinet.err(), int(BR2Error::ERR_PARAMS));  // the code left on the connection stays
    QCOMPARE(cabinet.errmsg(), QStringLiteral("left over"));
}

void TestBr2TodoRouter::firstChildShadowsLater()
{
    BR2TodoRouter root;
    XRouter first(QStringLiteral("first"));
    XRouter second(QStringLiteral("second"));
    root.add(&first);
    root.add(&second);

    BR2Cabinet cabinet;
    QJsonObject reply;
    QVERIFY(root.doSlot(reply, QJsonObject{{QStringLiteral("cmd"), QStringLiteral("x")}}, &cabinet));
    QCOMPARE(reply.value(QStringLiteral("results")).toString(), QStringLiteral("first"));

    QJsonObject all;
    root.allInterfaces(all);
    QCOMPARE(all.value(QStringLiteral("x")).toObject().value(QStringLiteral("comment")).toString(),
             QStringLiteral("first"));

    root.del(&first);
    reply = QJsonObject();
    QVERIFY(root.doSlot(reply, QJsonObject{{QStringLiteral("cmd"), QStringLiteral("x")}}, &cabinet));
    QCOMPARE(reply.value(QStringLiteral("results")).toString(), QStringLiteral("second"));
}

void TestBr2TodoRouter::childListKeepsOneEntryAndNeverDeletes()
{
    BR2TodoRouter root;
    QPointer<AppRouter> app = new AppRouter;
    AppRouter stranger;
    root.add(app);
    root.add(app);
    root.add(nullptr);
    QCOMPARE(root.list(), QList<BR2TodoRouter *>{app});
    root.del(&stranger);
    QCOMPARE(root.list(), QList<BR2TodoRouter *>{app});
    root.del(app);
    QVERIFY(root.list().isEmpty());
    QVERIFY(!app.isNull());

    {
        BR2TodoRouter parent;
        parent.add(app);
    }
    QVERIFY(!app.isNull());    // destroying the parent leaves the child alone
    delete app;
}

void TestBr2TodoRouter::loopInTreeRefused()
{
    BR2TodoRouter a;
    BR2TodoRouter b;
    BR2TodoRouter c;
    a.add(&b);
    b.add(&c);
    c.add(&a);     // would close a -> b -> c -> a
    a.add(&a);
    QVERIFY(c.list().isEmpty());
    QCOMPARE(a.list(), QList<BR2TodoRouter *>{&b});

    // Unknown commands end instead of recursing for ever.
    BR2Cabinet cabinet;
    QJsonObject reply;
    QVERIFY(!a.doSlot(reply, QJsonObject{{QStringLiteral("cmd"), QStringLiteral("nope")}}, &cabinet));
    QVERIFY(!a.doCall(reply, QJsonObject{{QStringLiteral("cmd"), QStringLiteral("nope")}}, &cabinet));

    // Sharing a router between branches is not a loop.
    BR2TodoRouter d;
    a.add(&d);
    b.add(&d);
    QCOMPARE(b.list().size(), 2);
}

void TestBr2TodoRouter::helpInterfacesListsTree()
{
    Tree tree;
    BR2Cabinet cabinet;
    const QJsonObject fixed{
        {QStringLiteral("cmd"), QStringLiteral("help_interfaces")},
        {QStringLiteral("comment"), QStringLiteral("获取接口的使用说明")},
        {QStringLiteral("params"), QJsonObject{{QStringLiteral("cmd"), QStringLiteral("接口名(可选)")}}},
        {QStringLiteral("params-comment"),
         QJsonObject{{QStringLiteral("cmd"), QStringLiteral("可选的接口名, 不指定时显示所有接口的使用说明")}}}};
    auto undescribed = [](const char *name) {
        return QJsonObject{{QStringLiteral("cmd"), QString::fromLatin1(name)},
                           {QStringLiteral("comment"), QStringLiteral("<<此接口没有提供使用说明>>")}};
    };
    const QJsonObject expected{{QStringLiteral("help_interfaces"), fixed},
                               {QStringLiteral("cmd_a"), undescribed("cmd_a")},
                               {QStringLiteral("cmd_b"), undescribed("cmd_b")},
                               {QStringLiteral("cmd_c"), undescribed("cmd_c")}};

    // Neither the help key nor a "cmd" parameter narrows the listing.
    const QList<QJsonObject> requests{
        {{QStringLiteral("cmd"), QStringLiteral("help_interfaces")}},
        {{QStringLiteral("cmd"), QStringLiteral("help_interfaces")}, {QStringLiteral("help"), 1}},
        {{QStringLiteral("cmd"), QStringLiteral("help_interfaces")},
         {QStringLiteral("params"), QJsonObject{{QStringLiteral("cmd"), QStringLiteral("cmd_a")}}}}};
    for (const QJsonObject &request : requests) {
        cabinet.setErr(BR2Error::ERR_FAILED, QStringLiteral("before"));
        QJsonObject reply{{QStringLiteral("err"), 9999}};
        QVERIFY(tree.root.doSlot(reply, request, &cabinet));
        QCOMPARE(reply.value(QStringLiteral("results")).toObject(), expected);
        QCOMPARE(cabinet.err(), 0);
        QVERIFY(cabinet.errmsg().isEmpty());
    }
    QCOMPARE(tree.app.aCalls.loadAcquire(), 0);    // describing never runs a command
}

void TestBr2TodoRouter::descriptionCompleted_data()
{
    QTest::addColumn<QJsonObject>("description");
    QTest::addColumn<QJsonObject>("listed");    // empty: not listed

    const QString name = QStringLiteral("described");
    const QString noParams = QStringLiteral("本接口没有参数");
    const QString tokenText = QStringLiteral("登录成功时返回的token");
    const QString noToken = QStringLiteral("允许不传token，但已登录时建议传入");
    QTest::newRow("comment only")
        << QJsonObject{{QStringLiteral("comment"), QStringLiteral("c")}}
        << QJsonObject{{QStringLiteral("cmd"), name}, {QStringLiteral("comment"), QStringLiteral("c")},
                       {QStringLiteral("params-comment"), noParams}, {QStringLiteral("token-comment"), noToken}};
    QTest::newRow("with params")
        << QJsonObject{{QStringLiteral("comment"), QStringLiteral("c")}, {QStringLiteral("params"), QJsonObject{{"n", 1}}}}
        << QJsonObject{{QStringLiteral("cmd"), name}, {QStringLiteral("comment"), QStringLiteral("c")},
                       {QStringLiteral("params"), QJsonObject{{"n", 1}}}, {QStringLiteral("token-comment"), noToken}};
    QTest::newRow("with token")
        << QJsonObject{{QStringLiteral("comment"), QStringLiteral("c")}, {QStringLiteral("token"), false}}
        << QJsonObject{{QStringLiteral("cmd"), name}, {QStringLiteral("comment"), QStringLiteral("c")},
                       {QStringLiteral("params-comment"), noParams}, {QStringLiteral("token"), tokenText},
                       {QStringLiteral("token-comment"), tokenText}};
    QTest::newRow("no comment gets the default")
        << QJsonObject{{QStringLiteral("params"), QJsonObject{{"n", 1}}}, {QStringLiteral("token"), 1}}
        << QJsonObject{{QStringLiteral("cmd"), name}, {QStringLiteral("comment"), QStringLiteral("<<此接口没有提供使用说明>>")}};
    QTest::newRow("cmd overwritten")
        << QJsonObject{{QStringLiteral("comment"), QStringLiteral("c")}, {QStringLiteral("cmd"), QStringLiteral("other")},
                       {QStringLiteral("params"), 1}, {QStringLiteral("token"), 1}}
        << QJsonObject{{QStringLiteral("cmd"), name}, {QStringLiteral("comment"), QStringLiteral("c")},
                       {QStringLiteral("params"), 1}, {QStringLiteral("token"), tokenText},
                       {QStringLiteral("token-comment"), tokenText}};
    QTest::newRow("unpublished true") << QJsonObject{{QStringLiteral("comment"), QStringLiteral("c")},
                                                     {QStringLiteral("unpublished"), true}} << QJsonObject();
    QTest::newRow("unpublished text YES") << QJsonObject{{QStringLiteral("unpublished"), QStringLiteral("YES")}}
                                          << QJsonObject();
    QTest::newRow("unpublished false")
        << QJsonObject{{QStringLiteral("comment"), QStringLiteral("c")}, {QStringLiteral("unpublished"), false},
                       {QStringLiteral("params"), 1}}
        << QJsonObject{{QStringLiteral("cmd"), name}, {QStringLiteral("comment"), QStringLiteral("c")},
                       {QStringLiteral("unpublished"), false}, {QStringLiteral("params"), 1},
                       {QStringLiteral("token-comment"), noToken}};
}

void TestBr2TodoRouter::descriptionCompleted()
{
    QFETCH(QJsonObject, description);
    QFETCH(QJsonObject, listed);
    BR2TodoRouter root;
    DescribedRouter described;
    described.description = description;
    root.add(&described);

    QJsonObject all;
    root.allInterfaces(all);
    QCOMPARE(all.contains(QStringLiteral("described")), !listed.isEmpty());
    if (!listed.isEmpty())
        QCOMPARE(all.value(QStringLiteral("described")).toObject(), listed);

    // The name listing does not ask the slots, so unpublished names appear.
    QStringList names;
    root.allInterfaces(names);
    QCOMPARE(names, (QStringList{QStringLiteral("help_interfaces"), QStringLiteral("help_interfaces"),
                                 QStringLiteral("described")}));
}

void TestBr2TodoRouter::nameListing()
{
    Tree tree;
    QStringList names;
    tree.root.allInterfaces(names);
    QCOMPARE(names, (QStringList{QStringLiteral("help_interfaces"), QStringLiteral("help_interfaces"),
                                 QStringLiteral("cmd_a"), QStringLiteral("cmd_b"), QStringLiteral("cmd_c")}));
}

void TestBr2TodoRouter::inject()
{
    BR2TodoRouter router;
    QJsonObject reply{{QStringLiteral("errmsg"), QStringLiteral("old")}};
    router.inject(&reply, 9995, QString());
    QCOMPARE(reply, (QJsonObject{{QStringLiteral("err"), 9995}, {QStringLiteral("errmsg"), QStringLiteral("old")}}));
    router.inject(&reply, 0, QStringLiteral("m"));
    QCOMPARE(reply, (QJsonObject{{QStringLiteral("err"), 0}, {QStringLiteral("errmsg"), QStringLiteral("m")}}));
    router.inject(nullptr, 1, QStringLiteral("m"));
}

void TestBr2TodoRouter::concurrentDispatchAndAdd()
{
    // Connection threads dispatch through the same routers while the tree
    // changes; every request is served by someone and nothing races.
    Tree tree;
    XRouter extra(QStringLiteral("extra"));
    QAtomicInt served;
    const int perThread = 300;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(QThread::create([&] {
            BR2Cabinet cabinet;
            for (int i = 0; i < perThread; ++i) {
                QJsonObject reply;
                if (tree.root.doSlot(reply, QJsonObject{{QStringLiteral("cmd"), QStringLiteral("cmd_a")}}, &cabinet))
                    served.ref();
                if (i % 50 == 0) {
                    QJsonObject all;
                    tree.root.allInterfaces(all);
                }
            }
        }));
        threads.back()->start();
    }
    for (int i = 0; i < 200; ++i) {
        tree.root.add(&extra);
        tree.root.del(&extra);
    }
    for (auto &thread : threads)
        QVERIFY(thread->wait(20000));
    QCOMPARE(served.loadAcquire(), 4 * perThread);
    QCOMPARE(tree.app.aCalls.loadAcquire(), 4 * perThread);
}

QTEST_GUILESS_MAIN(TestBr2TodoRouter)
#include "tst_br2todorouter.moc"
