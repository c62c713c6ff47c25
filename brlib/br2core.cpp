#include "br2core.h"

#include <QCoreApplication>
#include <QStandardPaths>

BR2Core::BR2Core()
    : m_appDir(QCoreApplication::applicationDirPath())
{
    const QString etc = m_appDir.filePath(QStringLiteral("etc"));
    if (QFileInfo::exists(etc))
        m_etcDir.setPath(etc);
    else
        m_etcDir.setPath(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
}

BR2Core::~BR2Core() = default;
