#ifndef BR2RPCPACKET_H
#define BR2RPCPACKET_H

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMetaType>
#include <QString>

// First bytes of every data datagram: NUL, 'b', 'r'.
extern const QByteArray PACKET_MARK;
// The whole keep-alive datagram: NUL, 'k', 'a', NUL.
extern const QByteArray PACKET_KEEPALIVE;

// One request or reply on a local connection: a JSON object plus raw bytes
// (the attachment) that travel behind the JSON text. The packet is a
// QJsonObject so it can be handed to anything that takes the request.
class BR2RpcPacket : public QJsonObject
{
public:
    // Results of fromDatagram and fromCompact; peers test these numbers.
    enum Result {
        DATAGRAM_OK = 0,          // a data datagram was decoded and consumed
        DATAGRAM_KEEPALIVE = 1,   // a keep-alive was consumed; the object is empty
        DATAGRAM_INCOMPLETE = 2,  // only the start of a datagram; nothing consumed
        DATAGRAM_INVALID = 4      // not a datagram, or its JSON does not parse; nothing consumed
    };

    // Bytes before the JSON text of a data datagram.
    static constexpr int HEADER_SIZE = 16;
    // The longest JSON text the service takes in one request. Clients check
    // it before sending; a header announcing more closes the connection.
    // Large enough for a command job at the command-line limit of 2 Mi
    // characters, in UTF-8 and with JSON escapes.
    static constexpr qint64 MAX_JSON_TEXT = 8 * 1024 * 1024;
    // The most values (objects, arrays, and the members and elements in
    // them) one JSON text may hold: decoded, each costs tens of bytes, so a
    // text of tiny values would cost far more memory than its size.
    static constexpr int MAX_JSON_VALUES = 256 * 1024;

    BR2RpcPacket() = default;
    BR2RpcPacket(const QJsonObject &object);   // attachment empty
    BR2RpcPacket(const BR2RpcPacket &other) = default;
    BR2RpcPacket(BR2RpcPacket &&other) = default;
    ~BR2RpcPacket() = default;
    BR2RpcPacket &operator=(const BR2RpcPacket &other) = default;
    BR2RpcPacket &operator=(BR2RpcPacket &&other) = default;
    // Replaces the object only; the attachment stays as it was.
    BR2RpcPacket &operator=(const QJsonObject &object);

    QByteArray attachment() const { return m_attachment; }
    void setAttachment(const QByteArray &attachment) { m_attachment = attachment; }

    bool isKeepAlive() const { return isEmpty(); }
    static QByteArray keepAlive();

    QByteArray toDatagram() const;
    // Decodes the datagram at the front of buffer and removes it when
    // complete. The one-argument form accepts any size a byte array can
    // hold; maxPayload bounds J + A (larger headers give DATAGRAM_INVALID at
    // once instead of waiting for bytes that will never fit).
    int fromDatagram(QByteArray &buffer);
    int fromDatagram(QByteArray &buffer, qint64 maxPayload);
    // The two lengths of the data datagram whose header starts buffer; false
    // while the header is incomplete or buffer does not start with the mark.
    static bool frameLengths(const QByteArray &buffer, quint32 &jsonSize, quint32 &attachmentSize);
    // Decodes the JSON text of a datagram as fromDatagram does (an array
    // gives an empty object); the attachment is cleared. DATAGRAM_OK or
    // DATAGRAM_INVALID, also for a text of more than MAX_JSON_VALUES values.
    int fromJsonText(const char *text, int size);

    QByteArray toCompact() const;
    int fromCompact(const QByteArray &compact);

    QByteArray toCompactValue(const QJsonValue &value) const;
    bool fromCompactValue(QJsonValue &out, char tag, QByteArray &buffer) const;
    QJsonObject fromCompactObject(QByteArray &buffer) const;

    static BR2RpcPacket make(const QString &cmd, int err, const QJsonObject &params);
    static void copyResponsed(QJsonObject &out, const QJsonObject &request);
    static void copyResponsed(QJsonObject &out, const QJsonObject &request, int err, const QString &errmsg);
    static BR2RpcPacket copyResponsed(const QJsonObject &request);
    static BR2RpcPacket copyResponsed(const QJsonObject &request, int err, const QString &errmsg);
    void shrink(const QJsonObject &request);
    void shrink();

    static bool takeRouter(int &fd, int &session, QJsonObject &object);

private:
    QByteArray m_attachment;   // raw bytes behind the JSON text of a datagram
};

Q_DECLARE_METATYPE(BR2RpcPacket)

#endif // BR2RPCPACKET_H
