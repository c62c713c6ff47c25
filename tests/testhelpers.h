#ifndef TESTHELPERS_H
#define TESTHELPERS_H
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

// Files in and out, and a process's peak memory, for every test program.

// Makes the file's folder first.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// "<missing>" when the file cannot be opened, so that an empty file differs.
inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// The peak resident memory in KiB of a process (0: this one), -1 when unknown.
inline qint64 peakKiB(qint64 pid = 0)
{
    const QByteArray status = readFile(QStringLiteral("/proc/%1/status").arg(pid ? QString::number(pid) : QStringLiteral("self")));
    const int at = status.indexOf("VmHWM:");
    return at < 0 ? -1 : status.mid(at + 6, status.indexOf('\n', at) - at - 6).trimmed().split(' ').value(0).toLongLong();
}

#endif // TESTHELPERS_H
