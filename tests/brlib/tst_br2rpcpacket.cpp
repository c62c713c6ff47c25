#include "br2rpcpacket.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace {

QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

// A well-framed datagram around arbitrary JSON text and attachment.
QByteArray frame(const QByteArray &jsonText, const QByteArray &attachment = QByteArray())
{
    QByteArray out = QByteArray::fromHex("0062720101");
    uchar le[4];
    qToLittleEndian<quint32>(quint32(jsonText.size()), le);
    out.append(reinterpret_cast<const char *>(le), 4);
    qToLittleEndian<quint32>(quint32(attachment.size()), le);
    out.append(reinterpret_cast<const char *>(le), 4);
    out += QByteArray::fromHex("ffffff");
    return out + jsonText + attachment;
}

QByteArray header(quint32 j, quint32 a)
{
    QByteArray out = frame(QByteArray());
    qToLittleEndian<quint32>(j, reinterpret_cast<uchar *>(out.data()) + 5);
    qToLittleEndian<quint32>(a, reinterpret_cast<uchar *>(out.data()) + 9);
    return out;
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
    void incompleteThenComplete();
    void oversizedHeader_data();
    void oversizedHeader();
    void attachmentRoundTripAndClearing();
    void assignmentKeepsAttachment();
    void fromCompact_data();
    void fromCompact();
    void compactValueBytes_data();
    void compactValueBytes();
    void compactValueRoundTrip_data();
    void compactValueRoundTrip();
    void compactValueFailures_data();
    void compactValueFailures();
    void compactObjectStopsAtBadMember();
    void keysWithTagOrNulDoNotSurvive_data();
    void keysWithTagOrNulDoNotSurvive();
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
    QTest::newRow("empty is keep-alive") << QJsonObject() << QByteArray() << QByteArray::fromHex("006b6100");
    QTest::newRow("empty drops attachment") << QJsonObject() << QByteArray("abc") << QByteArray::fromHex("006b6100");
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

// Feeds one buffer to fromDatagram until a result other than 0 or 1 and
// records each result with the size left behind.
void TestBr2RpcPacket::fromDatagramSequence_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<QList<int>>("results");
    QTest::addColumn<QList<int>>("remaining");
    QTest::addColumn<QJsonObject>("lastObject");

    const QByteArray a = frame(R"({"cmd":"a"})");
    const QByteArray b = frame(R"({"cmd":"bb"})");
    QTest::newRow("two datagrams") << a + b << QList<int>{0, 0, 2} << QList<int>{b.size(), 0, 0}
                                   << json(R"({"cmd":"bb"})");
    QTest::newRow("keep-alive then data") << BR2RpcPacket::keepAlive() + a << QList<int>{1, 0, 2}
                                          << QList<int>{a.size(), 0, 0} << json(R"({"cmd":"a"})");
    QTest::newRow("short non-mark 6162") << QByteArray::fromHex("6162") << QList<int>{2} << QList<int>{2}
                                         << QJsonObject();
    QTest::newRow("short 0062") << QByteArray::fromHex("0062") << QList<int>{2} << QList<int>{2} << QJsonObject();
    QTest::newRow("non-mark 61626364") << QByteArray::fromHex("61626364") << QList<int>{4} << QList<int>{4}
                                       << QJsonObject();
    QTest::newRow("mark, short header") << QByteArray::fromHex("006272010100") << QList<int>{2} << QList<int>{6}
                                        << QJsonObject();
    QTest::newRow("array is empty object") << frame("[1,2]") + a << QList<int>{0, 0, 2}
                                           << QList<int>{a.size(), 0, 0} << json(R"({"cmd":"a"})");
    QTest::newRow("unparsable json") << frame("{\"cmd\":") + a << QList<int>{4} << QList<int>{23 + a.size()}
                                     << QJsonObject();
    QTest::newRow("empty json text") << frame("") << QList<int>{4} << QList<int>{16} << QJsonObject();
    QTest::newRow("data then garbage") << a + "xyzw" << QList<int>{0, 4} << QList<int>{4, 4}
                                       << json(R"({"cmd":"a"})");
    QTest::newRow("unchecked bytes") << QByteArray::fromHex("0062729999") + frame("{\"k\":1}").mid(5)
                                     << QList<int>{0, 2} << QList<int>{0, 0} << json(R"({"k":1})");
}

