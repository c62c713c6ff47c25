#ifndef BR2SQLENGINE_H
#define BR2SQLENGINE_H
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The engine file: the named SQL statements a database is used through
// (format at the top of br2sqlengine.cpp).
namespace BR2SqlEngine {

// The text's lines with "--" comments cut and every line trimmed; empty
// lines are dropped.
QStringList delSqlComments(const QString &text);

// The statements of an engine file's text, on top of the built-in
// configure_* statements: name -> {"id", "text", "params": {name: type}}.
QJsonObject parse(const QString &text);

} // namespace BR2SqlEngine

#endif // BR2SQLENGINE_H
