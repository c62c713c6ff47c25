// The service with a decoder crash injected: every render of a file named
// as $K8_CRASH_ON aborts the process. The name is percent-encoded, so that
// a name whose bytes are not UTF-8 passes through QProcessEnvironment too.
// Built with the tests only, for the quarantine tests; never installed.
#include "quarantine.h"
#include "servicemain.h"

#include <QByteArray>

#include <cstdlib>

int main(int argc, char *argv[])
{
    Quarantine::renderHook = [](const QByteArray &path) {
        if (path.mid(path.lastIndexOf('/') + 1) == QByteArray::fromPercentEncoding(qgetenv("K8_CRASH_ON")))
            std::abort();
    };
    return serviceMain(argc, argv);
}
