#include "br2utils.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutex>
#include <QMutexLocker>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <cerrno>
#include <climits>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QMutex PRINT_MUTEX;

QMutex &sinkMutex()
{
    static QMutex m;
    return m;
}

BR2ConsoleSink &sinkCallback()
{
    static BR2ConsoleSink sink;
    return sink;
}

void writeAll(const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;   // output the console cannot take is lost
        }
        p += n;
        left -= n;
    }
}

void emitPiece(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    QMutexLocker lock(&sinkMutex());
    if (sinkCallback())
        sinkCallback()(bytes);
    else
        writeAll(bytes);
}

QString baseName(const char *path, bool backslashToo)
{
    const QString p = QString::fromUtf8(path ? path : "");
    int cut = p.lastIndexOf(QLatin1Char('/'));
    if (backslashToo)
        cut = qMax(cut, p.lastIndexOf(QLatin1Char('\\')));
    return p.mid(cut + 1);
}

QString posText(const char *file, int line, const char *function)
{
    return QStringLiteral(">>-->") + QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz "))
        + baseName(file, true) + QLatin1Char('#') + QString::number(line) + QStringLiteral(" => ")
        + QString::fromUtf8(function ? function : "") + QStringLiteral(": ");
}

QString nameText(const QVariant &name)
{
    const QString text = toPrintString(name);
    return text.isEmpty() ? QStringLiteral("~~ ~~ ~~") : text + QStringLiteral(" = ");
}

bool parseInt(const QString &text, int base, int &out)
{
    bool ok = false;
    const int v = text.toInt(&ok, base);
    if (ok)
        out = v;
    return ok;
}

}   // namespace

QString toString(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Double: {
        const double d = value.toDouble();
        const int i = (std::isfinite(d) && d >= INT_MIN && d <= INT_MAX && d == std::trunc(d)) ? int(d) : 0;
        if (double(i) == d)
            return QString::number(i);
        return QString::number(d, 'f', 6);
    }
    case QJsonValue::String:
        return value.toString();
    default:
        return QString();
    }
}

QString toString(const QJsonValue &value, const QString &defaultValue)
{
    const QString s = toString(value);
    return s.isEmpty() ? defaultValue : s;
}

QStringList toStrings(const QJsonValue &value, bool skipEmpty)
{
    QStringList list;
    const QJsonArray array = value.toArray();
    list.reserve(array.size());
    for (const QJsonValue &item : array) {
        const QString s = toString(item);
        if (!skipEmpty || !s.trimmed().isEmpty())
            list.append(s);
    }
    return list;
}

int toInt(const QJsonValue &value, int defaultValue)
{
    switch (value.type()) {
    case QJsonValue::Double: {
        // A plain cast of a double outside int's range is undefined; any
        // client can send 1e300, so saturate instead.
        const double d = value.toDouble();
        if (std::isnan(d))
            return 0;
        if (d >= 2147483648.0)
            return INT_MAX;
        if (d <= -2147483649.0)
            return INT_MIN;
        return int(d);
    }
    case QJsonValue::Bool:
        return value.toBool() ? 1 : 0;
    case QJsonValue::String: {
        const QString s = value.toString();
        int v = 0;
        if (parseInt(s, 10, v) || parseInt(s, 16, v))
            return v;
        return 0;
    }
    default:
        return defaultValue;
    }
}

int toInt(const QJsonValue &value)
{
    return toInt(value, 0);
}

