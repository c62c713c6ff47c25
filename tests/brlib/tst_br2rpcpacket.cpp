#include "br2rpcpacket.h"

#include "brlibfixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace {

QJsonObject plain(const BR2RpcPacket &packet)
{
    return packet;
}

} // namespace

class TestBr2RpcPacket : public QObject
{
    Q_OBJECT
private slots:
    void toDatagramBytes_data();
    void toDatagramBytes();
    void fromDatagramSequence_data();
    void fromDatagramSequence();
    void oversizedHeader();
    void attachment();
    void compactValue_data();
    void compactValue();
    void compactValueFailures_data();
    void compactValueFailures();
    void takeRouter_data();
    void takeRouter();
    void replyHelpers();
};

void TestBr2RpcPacket::toDatagramBytes_data()
{
    QTest::addColumn<QJsonObject>("object");
    QTest::addColumn<QByteArray>("attachment");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("cmd x") << json(R"({"cmd":"x"})") << QByteArray()
                           << QByteArray::fromHex("00627201010b00000000000000ffffff") + R"({"cmd":"x"})";
    QTest::newRow("empty is keep-alive, drops attachment") << QJsonObject() << QByteArray("abc")
                                                           << QByteArray::fromHex("006b6100");
    QTest::newRow("sorted keys, attachment last")
        << json(R"({"z":1,"a":[true,null],"m":"\u00e9"})") << QByteArray("\x00\x01", 2)
        << frame(R"({"a":[true,null],"m":"é","z":1})", QByteArray("\x00\x01", 2));
}

void TestBr2RpcPacket::toDatagramBytes()
{
    QFETCH(QJsonObject, object);
    QFETCH(QByteArray, attachment);
    QFETCH(QByteArray, expected);
    BR2RpcPacket packet(object);
    packet.setAttachment(attachment);
    QCOMPARE(packet.toDatagram(), expected);
}

// Calls fromDatagram once per expected result on one buffer, recording the
// size left behind; a packet that holds {"keep":1} shows what a call left alone.
void TestBr2RpcPacket::fromDatagramSequence_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<QList<int>>("results");
    QTest::addColumn<QList<int>>("remaining");
    QTest::addColumn<QJsonObject>("lastObject");

    const QByteArray a = frame(R"({"cmd":"a"})");
    const QByteArray b = frame(R"({"cmd":"bb"})");
    const QJsonObject keep = json(R"({"keep":1})");
    QTest::newRow("two datagrams") << a + b << QList<int>{0, 0, 2} << QList<int>{b.size(), 0, 0}
                                   << json(R"({"cmd":"bb"})");
    QTest::newRow("less its last byte") << a.left(a.size() - 1) << QList<int>{2} << QList<int>{a.size() - 1} << keep;
    QTest::newRow("keep-alive then data") << BR2RpcPacket::keepAlive() + a << QList<int>{1, 0, 2}
                                          << QList<int>{a.size(), 0, 0} << json(R"({"cmd":"a"})");
    QTest::newRow("non-mark") << QByteArray("abcd") << QList<int>{4} << QList<int>{4} << keep;
    QTest::newRow("mark, short header") << QByteArray::fromHex("006272010100") << QList<int>{2} << QList<int>{6}
                                        << keep;
    QTest::newRow("unparsable json") << frame("{\"cmd\":") + a << QList<int>{4} << QList<int>{23 + a.size()} << keep;
    QTest::newRow("bytes after the mark unchecked") << QByteArray::fromHex("0062729999") + frame("{\"k\":1}").mid(5)
                                                    << QList<int>{0} << QList<int>{0} << json(R"({"k":1})");
}

void TestBr2RpcPacket::fromDatagramSequence()
{
    QFETCH(QByteArray, buffer);
    QFETCH(QList<int>, results);
    QFETCH(QList<int>, remaining);
    QFETCH(QJsonObject, lastObject);
    BR2RpcPacket packet(json(R"({"keep":1})"));
    QList<int> gotResults;
    QList<int> gotRemaining;
    for (int i = 0; i < results.size(); ++i) {
        gotResults << packet.fromDatagram(buffer);
        gotRemaining << buffer.size();
    }
    QCOMPARE(gotResults, results);
    QCOMPARE(gotRemaining, remaining);
    QCOMPARE(plain(packet), lastObject);
}

