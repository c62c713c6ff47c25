#ifndef BRLIBFIXTURE_H
#define BRLIBFIXTURE_H
#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QtEndian>

// Helpers the framework tests share.

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

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

#endif // BRLIBFIXTURE_H
