#include "ctloutput.h"

#include "br2utils.h"

#include <cstdio>

void complain(const QString &message)
{
    std::fprintf(stderr, "k8thumbgenctl: %s\n", escapeControls(message).toUtf8().constData());
}

int fail(const QString &message)
{
    complain(message);
    return 2;
}

void print(const QStringList &lines)
{
    // Names come from other users' folders: a control character in one
    // must neither start a line of its own nor reach the terminal.
    for (const QString &line : lines)
        std::printf("%s\n", escapeControls(line).toUtf8().constData());
    std::fflush(stdout);   // a pipe or a log sees each look as it is made
}