// Headers announcing more than the bound are refused before their bytes
// arrive, and J + A must not wrap; nothing is consumed either way.
void TestBr2RpcPacket::oversizedHeader()
{
    auto decode = [](quint32 j, quint32 a, qint64 limit) {
        QByteArray buffer = header(j, a) + "{}";
        const QByteArray before = buffer;
        BR2RpcPacket packet;
        const int result = limit ? packet.fromDatagram(buffer, limit) : packet.fromDatagram(buffer);
        return buffer == before ? result : -1;
    };
    const qint64 mib64 = 64 * 1024 * 1024;
    QCOMPARE(decode(mib64 - 10, 10, mib64), 2);
    QCOMPARE(decode(mib64 - 10, 11, mib64), 4);
    QCOMPARE(decode(0xFFFFFFFF, 2, mib64), 4);
    QCOMPARE(decode(0x80000000, 0, 0), 4);   // the decoder's own bound
}

// Every decode clears the attachment, whatever the result; assigning an
// object or decoding the compact form changes the object only.
void TestBr2RpcPacket::attachment()
{
    const QByteArray blob = QByteArray(40000, '\0') + QByteArray(40000, '\xff');
    BR2RpcPacket out(json(R"({"cmd":"put"})"));
    out.setAttachment(blob);
    QByteArray buffer = out.toDatagram() + BR2RpcPacket::keepAlive();
    BR2RpcPacket in;
    QCOMPARE(in.fromDatagram(buffer), 0);
    QCOMPARE(in.attachment(), blob);
    QCOMPARE(in.fromDatagram(buffer), 1);
    QVERIFY(in.attachment().isEmpty() && in.isKeepAlive());
    in.setAttachment("x");
    QCOMPARE(in.fromDatagram(buffer), 2);
    QVERIFY(in.attachment().isEmpty());

    in.setAttachment("bytes");
    in = json(R"({"b":2})");
    QCOMPARE(in.fromCompact("{\"a\""), 4);
    QCOMPARE(plain(in), json(R"({"b":2})"));
    QCOMPARE(in.fromCompact(R"({"a":[1]})"), 0);
    QCOMPARE(in.attachment(), QByteArray("bytes"));
    QVERIFY(BR2RpcPacket(plain(in)).attachment().isEmpty());
}

// Exact bytes of the tagged encoding, then the decoder's view of them
// (undefined: nothing to decode).
void TestBr2RpcPacket::compactValue_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QJsonValue>("decoded");
    const QJsonValue nested(json(R"({"a":[1,"x"]})"));
    const QJsonValue deep(json(R"({"b":{"c":[[],{},"",-2.25,false]},"a":"t"})"));
    QTest::newRow("true") << QJsonValue(true) << QByteArray::fromHex("3f7400") << QJsonValue(true);
    QTest::newRow("1e20") << QJsonValue(1e20) << QByteArray("=1e+20", 7) << QJsonValue(1e20);
    QTest::newRow("string") << QJsonValue(QStringLiteral("é")) << QByteArray("|\xc3\xa9", 4)
                            << QJsonValue(QStringLiteral("é"));
    QTest::newRow("nested") << nested << QByteArray::fromHex("3e613a3d31007c78000000") << nested;
    QTest::newRow("deep") << deep << BR2RpcPacket().toCompactValue(deep) << deep;
    QTest::newRow("null") << QJsonValue() << QByteArray() << QJsonValue(QJsonValue::Undefined);
    QTest::newRow("null element vanishes") << QJsonValue(QJsonArray{1, QJsonValue(), 2})
                                           << QByteArray(":=1\0=2\0\0", 8) << QJsonValue(QJsonArray{1, 2});
    QTest::newRow("null members skipped") << QJsonValue(json(R"({"a":null,"b":"y","c":null})"))
                                          << QByteArray(">b|y\0\0", 6) << QJsonValue(json(R"({"b":"y"})"));
}