void TestBr2RpcPacket::fromDatagramSequence()
{
    QFETCH(QByteArray, buffer);
    QFETCH(QList<int>, results);
    QFETCH(QList<int>, remaining);
    QFETCH(QJsonObject, lastObject);
    BR2RpcPacket packet;
    QList<int> gotResults;
    QList<int> gotRemaining;
    for (int i = 0; i < results.size(); ++i) {
        gotResults << packet.fromDatagram(buffer);
        gotRemaining << buffer.size();
    }
    QCOMPARE(gotResults, results);
    QCOMPARE(gotRemaining, remaining);
    QCOMPARE(static_cast<const QJsonObject &>(packet), lastObject);
}

void TestBr2RpcPacket::incompleteThenComplete()
{
    const QByteArray whole = frame(R"({"cmd":"x"})", "att");
    QByteArray buffer = whole.left(whole.size() - 1);
    BR2RpcPacket packet(json(R"({"keep":1})"));
    QCOMPARE(packet.fromDatagram(buffer), int(BR2RpcPacket::DATAGRAM_INCOMPLETE));
    QCOMPARE(buffer, whole.left(whole.size() - 1));
    QCOMPARE(packet.value("keep").toInt(), 1);   // object untouched while waiting
    buffer += whole.right(1);
    QCOMPARE(packet.fromDatagram(buffer), int(BR2RpcPacket::DATAGRAM_OK));
    QVERIFY(buffer.isEmpty());
    QCOMPARE(packet.attachment(), QByteArray("att"));
}

void TestBr2RpcPacket::oversizedHeader_data()
{
    QTest::addColumn<quint32>("j");
    QTest::addColumn<quint32>("a");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<int>("expected");
    const qint64 mib64 = 64 * 1024 * 1024;
    QTest::newRow("at limit waits") << quint32(mib64 - 10) << quint32(10) << mib64 << 2;
    QTest::newRow("one above limit") << quint32(mib64 - 10) << quint32(11) << mib64 << 4;
    QTest::newRow("sum wraps 32 bits") << quint32(0xFFFFFFFF) << quint32(2) << mib64 << 4;
    QTest::newRow("beyond a byte array, no limit") << quint32(0xFFFFFFFF) << quint32(0xFFFFFFFF) << qint64(-1) << 4;
    QTest::newRow("2 GiB json, no limit") << quint32(0x80000000) << quint32(0) << qint64(-1) << 4;
}

void TestBr2RpcPacket::oversizedHeader()
{
    QFETCH(quint32, j);
    QFETCH(quint32, a);
    QFETCH(qint64, limit);
    QFETCH(int, expected);
    QByteArray buffer = header(j, a) + "{}";
    const QByteArray before = buffer;
    BR2RpcPacket packet;
    const int result = limit < 0 ? packet.fromDatagram(buffer) : packet.fromDatagram(buffer, limit);
    QCOMPARE(result, expected);
    QCOMPARE(buffer, before);
}

void TestBr2RpcPacket::attachmentRoundTripAndClearing()
{
    QByteArray blob(70000, '\0');
    for (int i = 0; i < blob.size(); ++i)
        blob[i] = char(i * 7);
    BR2RpcPacket out(json(R"({"cmd":"put"})"));
    out.setAttachment(blob);
    QByteArray buffer = out.toDatagram() + BR2RpcPacket::keepAlive();
    BR2RpcPacket in;
    QCOMPARE(in.fromDatagram(buffer), 0);
    QCOMPARE(in.attachment(), blob);
    QCOMPARE(static_cast<const QJsonObject &>(in), json(R"({"cmd":"put"})"));
    QCOMPARE(in.fromDatagram(buffer), 1);
    QVERIFY(in.attachment().isEmpty());
    QVERIFY(in.isKeepAlive());
    in.setAttachment("x");
    QCOMPARE(in.fromDatagram(buffer), 2);   // every call clears it, whatever the result
    QVERIFY(in.attachment().isEmpty());
}

void TestBr2RpcPacket::assignmentKeepsAttachment()
{
    BR2RpcPacket packet(json(R"({"a":1})"));
    packet.setAttachment("bytes");
    packet = json(R"({"b":2})");
    QCOMPARE(packet.attachment(), QByteArray("bytes"));
    QCOMPARE(static_cast<const QJsonObject &>(packet), json(R"({"b":2})"));

    BR2RpcPacket copy(packet);
    QCOMPARE(copy.attachment(), QByteArray("bytes"));
    BR2RpcPacket fromObject(static_cast<const QJsonObject &>(packet));
    QVERIFY(fromObject.attachment().isEmpty());
    fromObject = copy;
    QCOMPARE(fromObject.attachment(), QByteArray("bytes"));
}

