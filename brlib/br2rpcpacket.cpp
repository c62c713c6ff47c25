#include "br2rpcpacket.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QtEndian>

#include <cmath>
#include <limits>

// Datagram, as it travels in both directions on a local connection:
//
//   offset  size  content
//   0       3     mark 00 62 72 ("\0br")
//   3       1     01
//   4       1     01
//   5       4     J, length of the JSON text, unsigned 32-bit little-endian
//   9       4     A, length of the attachment, unsigned 32-bit little-endian
//   13      3     FF FF FF
//   16      J     the object as compact JSON (no white space, keys sorted)
//   16+J    A     the attachment
//
// Bytes 3, 4 and 13..15 are written as shown and never checked. An empty
// object is never framed: it goes out as the 4-byte keep-alive 00 6B 61 00.
//
// Tagged value encoding (toCompactValue), one tag byte then the body:
//   ?  bool    't' or 'f', then NUL
//   =  number  printf %.15g text, then NUL
//   |  string  UTF-8 text, then NUL
//   :  array   each element encoded, then NUL
//   >  object  for each member in key order: the key's UTF-8 bytes, no
//              terminator, straight followed by the member's encoding; then NUL
// Null has no tag. A null array element is simply not written; a null
// member is skipped key and all, because a bare key with nothing behind it
// would run into the next key and could not be decoded.

const QByteArray PACKET_MARK = QByteArray("\x00" "br", 3);
const QByteArray PACKET_KEEPALIVE = QByteArray("\x00" "ka" "\x00", 4);

namespace {

const int HEADER_SIZE = BR2RpcPacket::HEADER_SIZE;
// J + A must still fit one byte array together with the header.
const qint64 MAX_BYTEARRAY_PAYLOAD = qint64(std::numeric_limits<int>::max()) - 64 - HEADER_SIZE;
// Nesting deeper than this fails to decode instead of exhausting the stack.
const int MAX_DEPTH = 1024;

const char TAG_BOOL = '?';
const char TAG_NUMBER = '=';
const char TAG_STRING = '|';
const char TAG_ARRAY = ':';
const char TAG_OBJECT = '>';

bool isTag(char c)
{
    return c == TAG_ARRAY || c == TAG_NUMBER || c == TAG_OBJECT || c == TAG_BOOL || c == TAG_STRING;
}

bool isRoutingKey(const QString &key)
{
    return key.startsWith(QLatin1Char('_')) || key == QLatin1String("seq") || key == QLatin1String("cno")
        || key == QLatin1String("cmd") || key == QLatin1String("routers");
}

void appendLe32(QByteArray &out, quint32 value)
{
    uchar bytes[4];
    qToLittleEndian<quint32>(value, bytes);
    out.append(reinterpret_cast<const char *>(bytes), 4);
}

// Whole-number JSON value as int; anything else (missing, text, fraction,
// out of range) gives 0.
int integralValue(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double d = value.toDouble();
    if (!std::isfinite(d) || d != std::floor(d) || d < std::numeric_limits<int>::min()
        || d > std::numeric_limits<int>::max())
        return 0;
    return int(d);
}

void encodeValue(QByteArray &out, const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        out += TAG_BOOL;
        out += value.toBool() ? 't' : 'f';
        out += '\0';
        break;
    case QJsonValue::Double:
        out += TAG_NUMBER;
        out += QString::number(value.toDouble(), 'g', 15).toUtf8();
        out += '\0';
        break;
    case QJsonValue::String:
        out += TAG_STRING;
        out += value.toString().toUtf8();
        out += '\0';
        break;
    case QJsonValue::Array: {
        out += TAG_ARRAY;
        const QJsonArray array = value.toArray();
        for (const QJsonValue &element : array)
            encodeValue(out, element);
        out += '\0';
        break;
    }
    case QJsonValue::Object: {
        out += TAG_OBJECT;
        const QJsonObject object = value.toObject();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            const QJsonValue member = it.value();
            if (member.isNull() || member.isUndefined())
                continue;
            out += it.key().toUtf8();
            encodeValue(out, member);
        }
        out += '\0';
        break;
    }
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        break;
    }
}

bool decodeValue(QJsonValue &out, char tag, const QByteArray &buffer, int &pos, int depth);

QJsonObject decodeObject(const QByteArray &buffer, int &pos, int depth)
{
    QJsonObject object;
    const int size = buffer.size();
    const char *data = buffer.constData();
    while (pos < size) {
        if (data[pos] == '\0') {
            ++pos;
            break;
        }
        int tagPos = pos;
        while (tagPos < size && !isTag(data[tagPos]))
            ++tagPos;
        if (tagPos >= size)
            break;
        QByteArray key = buffer.mid(pos, tagPos - pos);
        const int nul = key.indexOf('\0');
        if (nul >= 0)
            key.truncate(nul);
        pos = tagPos + 1;
        QJsonValue member;
        if (!decodeValue(member, data[tagPos], buffer, pos, depth + 1))
            break;
        object.insert(QString::fromUtf8(key), member);
    }
    return object;
}

