// The service with a decoder crash injected: every render of a file named
// as $K8_CRASH_ON aborts the process. Built with the tests only, for the
// quarantine tests; never installed.
#include "quarantine.h"
#include "servicemain.h"

#include <QFileInfo>

#include <cstdlib>

int main(int argc, char *argv[])
{
    Quarantine::renderHook = [](const QString &path) {
        if (QFileInfo(path).fileName() == QString::fromLocal8Bit(qgetenv("K8_CRASH_ON")))
            std::abort();
    };
    return serviceMain(argc, argv);
}
