#ifndef BR2CORE_H
#define BR2CORE_H
#include "br2logger.h"

#include <QDir>
#include <QJsonObject>

// Base of a service's root object: its configuration switches and folders.
class BR2Core
{
public:
    BR2Core();
    virtual ~BR2Core();

protected:
    BR2Logger m_logger;   // the process's logger; the service writes no records through it
    bool m_debugging = false;
    QJsonObject m_configure;
    QDir m_appDir;
    QDir m_etcDir;
};

#endif // BR2CORE_H