// On failure out is untouched; pos may already have moved.
bool decodeValue(QJsonValue &out, char tag, const QByteArray &buffer, int &pos, int depth)
{
    if (depth > MAX_DEPTH)
        return false;
    const int size = buffer.size();
    const char *data = buffer.constData();
    switch (tag) {
    case TAG_BOOL: {
        const bool value = pos < size && (data[pos] == 't' || data[pos] == 'T');
        const int nul = buffer.indexOf('\0', pos);
        pos = nul >= 0 ? nul + 1 : size;
        out = value;
        return true;
    }
    case TAG_NUMBER: {
        const int nul = buffer.indexOf('\0', pos);
        if (nul < 0 || nul == pos)
            return false;
        const QByteArray text = buffer.mid(pos, nul - pos);
        pos = nul + 1;
        out = text.toDouble();   // locale-independent; not a number gives 0
        return true;
    }
    case TAG_STRING: {
        const int nul = buffer.indexOf('\0', pos);
        if (nul < 0)
            return false;
        out = QString::fromUtf8(data + pos, nul - pos);
        pos = nul + 1;
        return true;
    }
    case TAG_ARRAY: {
        QJsonArray array;
        for (;;) {
            if (pos >= size)
                return false;
            const char c = data[pos++];
            if (c == '\0')
                break;
            // A stray byte would otherwise be skipped silently or looped on.
            if (!isTag(c))
                return false;
            QJsonValue element;
            if (!decodeValue(element, c, buffer, pos, depth + 1))
                return false;
            array.append(element);
        }
        out = array;
        return true;
    }
    case TAG_OBJECT:
        out = decodeObject(buffer, pos, depth);
        return true;
    default:
        return false;
    }
}

} // namespace

BR2RpcPacket::BR2RpcPacket(const QJsonObject &object)
    : QJsonObject(object)
{
}

BR2RpcPacket &BR2RpcPacket::operator=(const QJsonObject &object)
{
    QJsonObject::operator=(object);
    return *this;
}

QByteArray BR2RpcPacket::keepAlive()
{
    return PACKET_KEEPALIVE;
}

QByteArray BR2RpcPacket::toDatagram() const
{
    if (isEmpty())
        return PACKET_KEEPALIVE;
    const QByteArray json = toCompact();
    QByteArray datagram;
    datagram.reserve(HEADER_SIZE + json.size() + m_attachment.size());
    datagram += PACKET_MARK;
    datagram += '\x01';
    datagram += '\x01';
    appendLe32(datagram, quint32(json.size()));
    appendLe32(datagram, quint32(m_attachment.size()));
    datagram += QByteArray(3, '\xFF');
    datagram += json;
    datagram += m_attachment;
    return datagram;
}

int BR2RpcPacket::fromDatagram(QByteArray &buffer)
{
    return fromDatagram(buffer, MAX_BYTEARRAY_PAYLOAD);
}

int BR2RpcPacket::fromDatagram(QByteArray &buffer, qint64 maxPayload)
{
    m_attachment.clear();
    if (buffer.startsWith(PACKET_KEEPALIVE)) {
        buffer.remove(0, PACKET_KEEPALIVE.size());
        QJsonObject::operator=(QJsonObject());
        return DATAGRAM_KEEPALIVE;
    }
    if (!buffer.startsWith(PACKET_MARK))
        return buffer.size() < 4 ? DATAGRAM_INCOMPLETE : DATAGRAM_INVALID;
    if (buffer.size() < HEADER_SIZE)
        return DATAGRAM_INCOMPLETE;

    quint32 jsonSize = 0;
    quint32 attachmentSize = 0;
    frameLengths(buffer, jsonSize, attachmentSize);
    // In 64 bits: two 32-bit lengths may add up past what an int holds.
    const qint64 payload = qint64(jsonSize) + qint64(attachmentSize);
    if (payload > maxPayload || payload > MAX_BYTEARRAY_PAYLOAD)
        return DATAGRAM_INVALID;
    const qint64 total = HEADER_SIZE + payload;
    if (buffer.size() < total)
        return DATAGRAM_INCOMPLETE;

    if (fromJsonText(buffer.constData() + HEADER_SIZE, int(jsonSize)) != DATAGRAM_OK)
        return DATAGRAM_INVALID;
    if (attachmentSize != 0)
        m_attachment = buffer.mid(HEADER_SIZE + int(jsonSize), int(attachmentSize));
    buffer.remove(0, int(total));
    return DATAGRAM_OK;
}

