#ifndef BR2UTILS_H
#define BR2UTILS_H
#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>

class QMutex;

// Value conversions with fixed, forgiving rules: senders are loose about
// types, so a count may arrive as a number or as decimal or hex text.
QString toString(const QJsonValue &value);
QString toString(const QJsonValue &value, const QString &defaultValue);
QStringList toStrings(const QJsonValue &value, bool skipEmpty);
int toInt(const QJsonValue &value);
int toInt(const QJsonValue &value, int defaultValue);
bool toBool(const QString &text);
bool isTrue(const QString &text);
bool isTrue(const QJsonValue &value);
bool toBool(const QJsonValue &value);
QJsonObject toJsonObject(const QByteArray &utf8);
QJsonObject toJsonObject(const QString &text);
bool toJsonObject(QJsonObject &out, const QByteArray &utf8);
bool toJsonObject(QJsonObject &out, const QString &text);
QByteArray md5hex(const QString &text);
QByteArray md5hex(const QByteArray &bytes);
// Empty when the file cannot be opened or a read fails before its end:
// a partial digest would name a thumbnail after part of a file.
QByteArray fileMd5hex(const QString &path);
// Writes all of size bytes to fd, resuming after signals; false on a
// failure or a write that takes nothing.
bool writeFully(int fd, const char *data, size_t size);
QDateTime complieDateTime(const QString &date, const QString &time);

// Console tracing. Every call goes through one sink that writes a whole
// piece with a single write under the sink's own mutex, so lines from
// several threads never mix, and always as UTF-8 whatever the locale.
QMutex *PRINTMUTEX();
void PRINTPOS(const char *file, int line, const char *function);
void PRINTNAME(const QVariant &name);
void PRINT(const QVariant &value);
void PRINT(const char *text);
void PRINTLN(const QVariant &value);
void PRINTLN(const QStringList &items);
void PRINTLN(const QList<QJsonObject> &objects);
void PRINTLN_WITHTIME(const QVariant &value);
void PRINTLN_WITHTIMEPOS(const QVariant &value, const char *file, int line, const char *function);
QString toPrintString(const QVariant &value);
// text with every control character (below 0x20, 0x7f, 0x80 to 0x9f)
// written as an escape: \n, \r, \t or \xHH.
QString escapeControls(const QString &text);
QString PRETTY(const char *signature, int line);

// One expression trace: position, expression text and value as one line,
// written under PRINTMUTEX() so traced expressions never mix.
void printExpression(const char *file, int line, const char *function, const char *expression,
                     const QVariant &value);
#define PRINTEXPR(expr) printExpression(__FILE__, __LINE__, __func__, #expr, QVariant::fromValue(expr))

// Where console output goes. Null restores standard output; tests install
// a capture. The callback runs under the sink's mutex.
using BR2ConsoleSink = std::function<void(const QByteArray &)>;
void setConsoleSink(BR2ConsoleSink sink);

#endif // BR2UTILS_H
