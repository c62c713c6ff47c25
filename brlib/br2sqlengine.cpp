// Engine file format (named SQL statements), read line by line after
// "--" comments are cut and every line is trimmed:
//
//   SQL: queue_remove          a header starts a statement; its name is
//   DELETE FROM t_queue        lower-cased. Text lines follow, each kept
//   WHERE quu_no = :quuno      with a trailing "\n".
//   ;
//   params:                    switches to parameter lines: a name (one
//   quuno   integer            leading "@" or ":" dropped) and a declared
//                              type (lower-cased); a bare name is "string".
//
// Declared types only give a default to a parameter the caller leaves out:
// "string"/"text" bind an empty text, "int"/"integer"/"double" bind 0.
// Lines before the first header, and a header without a name, are ignored;
// a statement without text lines is dropped; a later statement replaces an
// earlier one of the same name, the built-in configure_* statements too.
#include "br2sqlengine.h"

#include <QRegularExpression>

namespace {

QJsonObject builtinStatements()
{
    auto entry = [](const char *text, const QJsonObject &params) {
        return QJsonObject{{QStringLiteral("text"), QString::fromUtf8(text)}, {QStringLiteral("params"), params}};
    };
    const QJsonObject key{{QStringLiteral("key"), QStringLiteral("string")}};
    const QJsonObject keyValue{{QStringLiteral("key"), QStringLiteral("string")},
                               {QStringLiteral("value"), QStringLiteral("string")}};
    return QJsonObject{
        {QStringLiteral("configure_alload"),
         entry("SELECT CFG_Key AS key, CFG_Value AS value FROM SYS_Configure ORDER BY CFG_Key;", key)},
        {QStringLiteral("configure_get"),
         entry("SELECT CFG_Value AS value FROM SYS_Configure WHERE CFG_Key = :key LIMIT 1;", key)},
        {QStringLiteral("configure_change"),
         entry("UPDATE SYS_Configure SET CFG_Value = :value WHERE cfg_key = :key;", keyValue)},
        {QStringLiteral("configure_append"),
         entry("INSERT INTO SYS_Configure( CFG_Key, CFG_Value)VALUES( :key, :value);", keyValue)},
    };
}

} // namespace

namespace BR2SqlEngine {

QStringList delSqlComments(const QString &text)
{
    QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : lines) {
        const int cut = line.indexOf(QLatin1String("--"));
        if (cut >= 0)
            line.truncate(cut);
        line = line.trimmed();
    }
    return lines;
}

QJsonObject parse(const QString &text)
{
    QJsonObject engine = builtinStatements();
    QString name;
    QString sql;
    QJsonObject params;
    bool inParams = false;
    auto store = [&](bool atToColon) {
        if (name.isEmpty() || sql.isEmpty())
            return;
        if (atToColon)
            sql.replace(QLatin1Char('@'), QLatin1Char(':'));
        engine.insert(name, QJsonObject{{QStringLiteral("id"), name},
                                        {QStringLiteral("text"), sql},
                                        {QStringLiteral("params"), params}});
    };
    for (const QString &raw : delSqlComments(text)) {
        const QString line = raw.trimmed();
        if (line.isEmpty())
            continue;
        if (line.startsWith(QLatin1String("SQL:"), Qt::CaseInsensitive)) {
            store(true);
            name = line.mid(4).trimmed().toLower();
            sql.clear();
            params = QJsonObject();
            inParams = false;
            continue;
        }
        if (name.isEmpty())
            continue;
        if (line.startsWith(QLatin1String("Params:"), Qt::CaseInsensitive)) {
            inParams = true;
            continue;
        }
        if (!inParams) {
            sql += line + QLatin1Char('\n');
            continue;
        }
        // Name and type are separated by blanks; tabs count as blanks too so
        // that a tab-aligned file does not declare "name\ttype" as a name.
        const int gap = line.indexOf(QRegularExpression(QStringLiteral("\\s")));
        QString pname = gap < 0 ? line : line.left(gap);
        QString type = QStringLiteral("string");
        if (gap >= 0)
            type = line.mid(gap + 1).trimmed().section(QRegularExpression(QStringLiteral("\\s")), 0, 0).toLower();
        if (pname.startsWith(QLatin1Char('@')) || pname.startsWith(QLatin1Char(':')))
            pname.remove(0, 1);
        params.insert(pname, type);
    }
    store(false);
    return engine;
}

} // namespace BR2SqlEngine
