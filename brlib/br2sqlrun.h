#ifndef BR2SQLRUN_H
#define BR2SQLRUN_H
#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

struct sqlite3;
struct sqlite3_stmt;

// Runs every statement of sql on db, binding values by name (a parameter
// the caller leaves out gets the default of its declared type in types).
// Lenient mode: true as soon as one statement completed or produced a row,
// later statements still run after a failed step. Strict mode (creation
// scripts, upgrade steps): true only when at least one statement ran and
// none failed; the first failure stops. cache, when given, keeps prepared
// statements of texts that are a single statement, keyed by the text.
bool runSql(sqlite3 *db, int &changes, int &lastId, QList<QJsonObject> *rows, const QByteArray &sqlText,
            const QJsonObject &values, const QJsonObject &types, bool strict, QString &error,
            QHash<QByteArray, sqlite3_stmt *> *cache = nullptr);

#endif // BR2SQLRUN_H
