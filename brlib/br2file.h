#ifndef BR2FILE_H
#define BR2FILE_H
#include <QJsonObject>
#include <QString>

class BR2File
{
public:
    // The file's top-level JSON object; a missing, unreadable or invalid
    // file, or one whose top level is not an object, reads as empty.
    static QJsonObject readJsonObject(const QString &path);
};

#endif // BR2FILE_H