bool toBool(const QString &text)
{
    bool ok = false;
    const int v = text.toInt(&ok, 10);
    if (ok && v > 0)
        return true;
    static const char *const words[] = {"true", "yes", "on", "ok", "y", "t"};
    for (const char *w : words) {
        if (text.compare(QLatin1String(w), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool isTrue(const QString &text)
{
    return toBool(text);
}

bool isTrue(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::Double:
        return value.toDouble() > 0;   // NaN compares false
    case QJsonValue::String:
        return toBool(value.toString());
    default:
        return false;
    }
}

bool toBool(const QJsonValue &value)
{
    return isTrue(value);
}

bool toJsonObject(QJsonObject &out, const QByteArray &utf8)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(utf8, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    out = doc.object();
    return true;
}

bool toJsonObject(QJsonObject &out, const QString &text)
{
    return toJsonObject(out, text.toUtf8());
}

QJsonObject toJsonObject(const QByteArray &utf8)
{
    QJsonObject out;
    toJsonObject(out, utf8);
    return out;
}

QJsonObject toJsonObject(const QString &text)
{
    return toJsonObject(text.toUtf8());
}

QByteArray md5hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex();
}

QByteArray md5hex(const QString &text)
{
    return md5hex(text.toUtf8());
}

bool writeFully(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

QByteArray fileMd5hex(const QString &path)
{
    // Opened without blocking and checked to be a regular file first: a
    // FIFO put in a file's place would hold the caller until a writer came.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st;
    if (fd < 0)
        return QByteArray();
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, 0) != 0) {
        ::close(fd);
        return QByteArray();
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return QByteArray();
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    constexpr qint64 chunk = 33554432;
    // Chunks of 32 MiB bound the memory of one call; a smaller file needs
    // no more than its own size (plus one byte to see its end).
    QByteArray buffer;
    const qint64 size = file.size();
    buffer.resize(int(size > 0 && size < chunk ? size + 1 : chunk));
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0)
            return QByteArray();
        if (n == 0) {
            // A zero-byte read before the end means the device gave up;
            // never report the digest of the bytes read so far.
            if (!file.atEnd())
                return QByteArray();
            break;
        }
        hash.addData(buffer.constData(), int(n));
    }
    return hash.result().toHex();
}

QDateTime complieDateTime(const QString &date, const QString &time)
{
    static const QStringList months = {
        QStringLiteral("JAN"), QStringLiteral("FEB"), QStringLiteral("MAR"), QStringLiteral("APR"),
        QStringLiteral("MAY"), QStringLiteral("JUN"), QStringLiteral("JUL"), QStringLiteral("AUG"),
        QStringLiteral("SEP"), QStringLiteral("OCT"), QStringLiteral("NOV"), QStringLiteral("DEC")};
    const int year = date.right(4).toInt();
    const int month = months.indexOf(date.left(3).toUpper()) + 1;   // 0 for an unknown name: invalid date
    const int day = date.mid(4, 2).trimmed().toInt();
    const int hour = time.left(2).toInt();
    const int minute = time.mid(3, 2).toInt();
    const int second = time.right(2).toInt();
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second, 0), Qt::LocalTime);
}

QMutex *PRINTMUTEX()
{
    return &PRINT_MUTEX;
}

QString escapeControls(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u >= 0x20 && u != 0x7f && !(u >= 0x80 && u < 0xa0)) {
            out += c;
            continue;
        }
        switch (u) {
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        default: out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        }
    }
    return out;
}