void TestBr2RpcPacket::fromCompact_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QJsonObject>("object");
    const QJsonObject before = json(R"({"old":1})");
    QTest::newRow("array") << QByteArray("[1]") << 4 << before;
    QTest::newRow("broken") << QByteArray("{\"a\"") << 4 << before;
    QTest::newRow("empty object") << QByteArray("{}") << 0 << QJsonObject();
    QTest::newRow("object") << QByteArray(R"({"a":[1]})") << 0 << json(R"({"a":[1]})");
}

void TestBr2RpcPacket::fromCompact()
{
    QFETCH(QByteArray, text);
    QFETCH(int, expected);
    QFETCH(QJsonObject, object);
    BR2RpcPacket packet(json(R"({"old":1})"));
    packet.setAttachment("keep");
    QCOMPARE(packet.fromCompact(text), expected);
    QCOMPARE(static_cast<const QJsonObject &>(packet), object);
    QCOMPARE(packet.attachment(), QByteArray("keep"));
    if (expected == 0)
        QCOMPARE(packet.toCompact(), QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void TestBr2RpcPacket::compactValueBytes_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("true") << QJsonValue(true) << QByteArray::fromHex("3f7400");
    QTest::newRow("false") << QJsonValue(false) << QByteArray::fromHex("3f6600");
    QTest::newRow("3") << QJsonValue(3) << QByteArray("=3", 3);
    QTest::newRow("0.5") << QJsonValue(0.5) << QByteArray("=0.5", 5);
    QTest::newRow("1e20") << QJsonValue(1e20) << QByteArray("=1e+20", 7);
    QTest::newRow("string") << QJsonValue(QStringLiteral("é")) << QByteArray("|\xc3\xa9", 4);
    QTest::newRow("nested") << QJsonValue(json(R"({"a":[1,"x"]})"))
                            << QByteArray::fromHex("3e613a3d31007c78000000");
    QTest::newRow("null") << QJsonValue() << QByteArray();
    QTest::newRow("null element vanishes") << QJsonValue(QJsonArray{1, QJsonValue(), 2})
                                           << QByteArray(":=1\0=2\0\0", 8);
    QTest::newRow("null member skipped") << QJsonValue(json(R"({"a":null,"b":1})"))
                                         << QByteArray(">b=1\0\0", 6);
}

void TestBr2RpcPacket::compactValueBytes()
{
    QFETCH(QJsonValue, value);
    QFETCH(QByteArray, expected);
    QCOMPARE(BR2RpcPacket().toCompactValue(value), expected);
}

void TestBr2RpcPacket::compactValueRoundTrip_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QJsonValue>("expected");
    QTest::newRow("true") << QJsonValue(true) << QJsonValue(true);
    QTest::newRow("nested object") << QJsonValue(json(R"({"a":[1,"x"]})")) << QJsonValue(json(R"({"a":[1,"x"]})"));
    QTest::newRow("deep") << QJsonValue(json(R"({"b":{"c":[[],{},"",-2.25,false]},"a":"t"})"))
                          << QJsonValue(json(R"({"b":{"c":[[],{},"",-2.25,false]},"a":"t"})"));
    // A skipped null member must leave the rest decodable.
    QTest::newRow("null member") << QJsonValue(json(R"({"a":null,"b":"y","c":null})"))
                                 << QJsonValue(json(R"({"b":"y"})"));
    QTest::newRow("empty string") << QJsonValue(QString()) << QJsonValue(QString());
}

void TestBr2RpcPacket::compactValueRoundTrip()
{
    QFETCH(QJsonValue, value);
    QFETCH(QJsonValue, expected);
    BR2RpcPacket packet;
    QByteArray bytes = packet.toCompactValue(value);
    const char tag = bytes.at(0);
    bytes.remove(0, 1);
    QJsonValue out;
    QVERIFY(packet.fromCompactValue(out, tag, bytes));
    QCOMPARE(out, expected);
    QVERIFY2(bytes.isEmpty(), bytes.toHex().constData());
}

