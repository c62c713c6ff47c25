#include "appdata.h"
#include "br2utils.h"

#include <QtTest>

class TestAppConfig : public QObject
{
    Q_OBJECT
private slots:
    void rules_data();
    void rules();
};

void TestAppConfig::rules_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QString>("lpcid");
    QTest::addColumn<int>("poporder");
    QTest::addColumn<int>("threads");
    QTest::addColumn<int>("priority");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("database");
    QTest::addColumn<bool>("debugging");

    const QString def = QStringLiteral("/orby/etc/thumbgen/queue.db");
    QTest::newRow("empty") << QByteArray("{}") << QByteArray("{}") << QString() << 1 << 0 << 1 << QSize(200, 200)
                           << def << false;
    QTest::newRow("blank lpcid") << QByteArray(R"({"lpcid":"   "})") << QByteArray() << QString() << 1 << 0 << 1
                                 << QSize(200, 200) << def << false;
    QTest::newRow("trimmed") << QByteArray(R"({"lpcid":" s ","database":"  /x/q.db ","debugging":"yes"})")
                             << QByteArray() << QStringLiteral("s") << 1 << 0 << 1 << QSize(200, 200)
                             << QStringLiteral("/x/q.db") << true;
    QTest::newRow("blank database") << QByteArray(R"({"database":"  "})") << QByteArray() << QString() << 1 << 0 << 1
                                    << QSize(200, 200) << def << false;
    QTest::newRow("poporder -5") << QByteArray(R"({"poporder":-5})") << QByteArray() << QString() << 1 << 0 << 1
                                 << QSize(200, 200) << def << false;
    QTest::newRow("poporder 1") << QByteArray(R"({"poporder":1})") << QByteArray() << QString() << 1 << 0 << 1
                                << QSize(200, 200) << def << false;
    QTest::newRow("poporder 2") << QByteArray(R"({"poporder":2})") << QByteArray() << QString() << 2 << 0 << 1
                                << QSize(200, 200) << def << false;
    QTest::newRow("poporder 99 text") << QByteArray(R"({"poporder":"99"})") << QByteArray() << QString() << 2 << 0
                                      << 1 << QSize(200, 200) << def << false;
    QTest::newRow("priority -3") << QByteArray(R"({"priority":-3,"threads":"4"})") << QByteArray() << QString() << 1
                                 << 4 << 0 << QSize(200, 200) << def << false;
    QTest::newRow("priority 12") << QByteArray(R"({"priority":12,"threads":1e300})") << QByteArray() << QString() << 1
                                 << 2147483647 << 7 << QSize(200, 200) << def << false;
    QTest::newRow("priority null") << QByteArray(R"({"priority":null})") << QByteArray() << QString() << 1 << 0 << 0
                                   << QSize(200, 200) << def << false;
    QTest::newRow("size 0x300") << QByteArray("{}") << QByteArray(R"({"size":{"width":0,"height":300}})") << QString()
                                << 1 << 0 << 1 << QSize(200, 200) << def << false;
    QTest::newRow("size 320x240") << QByteArray("{}") << QByteArray(R"({"size":{"width":320,"height":"240"}})")
                                  << QString() << 1 << 0 << 1 << QSize(320, 240) << def << false;
    QTest::newRow("size not object") << QByteArray("{}") << QByteArray(R"({"size":[320,240]})") << QString() << 1 << 0
                                     << 1 << QSize(200, 200) << def << false;
    QTest::newRow("settings not json") << QByteArray("[1]") << QByteArray("{") << QString() << 1 << 0 << 1
                                       << QSize(200, 200) << def << false;
}

void TestAppConfig::rules()
{
    QFETCH(QByteArray, config);
    QFETCH(QByteArray, settings);
    const AppConfig c = readAppConfig(toJsonObject(config), toJsonObject(settings));
    QTEST(c.lpcid, "lpcid");
    QTEST(c.poporder, "poporder");
    QTEST(c.threads, "threads");
    QTEST(c.priority, "priority");
    QTEST(QSize(c.width, c.height), "size");
    QTEST(c.dbpath, "database");
    QTEST(c.debugging, "debugging");
}

QTEST_GUILESS_MAIN(TestAppConfig)
#include "tst_appconfig.moc"
