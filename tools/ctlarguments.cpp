#include "ctlarguments.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

QString absolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool isPositive(const QString &text)
{
    bool ok = false;
    return text.toInt(&ok, 10) > 0 && ok;
}

bool isLayout(const QString &name)
{
    return name == QLatin1String("pellowcloud") || name == QLatin1String("snapvault");
}

QString layoutProblem(const QStringList &args)
{
    const QString &layout = args.at(0);
    if (!isLayout(layout))
        return QStringLiteral("unknown layout %1 (pellowcloud or snapvault)").arg(layout);
    if (args.size() == 5 && (!isPositive(args.at(3)) || !isPositive(args.at(4))))
        return QStringLiteral("width and height must be positive whole numbers");
    const QFileInfo source(args.at(1));
    if (!source.exists()) {
        // A volume may not be mounted yet: the job still goes out.
        std::fprintf(stderr, "k8thumbgenctl: warning: %s does not exist (yet)\n", qPrintable(args.at(1)));
    } else if (layout == QLatin1String("pellowcloud") && !source.isDir()) {
        return QStringLiteral("pellowcloud walks folders only: %1 is not one").arg(args.at(1));
    }
    return QString();
}