void TestBr2RpcPacket::compactValueFailures_data()
{
    QTest::addColumn<char>("tag");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("unknown tag") << '!' << QByteArray("x\0", 2);
    QTest::newRow("number without NUL") << '=' << QByteArray("12");
    QTest::newRow("empty number") << '=' << QByteArray("\0", 1);
    QTest::newRow("string without NUL") << '|' << QByteArray("abc");
    QTest::newRow("array without end") << ':' << QByteArray("=1\0", 3);
    QTest::newRow("array stray byte") << ':' << QByteArray("x=1\0\0", 5);
    QTest::newRow("array bad element") << ':' << QByteArray("|abc");
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

void TestBr2RpcPacket::compactObjectStopsAtBadMember()
{
    QByteArray bytes("a=1\0b=\0c|z\0\0", 13);
    const QJsonObject object = BR2RpcPacket().fromCompactObject(bytes);
    QCOMPARE(object, json(R"({"a":1})"));

    QByteArray noTag("abc");
    QVERIFY(BR2RpcPacket().fromCompactObject(noTag).isEmpty());
    QCOMPARE(noTag, QByteArray("abc"));   // scanned bytes without a tag stay
}

void TestBr2RpcPacket::keysWithTagOrNulDoNotSurvive_data()
{
    QTest::addColumn<QString>("key");
    for (const char *key : {"a:b", "a=b", "a>b", "a?b", "a|b"})
        QTest::newRow(key) << QString::fromLatin1(key);
    QTest::newRow("NUL") << QString::fromLatin1("a\0b", 3);
}

void TestBr2RpcPacket::keysWithTagOrNulDoNotSurvive()
{
    QFETCH(QString, key);
    const QJsonObject object{{key, QStringLiteral("v")}};
    BR2RpcPacket packet;
    QByteArray bytes = packet.toCompactValue(object).mid(1);
    QVERIFY(packet.fromCompactObject(bytes) != object);
}

void TestBr2RpcPacket::takeRouter_data()
{
    QTest::addColumn<QJsonObject>("object");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<int>("fd");
    QTest::addColumn<int>("session");
    QTest::addColumn<QJsonObject>("after");
    QTest::newRow("single") << json(R"({"routers":[{"fd":3,"session":7}],"x":1})") << true << 3 << 7
                            << json(R"({"x":1})");
    QTest::newRow("two") << json(R"({"routers":[{"fd":1},{"fd":2,"session":5}]})") << true << 2 << 5
                         << json(R"({"routers":[{"fd":1}]})");
    QTest::newRow("missing keys") << json(R"({"routers":[{"fd":"3","session":1.5}]})") << true << 0 << 0
                                  << QJsonObject();
    QTest::newRow("none") << json(R"({"x":1})") << false << -1 << -1 << json(R"({"x":1})");
    QTest::newRow("empty") << json(R"({"routers":[]})") << false << -1 << -1 << json(R"({"routers":[]})");
    QTest::newRow("not array") << json(R"({"routers":{"fd":1}})") << false << -1 << -1
                               << json(R"({"routers":{"fd":1}})");
}

void TestBr2RpcPacket::takeRouter()
{
    QFETCH(QJsonObject, object);
    QFETCH(bool, taken);
    QFETCH(int, fd);
    QFETCH(int, session);
    QFETCH(QJsonObject, after);
    int gotFd = -1;
    int gotSession = -1;
    QCOMPARE(BR2RpcPacket::takeRouter(gotFd, gotSession, object), taken);
    QCOMPARE(gotFd, fd);
    QCOMPARE(gotSession, session);
    QCOMPARE(object, after);
}

void TestBr2RpcPacket::replyHelpers()
{
    const QJsonObject request = json(R"({"cmd":"a","seq":5,"_x":1,"params":{},"err":0,"routers":[]})");
    QCOMPARE(static_cast<const QJsonObject &>(BR2RpcPacket::copyResponsed(request)),
             json(R"({"cmd":"a","seq":5,"_x":1,"routers":[]})"));

    QJsonObject out = json(R"({"results":1,"seq":9})");
    BR2RpcPacket::copyResponsed(out, request, 9995, QString());
    QCOMPARE(out, json(R"({"cmd":"a","seq":5,"_x":1,"routers":[],"results":1,"err":9995})"));
    QCOMPARE(static_cast<const QJsonObject &>(BR2RpcPacket::copyResponsed(request, 1, "m")),
             json(R"({"cmd":"a","seq":5,"_x":1,"routers":[],"err":1,"errmsg":"m"})"));

    BR2RpcPacket packet(request);
    packet.shrink();
    QCOMPARE(static_cast<const QJsonObject &>(packet), json(R"({"cmd":"a","seq":5,"_x":1})"));
    packet = json(R"({"other":1})");
    packet.shrink(request);
    QCOMPARE(static_cast<const QJsonObject &>(packet), json(R"({"cmd":"a","seq":5,"_x":1,"routers":[]})"));

    QCOMPARE(static_cast<const QJsonObject &>(BR2RpcPacket::make("c", 3, QJsonObject())),
             json(R"({"cmd":"c","err":3})"));
    QCOMPARE(static_cast<const QJsonObject &>(BR2RpcPacket::make("c", 3, json(R"({"p":1})"))),
             json(R"({"cmd":"c","err":3,"params":{"p":1}})"));
}

QTEST_GUILESS_MAIN(TestBr2RpcPacket)
#include "tst_br2rpcpacket.moc"