bool BR2RpcPacket::frameLengths(const QByteArray &buffer, quint32 &jsonSize, quint32 &attachmentSize)
{
    if (buffer.size() < HEADER_SIZE || !buffer.startsWith(PACKET_MARK))
        return false;
    const uchar *header = reinterpret_cast<const uchar *>(buffer.constData());
    jsonSize = qFromLittleEndian<quint32>(header + 5);
    attachmentSize = qFromLittleEndian<quint32>(header + 9);
    return true;
}

int BR2RpcPacket::fromJsonText(const char *text, int size)
{
    m_attachment.clear();
    // Every value but the first is a container or follows a separator, and
    // takes at least one byte: only a longer text can hold too many.
    if (size > MAX_JSON_VALUES) {
        int values = 1;
        bool inString = false;
        for (int i = 0; i < size && values <= MAX_JSON_VALUES; ++i) {
            const char c = text[i];
            if (inString) {
                if (c == '\\')
                    ++i;
                else if (c == '"')
                    inString = false;
            } else if (c == '"') {
                inString = true;
            } else if (c == ',' || c == '[' || c == '{') {
                ++values;
            }
        }
        if (values > MAX_JSON_VALUES)
            return DATAGRAM_INVALID;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromRawData(text, size), &error);
    if (error.error != QJsonParseError::NoError)
        return DATAGRAM_INVALID;
    // An array at the top yields an empty object, which callers treat as a
    // keep-alive.
    QJsonObject::operator=(document.isObject() ? document.object() : QJsonObject());
    return DATAGRAM_OK;
}

QByteArray BR2RpcPacket::toCompact() const
{
    return QJsonDocument(static_cast<const QJsonObject &>(*this)).toJson(QJsonDocument::Compact);
}

int BR2RpcPacket::fromCompact(const QByteArray &compact)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(compact, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return DATAGRAM_INVALID;
    QJsonObject::operator=(document.object());
    return DATAGRAM_OK;
}

QByteArray BR2RpcPacket::toCompactValue(const QJsonValue &value) const
{
    QByteArray out;
    encodeValue(out, value);
    return out;
}

bool BR2RpcPacket::fromCompactValue(QJsonValue &out, char tag, QByteArray &buffer) const
{
    int pos = 0;
    const bool ok = decodeValue(out, tag, buffer, pos, 0);
    buffer.remove(0, pos);
    return ok;
}

QJsonObject BR2RpcPacket::fromCompactObject(QByteArray &buffer) const
{
    int pos = 0;
    const QJsonObject object = decodeObject(buffer, pos, 0);
    buffer.remove(0, pos);
    return object;
}

BR2RpcPacket BR2RpcPacket::make(const QString &cmd, int err, const QJsonObject &params)
{
    BR2RpcPacket packet;
    packet.insert(QStringLiteral("cmd"), cmd);
    packet.insert(QStringLiteral("err"), err);
    if (!params.isEmpty())
        packet.insert(QStringLiteral("params"), params);
    return packet;
}

void BR2RpcPacket::copyResponsed(QJsonObject &out, const QJsonObject &request)
{
    for (auto it = request.constBegin(); it != request.constEnd(); ++it) {
        if (isRoutingKey(it.key()))
            out.insert(it.key(), it.value());
    }
}

void BR2RpcPacket::copyResponsed(QJsonObject &out, const QJsonObject &request, int err, const QString &errmsg)
{
    copyResponsed(out, request);
    out.insert(QStringLiteral("err"), err);
    if (!errmsg.isEmpty())
        out.insert(QStringLiteral("errmsg"), errmsg);
}

BR2RpcPacket BR2RpcPacket::copyResponsed(const QJsonObject &request)
{
    BR2RpcPacket packet;
    packet.shrink(request);
    return packet;
}

BR2RpcPacket BR2RpcPacket::copyResponsed(const QJsonObject &request, int err, const QString &errmsg)
{
    BR2RpcPacket packet;
    copyResponsed(packet, request, err, errmsg);
    return packet;
}

void BR2RpcPacket::shrink(const QJsonObject &request)
{
    QJsonObject::operator=(QJsonObject());
    copyResponsed(*this, request);
}

void BR2RpcPacket::shrink()
{
    for (auto it = begin(); it != end();) {
        const QString key = it.key();
        if (key.startsWith(QLatin1Char('_')) || key == QLatin1String("seq") || key == QLatin1String("cno")
            || key == QLatin1String("cmd"))
            ++it;
        else
            it = erase(it);
    }
}

bool BR2RpcPacket::takeRouter(int &fd, int &session, QJsonObject &object)
{
    QJsonArray routers = object.value(QStringLiteral("routers")).toArray();
    if (routers.isEmpty())
        return false;
    const QJsonObject top = routers.last().toObject();
    routers.removeLast();
    fd = integralValue(top.value(QStringLiteral("fd")));
    session = integralValue(top.value(QStringLiteral("session")));
    if (routers.isEmpty())
        object.remove(QStringLiteral("routers"));
    else
        object.insert(QStringLiteral("routers"), routers);
    return true;
}
