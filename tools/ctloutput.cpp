#include "ctloutput.h"

#include <cstdio>

void complain(const QString &message)
{
    std::fprintf(stderr, "k8thumbgenctl: %s\n", message.toUtf8().constData());
}

int fail(const QString &message)
{
    complain(message);
    return 2;
}

void print(const QStringList &lines)
{
    for (const QString &line : lines)
        std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);   // a pipe or a log sees each look as it is made
}
