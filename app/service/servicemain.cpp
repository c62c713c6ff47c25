#include "servicemain.h"

#include "appdata.h"
#include "br2utils.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <malloc.h>

int serviceMain(int argc, char *argv[])
{
    // Every connection has a thread of its own; without a bound, the C
    // library keeps a heap per thread and the memory of one large request
    // per heap long after it was freed.
    ::mallopt(M_ARENA_MAX, 4);
    Q_INIT_RESOURCE(k8thumbgen);
    QCoreApplication app(argc, argv);
    QCoreApplication::addLibraryPath(QStringLiteral("/usr/lib/x86_64-linux-gnu/qt5/plugins"));
    QCoreApplication::setApplicationVersion(
        QStringLiteral("1.0-")
        + complieDateTime(QStringLiteral(__DATE__), QStringLiteral(__TIME__)).toString(QStringLiteral("yyyy.MM.dd.HHmm")));

    QCommandLineParser parser;
    const QCommandLineOption cfg(QStringLiteral("cfg"), QStringLiteral("指定配置文件"), QStringLiteral("filepath"));
    parser.addOption(cfg);
    parser.addHelpOption();
    parser.process(app);
    const QString path = parser.isSet(cfg) ? parser.value(cfg) : QString();

    AppData::create();
    if (!IAppData()->initialize(path) || !IAppData()->start())
        return 1;
    return app.exec();
}
