#ifndef BRLIBFIXTURE_H
#define BRLIBFIXTURE_H
#include "br2rpcpacket.h"
#include "../testhelpers.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QString>
#include <QtEndian>

#include <climits>

// Helpers the framework tests share, and the process-level tests that
// speak the framing by hand.

inline QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

// A datagram header alone, announcing j bytes of JSON text and a bytes of
// attachment; built by hand so that the tests do not trust the encoder they check.
inline QByteArray header(quint32 j, quint32 a)
{
    QByteArray out = QByteArray::fromHex("0062720101") + QByteArray(8, '\0') + QByteArray::fromHex("ffffff");
    qToLittleEndian<quint32>(j, reinterpret_cast<uchar *>(out.data()) + 5);
    qToLittleEndian<quint32>(a, reinterpret_cast<uchar *>(out.data()) + 9);
    return out;
}

// A well-framed datagram around arbitrary JSON text and attachment.
inline QByteArray frame(const QByteArray &jsonText, const QByteArray &attachment = QByteArray())
{
    return header(quint32(jsonText.size()), quint32(attachment.size())) + jsonText + attachment;
}

// A blocking client, for a test thread with no event loop of its own.
class Client : public QLocalSocket
{
public:
    explicit Client(const QString &name) { connectToServer(name), waitForConnected(2000); }
    bool send(const QByteArray &bytes)
    {
        write(bytes);
        while (bytesToWrite() > 0 && waitForBytesWritten(30000)) {}
        return bytesToWrite() == 0;
    }
    // Reads until buffer() holds size bytes; false on time-out or close.
    bool read(int size, int ms)
    {
        const QDeadlineTimer deadline(ms);
        while ((m_buffer += readAll()).size() < size) {
            if (!waitForReadyRead(int(deadline.remainingTime())))
                return (m_buffer += readAll()).size() >= size;
        }
        return true;
    }
    // The key of the next reply as a number; -1 after ms without one.
    int result(int ms = 5000, const char *key = "results")
    {
        const QDeadlineTimer deadline(ms);
        for (BR2RpcPacket packet;;) {
            if (packet.fromDatagram(m_buffer) == BR2RpcPacket::DATAGRAM_OK)
                return packet.value(QLatin1String(key)).toInt(-1);
            if (!read(m_buffer.size() + 1, int(deadline.remainingTime())))
                return -1;
        }
    }
    // To a server with an echo command, which answers with its parameter.
    int echo(int n) { return send(BR2RpcPacket({{"cmd", "echo"}, {"params", n}}).toDatagram()) ? result() : -1; }
    bool closedWithin(int ms) { return !read(INT_MAX, ms) && state() == UnconnectedState; }
    QByteArray &buffer() { return m_buffer; }

private:
    QByteArray m_buffer;
};

#endif // BRLIBFIXTURE_H