namespace {

// The text of a value as printed. JSON documents keep their layout (their
// strings are escaped by JSON); any other text has its control characters
// escaped, so that a file name cannot end a console line or reach the
// terminal as a command.
QString printText(const QVariant &value)
{
    const QByteArray type = value.typeName() ? QByteArray(value.typeName()) : QByteArray();
    if (type == "QJsonValue") {
        const QJsonValue v = value.value<QJsonValue>();
        if (v.isObject())
            return QString::fromUtf8(QJsonDocument(v.toObject()).toJson(QJsonDocument::Indented));
        if (v.isArray())
            return QString::fromUtf8(QJsonDocument(v.toArray()).toJson(QJsonDocument::Indented));
        if (v.isString())
            return v.toString();
        return QString();
    }
    if (type == "QJsonObject")
        return QString::fromUtf8(QJsonDocument(value.value<QJsonObject>()).toJson(QJsonDocument::Indented));
    if (type == "QJsonArray")
        return QString::fromUtf8(QJsonDocument(value.value<QJsonArray>()).toJson(QJsonDocument::Indented));
    if (type == "QStringList")
        return QStringLiteral("QStringList(") + value.toStringList().join(QStringLiteral("; ")) + QLatin1Char(')');
    if (type == "QRect") {
        const QRect r = value.toRect();
        return QStringLiteral("QRect(%1, %2, %3, %4)").arg(r.left()).arg(r.top()).arg(r.width()).arg(r.height());
    }
    if (type == "QSize") {
        const QSize s = value.toSize();
        return QStringLiteral("QSize(%1, %2)").arg(s.width()).arg(s.height());
    }
    if (type == "QPoint") {
        const QPoint p = value.toPoint();
        return QStringLiteral("QPoint(%1, %2)").arg(p.x()).arg(p.y());
    }
    if (type == "QByteArray") {
        const QByteArray bytes = value.toByteArray();
        return QString::fromUtf8(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
    }
    return value.toString();
}

} // namespace

QString toPrintString(const QVariant &value)
{
    const QByteArray type = value.typeName() ? QByteArray(value.typeName()) : QByteArray();
    const bool document = type == "QJsonObject" || type == "QJsonArray"
        || (type == "QJsonValue" && !value.value<QJsonValue>().isString());
    const QString text = printText(value);
    return document ? text : escapeControls(text);
}

void PRINTPOS(const char *file, int line, const char *function)
{
    emitPiece(posText(file, line, function));
}

void PRINTNAME(const QVariant &name)
{
    emitPiece(nameText(name));
}

void PRINT(const QVariant &value)
{
    emitPiece(toPrintString(value));
}

void PRINT(const char *text)
{
    emitPiece(QString::fromUtf8(text ? text : ""));
}

void PRINTLN(const QVariant &value)
{
    emitPiece(toPrintString(value) + QLatin1Char('\n'));
}

void PRINTLN(const QStringList &items)
{
    PRINTLN(QVariant(items.join(QStringLiteral("; "))));
}

void PRINTLN(const QList<QJsonObject> &objects)
{
    QJsonArray array;
    for (const QJsonObject &o : objects)
        array.append(o);
    PRINTLN(QVariant::fromValue(array));
}

void PRINTLN_WITHTIME(const QVariant &value)
{
    emitPiece(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) + toPrintString(value)
              + QLatin1Char('\n'));
}

void PRINTLN_WITHTIMEPOS(const QVariant &value, const char *file, int line, const char *function)
{
    QString text = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz "));
    text += baseName(file, false);
    if (line > 0)
        text += QLatin1Char('#') + QString::number(line);
    if (function && *function)
        text += QStringLiteral("=>") + QString::fromUtf8(function);
    text += QStringLiteral(": ") + toPrintString(value) + QLatin1Char('\n');
    emitPiece(text);
}

QString PRETTY(const char *signature, int line)
{
    QString text = QString::fromUtf8(signature ? signature : "");
    const int paren = text.indexOf(QLatin1Char('('));
    if (paren > 0)
        text.truncate(paren);
    const int space = text.lastIndexOf(QLatin1Char(' '));
    if (space > 0)
        text = text.mid(space + 1);
    if (line > 0)
        text += QLatin1Char('#') + QString::number(line);
    return text;
}

void printExpression(const char *file, int line, const char *function, const char *expression,
                     const QVariant &value)
{
    QMutexLocker lock(PRINTMUTEX());
    emitPiece(posText(file, line, function) + nameText(QString::fromUtf8(expression)) + toPrintString(value)
              + QLatin1Char('\n'));
}

void setConsoleSink(BR2ConsoleSink sink)
{
    QMutexLocker lock(&sinkMutex());
    sinkCallback() = std::move(sink);
}
