#include "br2cabinet.h"
#include "br2error.h"
#include "br2todorouter.h"

#include "brlibfixture.h"

#include <QtTest>

// An undescribed command and a local-only variant of it.
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
    void __LS__cmd_a(QJsonObject *retObject, QJsonObject, BR2Cabinet *) { retObject->insert("results", "local a"); }
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
    // A reply with "results" means cmd_a ran; a help reply replaces the reply
    // whole, runs nothing and leaves the connection's code alone.
    void dispatch_data()
    {
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<bool>("served");
        QTest::addColumn<QJsonObject>("reply");
        const QJsonObject ran = json(R"({"err":9999,"results":"a"})");
        const QJsonObject missing = json(R"({"err":9885})");
        QTest::newRow("trimmed") << json(R"({"cmd":" \t cmd_a \n"})") << true << ran;
        // A NUL used to cut the C string handed to the lookup: this deleted the
        // router and the process aborted. Parentheses, a space or a letter not
        // in ASCII fail the same check of the name.
        QTest::newRow("NUL-cut QObject slot") << json(R"({"cmd":"deleteLater()\u0000"})") << false << missing;
        QTest::newRow("own signal, command signature") << json(R"({"cmd":"sig"})") << false << missing;
        QTest::newRow("help false") << json(R"({"cmd":"cmd_a","help":false})") << true << QJsonObject();
    }

    void dispatch()
    {
        QFETCH(QJsonObject, request);
        QFETCH(QJsonObject, reply);
        BR2TodoRouter root;   // AppRouter its only child, as the server builds it
        AppRouter app;
        root.add(&app);
        BR2Cabinet cabinet;
        cabinet.setErr(BR2Error::ERR_PARAMS, QStringLiteral("left over"));
        QJsonObject got = json(R"({"err":9999})");
        QTEST(root.doSlot(got, request, &cabinet), "served");
        QCOMPARE(got, reply);
        const bool ran = reply.contains(QStringLiteral("results"));
        QCOMPARE(app.aCalls, ran ? 1 : 0);
        QCOMPARE(cabinet.err(), ran ? 0 : int(BR2Error::ERR_PARAMS));
    }

    // The first child with a name shadows later ones; a "__LS__" variant found
    // by doCall anywhere in the tree wins over a plain name found first. The help
    // listing completes each description: the name is the slot's own whatever a
    // description claims, and unpublished ones stay out of it.
    void lookupAndListing()
    {
        BR2TodoRouter root, branch;
        XRouter first, second;
        AppRouter app;
        root.add(&first);
        root.add(&second);
        root.add(&branch);
        branch.add(&app);
        first.description = json(R"({"comment":"first","cmd":"other","params":{"n":1}})");
        second.description = json(R"({"comment":"second","unpublished":"YES"})");
        BR2Cabinet cabinet;
        cabinet.setErr(BR2Error::ERR_FAILED, QStringLiteral("before"));
        auto results = [&](bool local, const char *request) {
            QJsonObject reply;
            const bool found = local ? root.doCall(reply, json(request), &cabinet) : root.doSlot(reply, json(request), &cabinet);
            return found ? reply.value("results") : QJsonValue("<none>");
        };
        // A "cmd" parameter does not narrow the listing.
        const char *help = R"({"cmd":"help_interfaces","params":{"cmd":"cmd_a"}})";
        const QJsonObject all = results(false, help).toObject();
        QCOMPARE(all.keys(), (QStringList{"cmd_a", "help_interfaces", "x"}));
        QCOMPARE(all.value("x").toObject().value("cmd"), QJsonValue("x"));
        QCOMPARE(all.value("x").toObject().value("params").toObject(), json(R"({"n":1})"));
        QCOMPARE(cabinet.err(), 0);
        QCOMPARE(results(false, R"({"cmd":"x"})"), QJsonValue("first"));
        root.del(&first);
        QCOMPARE(results(false, R"({"cmd":"x"})"), QJsonValue("second"));
        QCOMPARE(results(false, help).toObject().keys(), (QStringList{"cmd_a", "help_interfaces"}));
        QCOMPARE(results(true, R"({"cmd":"cmd_a"})"), QJsonValue("local a"));
        QCOMPARE(app.aCalls, 0);
        QCOMPARE(results(true, R"({"cmd":"x"})"), QJsonValue("<none>"));
    }

    void loopInTreeRefused()
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
    }
};

QTEST_GUILESS_MAIN(TestBr2TodoRouter)
#include "tst_br2todorouter.moc"
