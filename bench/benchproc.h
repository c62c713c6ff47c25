#ifndef BENCHPROC_H
#define BENCHPROC_H
#include <QByteArray>
#include <QFile>
#include <QString>

// The number after key in a /proc file of this process ("VmHWM:" in
// /proc/self/status, "rchar:" in /proc/self/io), or -1.
inline qint64 procField(const char *file, const char *key)
{
    QFile f(QString::fromLatin1(file));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

#endif // BENCHPROC_H
