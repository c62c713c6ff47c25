#include "br2rpcpacket.h"

#include "brlibfixture.h"

#include <QtTest>

class TestBr2RpcPacket : public QObject
{
    Q_OBJECT
private slots:
    void toDatagramBytes_data()
    {
        QTest::addColumn<QJsonObject>("object");
        QTest::addColumn<QByteArray>("attachment");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("empty is keep-alive, drops attachment") << QJsonObject() << QByteArray("abc")
                                                               << QByteArray::fromHex("006b6100");
        QTest::newRow("sorted keys, attachment last")
            << json(R"({"z":1,"a":[true,null],"m":"\u00e9"})") << QByteArray("\x00\x01", 2)
            << frame(R"({"a":[true,null],"m":"é","z":1})", QByteArray("\x00\x01", 2));
    }

    void toDatagramBytes()
    {
        QFETCH(QJsonObject, object);
        QFETCH(QByteArray, attachment);
        QFETCH(QByteArray, expected);
        BR2RpcPacket packet(object);
        packet.setAttachment(attachment);
        QCOMPARE(packet.toDatagram(), expected);
        // Decoding gives the attachment back; a keep-alive carries none.
        QByteArray buffer = expected;
        packet.fromDatagram(buffer);
        QCOMPARE(packet.attachment(), object.isEmpty() ? QByteArray() : attachment);
    }

    // Calls fromDatagram once per expected result on one buffer, recording the
    // size left behind; a packet that holds {"keep":1} shows what a call left alone.
    void fromDatagramSequence_data()
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
        QTest::newRow("less its last byte") << a.left(a.size() - 1) << QList<int>{2} << QList<int>{a.size() - 1}
                                            << keep;
        QTest::newRow("keep-alive then data") << BR2RpcPacket::keepAlive() + a << QList<int>{1, 0, 2}
                                              << QList<int>{a.size(), 0, 0} << json(R"({"cmd":"a"})");
        QTest::newRow("non-mark") << QByteArray("abcd") << QList<int>{4} << QList<int>{4} << keep;
        QTest::newRow("unparsable json") << frame("{\"cmd\":") + a << QList<int>{4} << QList<int>{23 + a.size()}
                                         << keep;
        QTest::newRow("bytes after the mark unchecked") << QByteArray::fromHex("0062729999") + frame("{\"k\":1}").mid(5)
                                                        << QList<int>{0} << QList<int>{0} << json(R"({"k":1})");
        // Refused before the announced bytes arrive, nothing consumed.
        QTest::newRow("over the decoder's bound") << header(0x80000000, 0) + "{}" << QList<int>{4} << QList<int>{18} << keep;
    }

    void fromDatagramSequence()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(QList<int>, results);
        BR2RpcPacket packet(json(R"({"keep":1})"));
        QList<int> gotResults;
        QList<int> gotRemaining;
        for (int i = 0; i < results.size(); ++i) {
            gotResults << packet.fromDatagram(buffer);
            gotRemaining << buffer.size();
        }
        QCOMPARE(gotResults, results);
        QTEST(gotRemaining, "remaining");
        QTEST(static_cast<const QJsonObject &>(packet), "lastObject");
    }

    // Exact bytes of the tagged encoding, then the decoder's view of them. An
    // undefined value skips the encoder: the bytes, tag first, must not decode,
    // leaving the output alone.
    void compactValue_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QJsonValue>("decoded");
        const QJsonValue nested(json(R"({"a":[1,"x"]})"));
        const QJsonValue none(QJsonValue::Undefined);
        QTest::newRow("nested") << nested << QByteArray::fromHex("3e613a3d31007c78000000") << nested;
        QTest::newRow("null element vanishes") << QJsonValue(QJsonArray{1, QJsonValue(), 2})
                                               << QByteArray(":=1\0=2\0\0", 8) << QJsonValue(QJsonArray{1, 2});
        QTest::newRow("unknown tag") << none << QByteArray("!x\0", 3) << none;
        QTest::newRow("string without NUL") << none << QByteArray("|abc") << none;
        QTest::newRow("array stray byte") << none << QByteArray(":x=1\0\0", 6) << none;
        QTest::newRow("deep nesting") << none << QByteArray(100000, ':') << none;
    }

    void compactValue()
    {
        QFETCH(QJsonValue, value);
        QFETCH(QByteArray, bytes);
        QFETCH(QJsonValue, decoded);
        BR2RpcPacket packet;
        if (!value.isUndefined())
            QCOMPARE(packet.toCompactValue(value), bytes);
        QByteArray rest = bytes.mid(1);
        QJsonValue out(QStringLiteral("before"));
        QCOMPARE(packet.fromCompactValue(out, bytes.at(0), rest), !decoded.isUndefined());
        QCOMPARE(out, decoded.isUndefined() ? QJsonValue(QStringLiteral("before")) : decoded);
        QVERIFY2(decoded.isUndefined() || rest.isEmpty(), rest.toHex().constData());
    }
};

QTEST_GUILESS_MAIN(TestBr2RpcPacket)
#include "tst_br2rpcpacket.moc"
