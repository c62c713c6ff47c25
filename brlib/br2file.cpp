#include "br2file.h"

#include "br2utils.h"

#include <QFile>

QJsonObject BR2File::readJsonObject(const QString &path)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return toJsonObject(file.readAll());
}