void TestBr2RpcPacket::compactValue()
{
    QFETCH(QJsonValue, value);
    QFETCH(QByteArray, bytes);
    QFETCH(QJsonValue, decoded);
    BR2RpcPacket packet;
    QCOMPARE(packet.toCompactValue(value), bytes);
    if (decoded.isUndefined())
        return;
    QByteArray rest = bytes.mid(1);
    QJsonValue out;
    QVERIFY(packet.fromCompactValue(out, bytes.at(0), rest));
    QCOMPARE(out, decoded);
    QVERIFY2(rest.isEmpty(), rest.toHex().constData());
}

void TestBr2RpcPacket::compactValueFailures_data()
{
    QTest::addColumn<char>("tag");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("unknown tag") << '!' << QByteArray("x\0", 2);
    QTest::newRow("empty number") << '=' << QByteArray("\0", 1);
    QTest::newRow("string without NUL") << '|' << QByteArray("abc");
    QTest::newRow("array stray byte") << ':' << QByteArray("x=1\0\0", 5);
    QTest::newRow("deep nesting") << ':' << QByteArray(100000, ':');
}

void TestBr2RpcPacket::compactValueFailures()
{
    QFETCH(char, tag);
    QFETCH(QByteArray, bytes);
    QJsonValue out(QStringLiteral("before"));
    QVERIFY(!BR2RpcPacket().fromCompactValue(out, tag, bytes));
    QCOMPARE(out, QJsonValue(QStringLiteral("before")));
}

void TestBr2RpcPacket::takeRouter_data()
{
    QTest::addColumn<QJsonObject>("object");
    QTest::addColumn<QList<int>>("taken");   // fd and session; empty: nothing taken
    QTest::addColumn<QJsonObject>("after");
    QTest::newRow("single") << json(R"({"routers":[{"fd":3,"session":7}],"x":1})") << QList<int>{3, 7} << json(R"({"x":1})");
    QTest::newRow("last of two") << json(R"({"routers":[{"fd":1},{"fd":2,"session":5}]})") << QList<int>{2, 5}
                                 << json(R"({"routers":[{"fd":1}]})");
    QTest::newRow("missing keys") << json(R"({"routers":[{"fd":"3","session":1.5}]})") << QList<int>{0, 0} << QJsonObject();
    QTest::newRow("not array") << json(R"({"routers":{"fd":1}})") << QList<int>() << json(R"({"routers":{"fd":1}})");
}

void TestBr2RpcPacket::takeRouter()
{
    QFETCH(QJsonObject, object);
    QFETCH(QList<int>, taken);
    QFETCH(QJsonObject, after);
    int fd = -1;
    int session = -1;
    QCOMPARE(BR2RpcPacket::takeRouter(fd, session, object), !taken.isEmpty());
    QCOMPARE((QList<int>{fd, session}), (taken.isEmpty() ? QList<int>{-1, -1} : taken));
    QCOMPARE(object, after);
}

void TestBr2RpcPacket::replyHelpers()
{
    const QJsonObject request = json(R"({"cmd":"a","seq":5,"_x":1,"params":{},"err":0,"routers":[]})");
    QCOMPARE(plain(BR2RpcPacket::copyResponsed(request)), json(R"({"cmd":"a","seq":5,"_x":1,"routers":[]})"));
    QJsonObject out = json(R"({"results":1,"seq":9})");
    BR2RpcPacket::copyResponsed(out, request, 9995, QString());
    QCOMPARE(out, json(R"({"cmd":"a","seq":5,"_x":1,"routers":[],"results":1,"err":9995})"));

    BR2RpcPacket packet(json(R"({"other":1})"));
    packet.shrink(request);
    QCOMPARE(plain(packet), json(R"({"cmd":"a","seq":5,"_x":1,"routers":[]})"));
}

QTEST_GUILESS_MAIN(TestBr2RpcPacket)
#include "tst_br2rpcpacket.moc"
