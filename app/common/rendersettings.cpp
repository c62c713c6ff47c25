#include "rendersettings.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex g_mutex;                // guards g_settings
RenderSettings g_settings;     // guarded by g_mutex

} // namespace

RenderSettings RenderSettings::current()
{
    QMutexLocker locker(&g_mutex);
    return g_settings;
}

void RenderSettings::set(const RenderSettings &settings)
{
    QMutexLocker locker(&g_mutex);
    g_settings = settings;
}
