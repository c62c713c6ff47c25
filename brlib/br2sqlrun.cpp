#include "br2sqlrun.h"

#include <sqlite3.h>

#include <cctype>
#include <climits>
#include <cmath>

namespace {

const int kStatementCacheSize = 64;

void bindParameters(sqlite3_stmt *stmt, const QJsonObject &values, const QJsonObject &types)
{
    const int count = sqlite3_bind_parameter_count(stmt);
    for (int i = 1; i <= count; ++i) {
        const char *raw = sqlite3_bind_parameter_name(stmt, i);
        if (!raw || !*raw)
            continue; // a positional "?" has no name to look up: it stays NULL
        const QString name = QString::fromUtf8(raw + 1);
        const auto it = values.constFind(name);
        if (it != values.constEnd()) {
            const QJsonValue v = it.value();
            switch (v.type()) {
            case QJsonValue::Bool:
                sqlite3_bind_int64(stmt, i, v.toBool() ? 1 : 0);
                break;
            case QJsonValue::Double: {
                const double d = v.toDouble();
                if (std::trunc(d) == d && d >= double(INT_MIN) && d <= double(INT_MAX))
                    sqlite3_bind_int64(stmt, i, qint64(d));
                else
                    sqlite3_bind_double(stmt, i, d);
                break;
            }
            case QJsonValue::String: {
                const QByteArray text = v.toString().toUtf8();
                sqlite3_bind_text(stmt, i, text.constData(), text.size(), SQLITE_TRANSIENT);
                break;
            }
            default: // null, array, object: SQL NULL
                break;
            }
            continue;
        }
        const auto t = types.constFind(name);
        if (t == types.constEnd())
            continue;
        const QString type = t.value().toString();
        if (type == QLatin1String("string") || type == QLatin1String("text"))
            sqlite3_bind_text(stmt, i, "", 0, SQLITE_STATIC);
        else if (type == QLatin1String("int") || type == QLatin1String("integer") || type == QLatin1String("double"))
            sqlite3_bind_int64(stmt, i, 0);
    }
}

QJsonObject readRow(sqlite3_stmt *stmt)
{
    QJsonObject row;
    const int columns = sqlite3_column_count(stmt);
    for (int c = 0; c < columns; ++c) {
        const QString key = QString::fromUtf8(sqlite3_column_name(stmt, c)).toLower();
        switch (sqlite3_column_type(stmt, c)) {
        case SQLITE_INTEGER:
            // Callers of this framework read integer columns as 32 bits.
            row.insert(key, sqlite3_column_int(stmt, c));
            break;
        case SQLITE_FLOAT:
            row.insert(key, sqlite3_column_double(stmt, c));
            break;
        case SQLITE_TEXT: {
            const char *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, c));
            row.insert(key, QString::fromUtf8(text, sqlite3_column_bytes(stmt, c)));
            break;
        }
        default: // BLOB and NULL columns are left out of the row
            break;
        }
    }
    return row;
}

} // namespace

bool runSql(sqlite3 *db, int &changes, int &lastId, QList<QJsonObject> *rows, const QByteArray &sqlText,
            const QJsonObject &values, const QJsonObject &types, bool strict, QString &error,
            QHash<QByteArray, sqlite3_stmt *> *cache)
{
    changes = 0;
    lastId = 0;
    const QByteArray sql = sqlText.trimmed();
    const char *pos = sql.constData();
    const char *const end = pos + sql.size();
    bool succeeded = false;
    bool failed = false;
    while (pos < end && !failed) {
        sqlite3_stmt *stmt = cache && pos == sql.constData() ? cache->take(sql) : nullptr;
        bool whole = stmt != nullptr;
        if (stmt) {
            pos = end;
        } else {
            const char *tail = nullptr;
            const bool first = pos == sql.constData();
            if (sqlite3_prepare_v2(db, pos, int(end - pos), &stmt, &tail) != SQLITE_OK) {
                error = QString::fromUtf8(sqlite3_errmsg(db));
                sqlite3_finalize(stmt);
                failed = true;
                break;
            }
            pos = tail ? tail : end;
            while (pos < end && isspace(static_cast<unsigned char>(*pos)))
                ++pos;
            whole = first && pos == end;
        }
        if (!stmt)
            continue; // only white space or a comment
        bindParameters(stmt, values, types);
        for (;;) {
            const int rc = sqlite3_step(stmt);
            if (rc == SQLITE_ROW) {
                if (rows)
                    rows->append(readRow(stmt));
                succeeded = true;
                continue;
            }
            if (rc == SQLITE_DONE || rc == SQLITE_OK) {
                changes = sqlite3_changes(db);
                lastId = int(sqlite3_last_insert_rowid(db));
                succeeded = true;
                break;
            }
            error = QString::fromUtf8(sqlite3_errmsg(db));
            if (strict) {
                failed = true;
            } else if (succeeded) {
                changes = sqlite3_changes(db);
                lastId = int(sqlite3_last_insert_rowid(db));
            }
            break;
        }
        if (whole && cache && cache->size() < kStatementCacheSize) {
            sqlite3_reset(stmt);
            sqlite3_clear_bindings(stmt);
            cache->insert(sql, stmt);
        } else {
            sqlite3_finalize(stmt);
        }
    }
    if (!strict)
        return succeeded;
    if (!failed && !succeeded)
        error = QStringLiteral("no SQL statement to run");
    return succeeded && !failed;
}

